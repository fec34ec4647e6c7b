// The real program under real window managers on an Xvfb display of the test's own: the window
// the user sees, frame and title bar included, stands in the middle of the screen.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <optional>
#include <regex>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/updater.h"
#include "tests/support/xvfb.h"

namespace orvandale {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr double screenCenterX = 1280 / 2.0;
constexpr double screenCenterY = 800 / 2.0;

struct Frame {
  double left, top, width, height;
  double centerX() const { return left + width / 2; }
  double centerY() const { return top + height / 2; }
};

class WindowManagerTest : public ::testing::TestWithParam<const char*> {
 protected:
  ChildProcess::Options onDisplay() const {
    return {.environment = {{"DISPLAY", xvfb.display()}, {"QT_QPA_PLATFORM", "xcb"}}};
  }

  // A tool's standard output, or nothing when it failed.
  std::optional<std::string> output(const std::vector<std::string>& argv) const {
    ChildProcess tool(argv, onDisplay());
    if (tool.wait(10s) != 0) return std::nullopt;
    return tool.standardOutput();
  }

  bool windowManagerRunning() const {
    const auto check = output({"xprop", "-root", "-notype", "_NET_SUPPORTING_WM_CHECK"});
    return check && check->find("window id") != std::string::npos;
  }

  // What the user sees of the window: its content area and the frame the window manager says
  // it drew around it (left, right, top, bottom); nothing before the window is framed.
  std::optional<Frame> visibleFrame(const std::string& window) const {
    const auto geometry = output({"xwininfo", "-id", window});
    const auto extents = output({"xprop", "-id", window, "-notype", "_NET_FRAME_EXTENTS"});
    if (!geometry || !extents) return std::nullopt;
    std::smatch found;
    double x = 0, y = 0, width = 0, height = 0;
    const std::pair<const char*, double*> fields[] = {{"Absolute upper-left X: +(-?\\d+)", &x},
                                                      {"Absolute upper-left Y: +(-?\\d+)", &y},
                                                      {"Width: +(\\d+)", &width},
                                                      {"Height: +(\\d+)", &height}};
    for (const auto& [pattern, value] : fields) {
      if (!std::regex_search(*geometry, found, std::regex(pattern))) return std::nullopt;
      *value = std::stod(found[1]);
    }
    if (!std::regex_search(*extents, found, std::regex("= (\\d+), (\\d+), (\\d+), (\\d+)"))) return std::nullopt;
    const double left = std::stod(found[1]), right = std::stod(found[2]), top = std::stod(found[3]),
                 bottom = std::stod(found[4]);
    return Frame{x - left, y - top, width + left + right, height + top + bottom};
  }

  testing::XvfbServer xvfb;
  TempDir dir;
};

TEST_P(WindowManagerTest, TheFramedWindowStandsInTheMiddleOfTheScreen) {
  ASSERT_FALSE(xvfb.display().empty()) << "Xvfb did not start";
  ChildProcess windowManager({GetParam()}, onDisplay());
  for (int i = 0; i < 100 && !windowManagerRunning(); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(windowManagerRunning()) << GetParam() << " did not start";

  writeFile(dir / "session.json", testing::sessionStartedAgo());
  writeFile(dir / "status.json", R"({"phase":"installing"})");
  ChildProcess program({ORVANDALE_PROGRAM, dir.path().string()}, onDisplay());
  ASSERT_TRUE(testing::waitForFile(dir / "ready.json", 10s));
  const std::string window =
      std::to_string(nlohmann::json::parse(readFile(dir / "ready.json")).at("windowId").get<std::int64_t>());

  // The window manager frames the window after it is mapped, and the program then places the
  // frame; wait for a framed window in the middle, and report the last place seen otherwise.
  std::optional<Frame> frame;
  for (int i = 0; i < 100; ++i) {
    frame = visibleFrame(window);
    if (frame && frame->height > 230 && std::abs(frame->centerX() - screenCenterX) <= 2 &&
        std::abs(frame->centerY() - screenCenterY) <= 2) {
      break;
    }
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(frame.has_value()) << "the window was never framed";
  EXPECT_GT(frame->height, 230) << "the frame adds a title bar";
  EXPECT_NEAR(frame->centerX(), screenCenterX, 2);
  EXPECT_NEAR(frame->centerY(), screenCenterY, 2);
  EXPECT_TRUE(program.running());
  program.kill();
  EXPECT_EQ(program.standardError(), "");
}

INSTANTIATE_TEST_SUITE_P(WindowManagers, WindowManagerTest, ::testing::Values("openbox", "metacity"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace orvandale
