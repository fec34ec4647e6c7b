#include "platform/posix_platform.h"

#include <chrono>
#include <csignal>
#include <unistd.h>

namespace orvandale::platform {

double PosixPlatform::now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool PosixPlatform::processExists(std::int32_t pid) { return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0; }

std::int32_t PosixPlatform::processIdentifier() { return static_cast<std::int32_t>(::getpid()); }

}  // namespace orvandale::platform
