#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace orvandale::exchange {

/// A value the program writes into its JSON files: a string, a boolean or an integer.
using ReceiptValue = std::variant<std::string, bool, std::int64_t>;

/// The members of one JSON file the program writes.
using Receipt = std::map<std::string, ReceiptValue, std::less<>>;

/// The compact JSON text of `values` (no whitespace, no trailing newline), or nothing when a
/// string is not valid UTF-8 and so cannot be serialised.
std::optional<std::string> serialiseReceipt(const Receipt& values);

/// Replaces `directory`/`name` with the compact JSON of `values` in one step: a reader sees the
/// old file or the new one, never a part. The new file gets the permissions of an ordinary new
/// file. Returns whether the new file is in place; a failure leaves no temporary file behind
/// and costs at most one file creation.
bool writeReceiptFile(const std::filesystem::path& directory, std::string_view name, const Receipt& values);

/// Whether `name` names a file directly in a directory: not empty, not "." or "..", and
/// without "/" or NUL.
bool isPlainFileName(std::string_view name);

/// Writes `bytes` to `directory`/`name` in place, creating or truncating the file. Writes only
/// a regular file directly in `directory`: a name with "/" or NUL, a symlink, a hard-linked
/// file or anything but a regular file at that name is left alone. Every failure is dropped.
void writeSnapshotFile(const std::filesystem::path& directory, std::string_view name, std::string_view bytes);

}  // namespace orvandale::exchange
