#pragma once

// What the fuzz targets share: a scratch directory of their own for the exchange files, a
// plain whole-file write, the library's whole parse that the program's reading is compared
// with, and the check that turns a broken promise into a crash libFuzzer reports with the
// input that caused it.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace orvandale::fuzz {

/// Ends the process with a report on standard error, so that libFuzzer keeps the input,
/// unless `holds`.
void check(bool holds, std::string_view promise);

/// A fresh directory under the system's temporary directory for the life of the process,
/// removed with its contents when the process exits normally.
const std::filesystem::path& scratchDirectory();

/// Replaces the content of `path` with `bytes`; ends the process when that is impossible.
void writeBytes(const std::filesystem::path& path, std::string_view bytes);

/// The whole content of `path`, or nothing when it cannot be read.
std::string readBytes(const std::filesystem::path& path, bool* found = nullptr);

/// The names of the entries directly in `directory`.
std::set<std::string> entryNames(const std::filesystem::path& directory);

/// Removes every entry of `directory`, which stays.
void emptyDirectory(const std::filesystem::path& directory);

/// The library's whole (DOM) parse of `text`: what the program's reading of the same bytes
/// must agree with. A discarded value when `text` is not one JSON text, or when it holds a NUL
/// byte: the library takes a NUL for the end of its input, JSON has no place for one.
nlohmann::json wholeParse(std::string_view text);

/// The fuzzer's input as text.
inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace orvandale::fuzz
