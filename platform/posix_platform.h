#pragma once

#include "platform/platform.h"

namespace orvandale::platform {

/// The real process services: the system clock, kill(2) and getpid(2).
class PosixPlatform final : public Platform {
 public:
  double now() override;
  bool processExists(std::int32_t pid) override;
  std::int32_t processIdentifier() override;
};

}  // namespace orvandale::platform
