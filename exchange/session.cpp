#include "exchange/session.h"

#include <cmath>
#include <limits>

#include "exchange/json_file.h"

namespace orvandale::exchange {

namespace {

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

// A process id is any JSON number whose value is a whole number in the signed 32-bit range:
// 42, -7, 42.0 and 4.2e1 all load; 42.5, 2147483648, booleans and strings do not.
std::optional<std::int32_t> processId(const nlohmann::json& value) {
  constexpr auto lowest = std::numeric_limits<std::int32_t>::min();
  constexpr auto highest = std::numeric_limits<std::int32_t>::max();
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    const auto number = value.get<std::int64_t>();
    if (number < lowest || number > highest) return std::nullopt;
    return static_cast<std::int32_t>(number);
  }
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(highest)) return std::nullopt;
    return static_cast<std::int32_t>(number);
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (!std::isfinite(number) || std::trunc(number) != number) return std::nullopt;
    if (number < lowest || number > highest) return std::nullopt;
    return static_cast<std::int32_t>(number);
  }
  return std::nullopt;
}

}  // namespace

std::optional<Session> sessionFromObject(const nlohmann::json& object) {
  const nlohmann::json* version = member(object, "version");
  if (version == nullptr || !version->is_string()) return std::nullopt;

  const nlohmann::json* parentPidValue = member(object, "parentPid");
  if (parentPidValue == nullptr) return std::nullopt;
  const std::optional<std::int32_t> parentPid = processId(*parentPidValue);
  if (!parentPid) return std::nullopt;

  // Booleans are no numbers here: nlohmann's is_number() is false for them.
  const nlohmann::json* startedAt = member(object, "startedAt");
  if (startedAt == nullptr || !startedAt->is_number()) return std::nullopt;

  const nlohmann::json* capture = member(object, "capture");
  return Session{
      .version = version->get<std::string>(),
      .parentPid = *parentPid,
      .startedAt = startedAt->get<double>() / 1000.0,
      .capture = capture != nullptr && capture->is_boolean() && capture->get<bool>(),
  };
}

std::variant<Session, SessionFailure> readSession(const std::filesystem::path& directory) {
  auto read = readJsonObject(directory / sessionFileName);
  if (auto* failure = std::get_if<ReadFailure>(&read)) {
    return SessionFailure{failure->kind == ReadFailure::Kind::unreadable ? SessionFailure::Kind::unreadable
                                                                         : SessionFailure::Kind::unparsable,
                          failure->error};
  }
  std::optional<Session> session = sessionFromObject(std::get<nlohmann::json>(read));
  if (!session) return SessionFailure{SessionFailure::Kind::invalid, {}};
  return *std::move(session);
}

}  // namespace orvandale::exchange
