// status.json holding any bytes at all. The poll's reading gives exactly the phase and message
// that the library's whole parse of the same bytes gives, an empty report for a top-level
// array, and nothing (the last report stays) for bytes that are no object or array; whatever
// it gives can be published: display.json always serialises. Never a crash, a hang, a leak or
// undefined behaviour.

#include <cstddef>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "exchange/receipt.h"
#include "exchange/status.h"
#include "fuzz/scratch.h"
#include "progress/phase_rules.h"
#include "progress/publication.h"

namespace {

namespace exchange = orvandale::exchange;
namespace fuzz = orvandale::fuzz;

std::optional<exchange::StatusReport> expectedOf(std::string_view text) {
  const nlohmann::json whole = fuzz::wholeParse(text);
  if (whole.is_array()) return exchange::StatusReport{};
  if (!whole.is_object()) return std::nullopt;
  return exchange::statusFromObject(whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::textOf(data, size);
  const auto& dir = fuzz::scratchDirectory();
  fuzz::writeBytes(dir / exchange::statusFileName, text);

  const std::optional<exchange::StatusReport> read = exchange::readStatus(dir);
  fuzz::check(read == expectedOf(text), "phase and message as the whole parse gives them");
  const exchange::StatusReport report = read.value_or(exchange::StatusReport{});

  // Whatever was read goes into display.json as the phase, and as the detail when shown.
  const std::string phase = orvandale::progress::phaseOf(report);
  const auto record = orvandale::progress::displayRecord(phase, "heading", report.message.value_or(""), true);
  fuzz::check(exchange::serialiseReceipt(record).has_value(), "what was read can be published");
  return 0;
}
