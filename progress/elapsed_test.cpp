#include "progress/elapsed.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orvandale::progress {
namespace {

constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();

TEST(ElapsedTest, TruncatesTowardZeroAndClampsWhatDoesNotFit) {
  const double infinity = std::numeric_limits<double>::infinity();
  const struct {
    double interval;
    std::int64_t seconds;
  } cases[] = {
      {0.0, 0},
      {599.9, 599},
      {600.0, 600},
      {-0.5, 0},
      {-61.9, -61},
      {9.2233720368547748e18, 9223372036854774784},  // the largest double below 2^63
      {9.2233720368547758e18, int64Max},             // 2^63 itself
      {1e300, int64Max},
      {infinity, int64Max},
      {-9.2233720368547758e18, int64Min},  // -2^63 fits exactly
      {-1e300, int64Min},
      {-infinity, int64Min},
      {std::nan(""), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interval);
    EXPECT_EQ(elapsedWholeSeconds(c.interval), c.seconds);
  }
}

TEST(ElapsedTest, ShowsMinutesAndSecondsWithoutHours) {
  const struct {
    std::int64_t seconds;
    const char* text;
  } cases[] = {
      {0, "Elapsed: 0m 0s"},
      {5, "Elapsed: 0m 5s"},
      {65, "Elapsed: 1m 5s"},
      {599, "Elapsed: 9m 59s"},
      {3600, "Elapsed: 60m 0s"},
      {-1, "Elapsed: 0m 0s"},
      {int64Min, "Elapsed: 0m 0s"},
      {int64Max, "Elapsed: 153722867280912930m 7s"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(elapsedText(c.seconds), c.text);
  }
}

}  // namespace
}  // namespace orvandale::progress
