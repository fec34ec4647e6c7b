#pragma once

#include <functional>

#include "ui/toolkit.h"

namespace orvandale::testing {

/// An application and window delegate that counts what it is told and answers a close
/// request as `allow` says.
class CountingDelegate final : public ui::WindowDelegate, public ui::ApplicationDelegate {
 public:
  bool windowShouldClose() override {
    ++asked;
    return allow;
  }
  void windowWillClose() override { ++closed; }
  void applicationDidFinishLaunching() override {
    ++launched;
    if (onLaunch) onLaunch();
  }

  bool allow = false;
  int asked = 0;
  int closed = 0;
  int launched = 0;
  std::function<void()> onLaunch;
};

}  // namespace orvandale::testing
