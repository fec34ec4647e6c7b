#include "tests/support/updater.h"

#include <unistd.h>

namespace orvandale::testing {

std::string sessionStartedAgo(std::chrono::seconds ago, bool capture) {
  const auto startedAt = std::chrono::duration_cast<std::chrono::milliseconds>(
      (std::chrono::system_clock::now() - ago).time_since_epoch());
  return R"({"version":"4.1.0","parentPid":)" + std::to_string(::getpid()) + R"(,"startedAt":)" +
         std::to_string(startedAt.count()) + (capture ? R"(,"capture":true)" : "") + "}";
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> pngSize(const std::string& png) {
  if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || png.compare(12, 4, "IHDR") != 0) {
    return std::nullopt;
  }
  auto word = [&png](std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(png[at + i]);
    return value;
  };
  return std::make_pair(word(16), word(20));
}

}  // namespace orvandale::testing
