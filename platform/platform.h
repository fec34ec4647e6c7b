#pragma once

#include <cstdint>

namespace orvandale::platform {

/// The process services the program uses besides the window toolkit and the file system.
class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  virtual ~Platform() = default;

  /// The wall-clock time, in seconds since 1970-01-01 00:00:00 UTC.
  virtual double now() = 0;

  /// Whether the process `pid` exists and this one may signal it (`kill(pid, 0)` succeeds); any
  /// failure counts as "no". An id of 0 or below names no process and is "no" without asking:
  /// to kill(2) it would mean this process's group or every process it may signal.
  virtual bool processExists(std::int32_t pid) = 0;

  /// This process's own id.
  virtual std::int32_t processIdentifier() = 0;
};

}  // namespace orvandale::platform
