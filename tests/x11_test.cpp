// The real program in a real X11 window on an Xvfb display of the test's own: the window
// system's close request and clicks on the window, as a user gives them.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <thread>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/updater.h"
#include "tests/support/xvfb.h"

namespace orvandale {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::entryNames;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

class X11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(xvfb.display().empty()) << "Xvfb did not start";
    ASSERT_EQ(run({"xdotool", "getdisplaygeometry"}), 0) << "xdotool cannot reach the display";
    writeFile(dir / "session.json", testing::sessionStartedAgo());
    writeFile(dir / "status.json", R"({"phase":"installing"})");
    program = std::make_unique<ChildProcess>(std::vector<std::string>{ORVANDALE_PROGRAM, dir.path().string()},
                                             onDisplay());
    ASSERT_TRUE(testing::waitForFile(dir / "ready.json", 10s));
    ASSERT_TRUE(testing::waitForFile(dir / "display.json", 5s));
    window = std::to_string(nlohmann::json::parse(readFile(dir / "ready.json")).at("windowId").get<std::int64_t>());
  }

  ChildProcess::Options onDisplay() const {
    return {.environment = {{"DISPLAY", xvfb.display()}, {"QT_QPA_PLATFORM", "xcb"}}};
  }

  // Runs a tool of the test on the display; its exit status.
  int run(const std::vector<std::string>& argv) const {
    ChildProcess tool(argv, onDisplay());
    return tool.wait(10s).value_or(-1);
  }

  void sendCloseRequest() const { ASSERT_EQ(run({ORVANDALE_SEND_CLOSE_REQUEST, window}), 0); }

  // Clicks down the left part of the window, where the close button stands when it is shown;
  // stops when the program ends. Clicks anywhere else on the window do nothing. The pointer
  // rests a moment before each click, as a user's does: Qt takes the press where the pointer
  // was last seen to enter.
  void clickDownTheColumn() const {
    for (int y = 20; y < 230 && program->running(); y += 6) {
      // Once a click has ended the program, xdotool may find the window gone and fail.
      run({"xdotool", "mousemove", "--window", window, "60", std::to_string(y), "sleep", "0.05", "click", "1"});
    }
  }

  void allowClosingByAnError() {
    writeFile(dir / "status.json", R"({"phase":"error","message":"Disk full"})");
    for (int i = 0; i < 100 && nlohmann::json::parse(readFile(dir / "display.json")).at("phase") != "error"; ++i) {
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(nlohmann::json::parse(readFile(dir / "display.json")).at("canClose"), true);
    std::this_thread::sleep_for(200ms);  // the button is laid out and drawn
  }

  // What the directory holds, file by file.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> contents;
    for (const std::string& name : entryNames(dir.path())) contents[name] = readFile(dir / name);
    return contents;
  }

  testing::XvfbServer xvfb;
  TempDir dir;
  std::unique_ptr<ChildProcess> program;
  std::string window;
};

TEST_F(X11Test, TheCloseBoxIsRefusedUntilClosingIsAllowedThenEndsTheProgram) {
  const auto before = files();
  // The program has no keyboard command of its own for closing or quitting.
  run({"xdotool", "windowfocus", "--sync", window});
  for (const char* keys : {"Escape", "ctrl+q", "ctrl+w", "Return", "space"}) {
    EXPECT_EQ(run({"xdotool", "key", "--window", window, keys}), 0) << keys;
  }
  sendCloseRequest();
  EXPECT_FALSE(program->wait(1500ms).has_value()) << "the window closed while closing was not allowed";
  EXPECT_EQ(files(), before) << "a refused close wrote something";

  allowClosingByAnError();
  const auto allowed = files();
  sendCloseRequest();
  EXPECT_EQ(program->wait(5s), 0);
  EXPECT_EQ(files(), allowed) << "closing wrote something";
  EXPECT_EQ(program->standardOutput() + program->standardError(), "");
}

TEST_F(X11Test, TheCloseButtonEndsTheProgramOnceItIsShown) {
  const auto before = files();
  clickDownTheColumn();
  EXPECT_TRUE(program->running()) << "a click ended the program while the button was hidden";
  EXPECT_EQ(files(), before);

  allowClosingByAnError();
  const auto allowed = files();
  clickDownTheColumn();
  EXPECT_EQ(program->wait(5s), 0);
  EXPECT_EQ(files(), allowed) << "closing wrote something";
  EXPECT_EQ(program->standardOutput() + program->standardError(), "");
}

}  // namespace
}  // namespace orvandale
