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

/// Reads status.json from `directory` afresh. Never fails: a file that is missing, unreadable,
/// not a regular file, not JSON or not an object at the top gives an empty report.
StatusReport readStatus(const std::filesystem::path& directory);

}  // namespace orvandale::exchange
