#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace orvandale::platform {

/// Process services a test sets by hand: the clock stands where it is put, the parent
/// application is alive until the test says otherwise, and every process test is recorded.
class ManualPlatform final : public Platform {
 public:
  double now() override { return clock; }
  bool processExists(std::int32_t pid) override {
    processTests.push_back(pid);
    return parentAlive;
  }
  std::int32_t processIdentifier() override { return pid; }

  double clock = 1'800'000'000.0;
  bool parentAlive = true;
  std::int32_t pid = 4242;
  std::vector<std::int32_t> processTests;  // every pid passed to processExists, in order
};

}  // namespace orvandale::platform
