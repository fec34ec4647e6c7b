#pragma once

#include <sys/types.h>

#include <string>

namespace orvandale::testing {

/// An Xvfb server of the test's own on a free display number, stopped when the object goes.
class XvfbServer {
 public:
  XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  ~XvfbServer();

  /// The display's name for DISPLAY, such as ":3"; empty when the server did not start.
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace orvandale::testing
