#include "exchange/status.h"

#include "exchange/json_file.h"

namespace orvandale::exchange {

namespace {

std::optional<std::string> stringMember(const nlohmann::json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

}  // namespace

StatusReport statusFromObject(const nlohmann::json& object) {
  return StatusReport{.phase = stringMember(object, "phase"), .message = stringMember(object, "message")};
}

std::optional<StatusReport> readStatus(const std::filesystem::path& directory) {
  auto read = readJsonObject(directory / statusFileName);
  if (const auto* object = std::get_if<nlohmann::json>(&read)) return statusFromObject(*object);
  const ReadFailure& failure = std::get<ReadFailure>(read);
  // Only a file that is not there at all (or a directory that is gone) has the meaning of an
  // empty report; everything else is a file the updater is still writing or has spoilt.
  const bool absent = failure.kind == ReadFailure::Kind::unreadable &&
                      (failure.error == std::errc::no_such_file_or_directory || failure.error == std::errc::not_a_directory);
  if (absent) return StatusReport{};
  return std::nullopt;
}

}  // namespace orvandale::exchange
