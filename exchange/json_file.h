#pragma once

#include <filesystem>
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

/// The reading steps every JSON file of the exchange directory goes through: the whole file,
/// one JSON text, and an object as the result. A FIFO, a device, a socket or a directory
/// (directly or behind a symlink) is unreadable (EINVAL) before a single byte is read, so the
/// call never blocks and never reads without end. Anything but an object or an array at the
/// top (an empty text, a bare scalar, malformed or non-UTF-8 text, a NUL byte anywhere) is
/// unparsable; a top-level array counts as an empty object.
///
/// Of the object only its members are kept, a member holding an object or an array as an
/// empty one of its kind: the readers look up top-level members only. The file is parsed as
/// it is read, one block at a time: no buffer depends on the size the file claims, a text is
/// refused at its first invalid byte (a sparse file of a terabyte costs one block), and memory
/// stays within a few bytes per byte of the file however deeply it nests.
std::variant<nlohmann::json, ReadFailure> readJsonObject(const std::filesystem::path& path);

}  // namespace orvandale::exchange
