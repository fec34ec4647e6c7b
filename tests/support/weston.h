#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvandale::testing {

/// A weston compositor of the test's own on its headless backend, in a runtime directory of
/// its own, with the test driver module loaded (tests/support/weston_driver.c): the test
/// sees the application window as the compositor does, clicks on it and sends it states.
/// Stopped when the object goes.
class WestonServer {
 public:
  explicit WestonServer(const std::string& driverModule);
  WestonServer(const WestonServer&) = delete;
  WestonServer& operator=(const WestonServer&) = delete;
  ~WestonServer();

  /// Empty when the compositor runs; otherwise why it could not start.
  const std::string& failure() const { return failure_; }
  /// The environment a client needs to reach this compositor (and nothing else).
  std::map<std::string, std::optional<std::string>> clientEnvironment() const;
  /// What weston has logged so far, protocol errors among it.
  std::string log() const { return weston_ ? weston_->standardError() : std::string(); }
  /// The driver's one-line answer to a one-line request; empty when the driver is gone.
  std::string request(const std::string& line);

 private:
  TempDir runtime_;
  std::unique_ptr<ChildProcess> weston_;
  int driver_ = -1;
  std::string failure_;
};

}  // namespace orvandale::testing
