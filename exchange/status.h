#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace orvandale::exchange {

/// What one poll takes from status.json. A member that is absent or not a JSON string is empty.
struct StatusReport {
  std::optional<std::string> phase;
  std::optional<std::string> message;

  bool operator==(const StatusReport&) const = default;
};

/// The file name of the status report in the exchange directory.
inline constexpr const char* statusFileName = "status.json";

/// Takes "phase" and "message" from the members of status.json's top-level object.
StatusReport statusFromObject(const nlohmann::json& object);

/// Reads status.json from `directory` afresh. Never fails. A missing file gives an empty report,
/// and so does a JSON text with an array at the top. A file that is there but cannot be read
/// whole or parsed (empty, cut off, not JSON, not a regular file, a read error) gives nothing:
/// an updater that rewrites the file in place is caught between its truncation and its last
/// write, and such a read tells nothing new about the update.
std::optional<StatusReport> readStatus(const std::filesystem::path& directory);

}  // namespace orvandale::exchange
