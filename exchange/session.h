#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <variant>

#include <nlohmann/json.hpp>

namespace orvandale::exchange {

/// The session descriptor as the updater wrote it into session.json.
struct Session {
  std::string version;
  std::int32_t parentPid = 0;
  double startedAt = 0;  // seconds since 1970-01-01 00:00:00 UTC ("startedAt" / 1000)
  bool capture = false;
};

/// Why session.json could not be loaded. Every kind ends the program with status 1.
struct SessionFailure {
  enum class Kind {
    unreadable,  ///< the file-system error of the read, in `error`
    unparsable,  ///< the JSON parser's error
    invalid,     ///< the program's own error: no usable "version", "parentPid" or "startedAt"
  };
  Kind kind;
  std::error_code error;
};

/// The file name of the session descriptor in the exchange directory.
inline constexpr const char* sessionFileName = "session.json";

/// Takes the session from the members of session.json's top-level object: all of "version",
/// "parentPid" and "startedAt" usable, or nothing.
std::optional<Session> sessionFromObject(const nlohmann::json& object);

/// Loads session.json from `directory`, all or nothing.
std::variant<Session, SessionFailure> readSession(const std::filesystem::path& directory);

}  // namespace orvandale::exchange
