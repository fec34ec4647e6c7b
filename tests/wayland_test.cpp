// The real program as a native Wayland client of a weston compositor of the test's own, on
// weston's headless backend: an update followed from ready.json to finished.json, and the
// window asked for the states a fixed-size window cannot take, as its title bar and the
// compositor ask for them.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <sstream>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/updater.h"
#include "tests/support/weston.h"

namespace orvandale {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::readFile;
using testing::replaceFile;
using testing::TempDir;
using testing::writeFile;

// The program's window as the compositor sees it: its window geometry (with the title bar Qt
// draws), its states and its app id.
struct Window {
  int width = 0;
  int height = 0;
  bool maximized = false;
  bool fullscreen = false;
  std::string appId;
  bool operator==(const Window&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Window& window) {
  return out << window.width << "x" << window.height << (window.maximized ? " maximized" : "")
             << (window.fullscreen ? " fullscreen" : "") << " app id \"" << window.appId << "\"";
}

class WaylandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!weston.failure().empty()) GTEST_SKIP() << weston.failure();
  }

  // Starts the program on the compositor and waits for its window; `capture` asks for snapshots.
  void start(bool capture) {
    program.reset();
    directory = std::make_unique<TempDir>();
    TempDir& dir = *directory;
    writeFile(dir / "session.json", testing::sessionStartedAgo(0s, capture));
    writeFile(dir / "status.json", R"({"phase":"installing"})");
    program = std::make_unique<ChildProcess>(std::vector<std::string>{ORVANDALE_PROGRAM, dir.path().string()},
                                             ChildProcess::Options{.environment = weston.clientEnvironment()});
    ASSERT_TRUE(testing::waitForFile(dir / "display.json", 20s)) << "the program showed no window";
    ASSERT_TRUE(until([&] { return window().has_value(); })) << "the compositor has no window of the program";
  }

  std::optional<Window> window() {
    std::istringstream answer(weston.request("window"));
    int x = 0, y = 0, maximized = 0, fullscreen = 0;
    Window seen;
    if (!(answer >> x >> y >> seen.width >> seen.height >> maximized >> fullscreen)) return std::nullopt;
    answer >> seen.appId;
    seen.maximized = maximized != 0;
    seen.fullscreen = fullscreen != 0;
    return seen;
  }

  // Waits for `condition`, for at most `timeout`.
  static bool until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  // Ends the update; the program must write finished.json and exit 0, having printed nothing.
  void complete() {
    TempDir& dir = *directory;
    replaceFile(dir / "status.json", R"({"phase":"complete"})");
    EXPECT_EQ(program->wait(20s), 0) << "weston's log:\n" << weston.log();
    EXPECT_EQ(readFile(dir / "finished.json"), R"({"phase":"complete"})");
    EXPECT_EQ(program->standardOutput(), "");
    EXPECT_EQ(program->standardError(), "");
  }

  testing::WestonServer weston{ORVANDALE_WESTON_DRIVER};
  std::unique_ptr<TempDir> directory;  // the exchange directory of the program last started
  std::unique_ptr<ChildProcess> program;
};

TEST_F(WaylandTest, FollowsAnUpdateFromReadyToFinishedWithSnapshots) {
  ASSERT_NO_FATAL_FAILURE(start(/*capture=*/true));
  const TempDir& dir = *directory;
  const nlohmann::json ready = nlohmann::json::parse(readFile(dir / "ready.json"), nullptr, false);
  EXPECT_EQ(ready, (nlohmann::json{{"pid", program->pid()}, {"windowId", 0}}));
  EXPECT_EQ(window()->appId, "OrvandaleUpdateProgress") << "the app id names the desktop entry";

  for (const char* phase : {"restarting", "error"}) {
    replaceFile(dir / "status.json", nlohmann::json{{"phase", phase}}.dump());
    ASSERT_TRUE(until([&] {
      return nlohmann::json::parse(readFile(dir / "display.json"), nullptr, false).value("phase", "") == phase;
    })) << phase;
  }
  complete();
  // Read once the program has ended, so that no snapshot is still being written.
  for (const char* snapshot : {"installing.png", "restarting.png", "error.png"}) {
    EXPECT_EQ(testing::pngSize(readFile(dir / snapshot)), std::make_pair(500u, 230u)) << snapshot;
  }
}

// The ways a window is asked for a state its fixed size cannot take.
struct StateRequest {
  const char* name;
  bool maximized;  // the state it asks for: maximised, or else full screen
  std::function<void(testing::WestonServer&, const Window&)> ask;
};

TEST_F(WaylandTest, AStateTheFixedSizeCannotTakeLeavesTheWindowRunningAtItsSize) {
  const StateRequest requests[] = {
      // Qt's title bar is 30 pixels high and puts its maximise button, 18 pixels square, 36
      // pixels to the left of the close button's right edge, which stands 8 pixels inside
      // the window's right edge. A click there is the user's click on it.
      {"the title bar's maximise button", true,
       [](testing::WestonServer& weston, const Window& window) {
         EXPECT_EQ(weston.request("click " + std::to_string(window.width - 8 - 18 - 5 - 9) + " 15"), "ok");
       }},
      {"the compositor's full-screen state", false,
       [](testing::WestonServer& weston, const Window&) { EXPECT_EQ(weston.request("fullscreen"), "ok"); }},
  };
  for (const StateRequest& request : requests) {
    SCOPED_TRACE(request.name);
    ASSERT_NO_FATAL_FAILURE(start(/*capture=*/false));
    // Qt draws its title bar once the compositor has configured the window; the window's
    // geometry then takes it in.
    ASSERT_TRUE(until([&] { return window().value_or(Window{}).height > 230; })) << "no title bar";
    const Window before = *window();
    ASSERT_FALSE(before.maximized || before.fullscreen) << before;
    weston.request("configured");

    // The request took effect: the compositor gave the window the state asked for... A click
    // that reached the window before its title bar could take it is given again, as a user
    // would, once a second until the state comes.
    int polls = 0;
    ASSERT_TRUE(until([&] {
      if (polls++ % 100 == 0) request.ask(weston, before);
      std::istringstream seen(weston.request("configured"));
      int maximized = 0, fullscreen = 0;
      seen >> maximized >> fullscreen;
      return request.maximized ? maximized != 0 : fullscreen != 0;
    })) << "the compositor never gave the window the state asked for";
    // ...and the window came back to the normal state at its own size, and still runs.
    EXPECT_TRUE(until([&] { return window() == before; })) << "now " << window().value_or(Window{});
    EXPECT_TRUE(program->running()) << "weston's log:\n" << weston.log();
    complete();
  }
}

}  // namespace
}  // namespace orvandale
