#include "progress/elapsed.h"

#include <cmath>
#include <limits>

namespace orvandale::progress {

std::int64_t elapsedWholeSeconds(double interval) {
  constexpr auto lowest = std::numeric_limits<std::int64_t>::min();
  constexpr auto highest = std::numeric_limits<std::int64_t>::max();
  if (std::isnan(interval)) return 0;
  // -2^63 and 2^63 are exact doubles; the conversion below is defined only strictly inside.
  constexpr double limit = 9223372036854775808.0;
  if (interval >= limit) return highest;
  if (interval < -limit) return lowest;
  return static_cast<std::int64_t>(interval);
}

std::string elapsedText(std::int64_t wholeSeconds) {
  const std::int64_t shown = wholeSeconds > 0 ? wholeSeconds : 0;
  return "Elapsed: " + std::to_string(shown / 60) + "m " + std::to_string(shown % 60) + "s";
}

}  // namespace orvandale::progress
