#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <variant>

#include <nlohmann/json.hpp>

namespace orvandale::exchange {

/// Why a JSON file could not be taken as an object.
struct ReadFailure {
  enum class Kind {
    unreadable,  ///< missing, not a regular file, or a read error; `error` says which
    unparsable,  ///< not one JSON text with an object or an array at the top
  };
  Kind kind;
  std::error_code error;  // set for `unreadable` only
};

/// Reads the whole regular file at `path`. A FIFO, a device, a socket or a directory (directly
/// or behind a symlink) is refused with EINVAL before a single byte is read, so the call never
/// blocks and never reads without end.
std::variant<std::string, std::error_code> readRegularFile(const std::filesystem::path& path);

/// Parses `text` as one JSON text whose top-level value is an object or an array; anything else
/// (an empty text, a bare scalar, malformed or non-UTF-8 text) is a discarded value.
nlohmann::json parseObjectOrArray(const std::string& text);

/// The reading steps every JSON file of the exchange directory goes through: the whole file,
/// one JSON text, and an object as the result. A top-level array counts as an empty object.
std::variant<nlohmann::json, ReadFailure> readJsonObject(const std::filesystem::path& path);

}  // namespace orvandale::exchange
