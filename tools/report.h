#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvandale::simulate {

/// Prints one line of a run's timeline, `ms` milliseconds after its start, and flushes it so
/// that a reader of the output follows the run as it goes.
void printTimelineLine(long ms, const std::string& line);

/// `text` cut to at most `most` bytes at a whole UTF-8 character, with "…" when it was cut.
std::string shorten(const std::string& text, std::size_t most = 72);

/// The timeline line for a new ready.json: its pid and windowId, or its bytes when `ready`
/// (as the protocol check parsed it) is no object.
std::string readyLine(const nlohmann::json& ready, const std::string& bytes);

/// The timeline line for a new display.json: phase · heading · detail · canClose, or its
/// bytes when `display` lacks one of them.
std::string displayLine(const nlohmann::json& display, const std::string& bytes);

/// `n` and `what`, with an "s" unless `n` is 1, for a summary: "1 publication", "2 snapshot files".
std::string countOf(std::size_t n, const char* what);

/// Prints `notes`, then every breach, or `keptText` when there is none, after the summary.
/// Returns the exit status: 0 without breaches, 1 with.
int printVerdict(const std::vector<std::string>& notes, const std::vector<std::string>& breaches, const char* keptText);

}  // namespace orvandale::simulate
