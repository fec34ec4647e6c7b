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

StatusReport readStatus(const std::filesystem::path& directory) {
  auto read = readJsonObject(directory / statusFileName);
  if (const auto* object = std::get_if<nlohmann::json>(&read)) return statusFromObject(*object);
  return {};
}

}  // namespace orvandale::exchange
