// session.json holding any bytes at all. Loading either fails or gives exactly the session
// that the library's whole parse of the same bytes gives, with the same kind of failure;
// never a crash, a hang, a leak or undefined behaviour.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include <nlohmann/json.hpp>

#include "exchange/session.h"
#include "fuzz/scratch.h"

namespace {

using orvandale::exchange::Session;
using orvandale::exchange::SessionFailure;
namespace fuzz = orvandale::fuzz;

// What loading must give: a session, or the kind of failure.
std::variant<Session, SessionFailure::Kind> expectedOf(std::string_view text) {
  const nlohmann::json whole = fuzz::wholeParse(text);
  if (whole.is_discarded() || !(whole.is_object() || whole.is_array())) return SessionFailure::Kind::unparsable;
  if (whole.is_array()) return SessionFailure::Kind::invalid;
  std::optional<Session> session = orvandale::exchange::sessionFromObject(whole);
  if (!session) return SessionFailure::Kind::invalid;
  return *std::move(session);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::textOf(data, size);
  const auto& dir = fuzz::scratchDirectory();
  fuzz::writeBytes(dir / orvandale::exchange::sessionFileName, text);

  const auto loaded = orvandale::exchange::readSession(dir);
  const auto expected = expectedOf(text);
  if (const auto* kind = std::get_if<SessionFailure::Kind>(&expected)) {
    const auto* failure = std::get_if<SessionFailure>(&loaded);
    fuzz::check(failure != nullptr, "a text the whole parse refuses does not load");
    fuzz::check(failure->kind == *kind, "the failure is of the kind the whole parse gives");
    return 0;
  }
  const auto* session = std::get_if<Session>(&loaded);
  fuzz::check(session != nullptr, "a text the whole parse loads, loads");
  const Session& wanted = std::get<Session>(expected);
  fuzz::check(session->version == wanted.version, "version as the whole parse gives it");
  fuzz::check(session->parentPid == wanted.parentPid, "parentPid as the whole parse gives it");
  fuzz::check(session->startedAt == wanted.startedAt, "startedAt as the whole parse gives it");
  fuzz::check(std::isfinite(session->startedAt), "startedAt is a finite time");
  fuzz::check(session->capture == wanted.capture, "capture as the whole parse gives it");
  return 0;
}
