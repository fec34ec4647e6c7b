#pragma once

#include <cstdint>
#include <string>

namespace orvandale::progress {

/// The elapsed interval (seconds, wall clock now less `startedAt`) truncated toward zero.
/// Intervals beyond the signed 64-bit range are clamped to its ends, and one that is not a
/// number (a `startedAt` at infinity minus a clock at infinity) counts as 0.
std::int64_t elapsedWholeSeconds(double interval);

/// "Elapsed: <minutes>m <seconds>s" for whole seconds, negative ones shown as 0; minutes are
/// never carried into hours.
std::string elapsedText(std::int64_t wholeSeconds);

}  // namespace orvandale::progress
