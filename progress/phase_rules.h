#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "exchange/status.h"

namespace orvandale::progress {

/// The phase a status report gives: its "phase" exactly as read, or "preparing" without one.
std::string phaseOf(const exchange::StatusReport& report);

/// Whether the rules need to know if the parent application is alive: for "preparing" only.
bool needsParentCheck(std::string_view phase);

/// Elapsed whole seconds from which the long-wait text shows and closing is allowed.
inline constexpr std::int64_t longWaitSeconds = 600;

/// What one poll does with the window, by the first rule that matches.
struct Decision {
  enum class Rule {
    completion,  ///< "complete": write the completion receipt and end; the window stays as it is
    attention,   ///< "error", or "preparing" with the parent gone: attention texts, spinner stopped, closing allowed
    progress,    ///< every other phase: the phase's texts, spinner turning
  };
  Rule rule;
  std::string heading;  // attention and progress
  std::string detail;   // the attention detail, or the phase's own detail under progress
  bool longWait = false;  // progress only: the long-wait text replaces the detail and closing is allowed

  bool operator==(const Decision&) const = default;
};

/// The phase rules: a pure function of the phase, the report, the elapsed whole seconds and
/// whether the parent application is alive (read only when `needsParentCheck(phase)`).
Decision decide(std::string_view phase, const exchange::StatusReport& report, std::int64_t elapsedSeconds,
                bool parentAlive);

}  // namespace orvandale::progress
