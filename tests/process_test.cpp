// The real executable, started as the updater starts it, on Qt's offscreen platform.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <stdlib.h>
#include <unistd.h>

#include <thread>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/updater.h"

namespace orvandale {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::entryNames;
using testing::TempDir;
using testing::sessionStartedAgo;
using testing::writeFile;

const std::string program = ORVANDALE_PROGRAM;

// Run by hand or by CTest, the program under test gets a platform that needs no display,
// unless the caller chose one.
const bool offscreenByDefault = ::setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0) == 0;
constexpr const char* validSession = R"({"version":"4.1.0","parentPid":1,"startedAt":1700000000000})";

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome runToEnd(const std::vector<std::string>& argv, const ChildProcess::Options& options = {}) {
  ChildProcess child(argv, options);
  const std::optional<int> status = child.wait(20s);
  EXPECT_TRUE(status.has_value()) << "the program did not end";
  return {status.value_or(-1), child.standardOutput(), child.standardError()};
}

TEST(ProcessTest, AWrongCommandLineEndsWithStatusOneAndSilence) {
  TempDir dir;
  writeFile(dir / "session.json", validSession);
  const std::vector<std::vector<std::string>> commandLines = {
      {program},
      {program, dir.path().string(), dir.path().string()},
      {program, dir.path().string(), "-platform"},
  };
  for (const auto& argv : commandLines) {
    SCOPED_TRACE(argv.size());
    const Outcome outcome = runToEnd(argv);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(entryNames(dir.path()), std::set<std::string>{"session.json"});
  }
}

TEST(ProcessTest, AnUnusableSessionEndsWithStatusOneAndWritesNothing) {
  const struct {
    const char* name;
    const char* session;  // nullptr: no session.json
  } cases[] = {
      {"no session.json", nullptr},
      {"empty", ""},
      {"not an object", R"("text")"},
      {"an array", "[]"},
      {"parentPid a string", R"({"version":"1","parentPid":"1","startedAt":0})"},
      {"no startedAt", R"({"version":"1","parentPid":1})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.session != nullptr) writeFile(dir / "session.json", c.session);
    const auto before = entryNames(dir.path());
    const Outcome outcome = runToEnd({program, dir.path().string()});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(entryNames(dir.path()), before);
  }
}

TEST(ProcessTest, AnArgumentThatIsNoDirectoryEndsWithStatusOne) {
  TempDir dir;
  writeFile(dir / "plain", validSession);
  for (const std::string& argument : {(dir / "missing").string(), (dir / "plain").string(), std::string()}) {
    SCOPED_TRACE(argument);
    const Outcome outcome = runToEnd({program, argument}, {.workingDirectory = dir.path()});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out + outcome.err, "");
  }
  EXPECT_EQ(entryNames(dir.path()), std::set<std::string>{"plain"});
}

TEST(ProcessTest, NoDisplayToOpenEndsWithStatusOneAndSilence) {
  TempDir dir;
  writeFile(dir / "session.json", validSession);
  const Outcome outcome = runToEnd({program, dir.path().string()},
                                   {.environment = {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", std::nullopt},
                                                    {"WAYLAND_DISPLAY", std::nullopt}}});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(entryNames(dir.path()), std::set<std::string>{"session.json"});
}

TEST(ProcessTest, FollowsTheUpdateFromReadyToFinished) {
  TempDir dir;
  std::filesystem::create_directory(dir / "exchange");
  writeFile(dir / "exchange" / "session.json", sessionStartedAgo());
  writeFile(dir / "exchange" / "status.json", R"({"phase":"installing"})");
  // A relative argument is resolved against the working directory the program starts in.
  ChildProcess child({program, "exchange"}, {.workingDirectory = dir.path()});

  ASSERT_TRUE(testing::waitForFile(dir / "exchange" / "ready.json", 10s));
  const auto ready = nlohmann::json::parse(testing::readFile(dir / "exchange" / "ready.json"));
  EXPECT_EQ(ready.size(), 2u);
  EXPECT_EQ(ready.at("pid"), child.pid());
  EXPECT_TRUE(ready.at("windowId").is_number_integer());
  EXPECT_FALSE(child.wait(1s).has_value()) << "the program ended before completion";

  writeFile(dir / "exchange" / "status.json", R"({"phase":"complete"})");
  const auto written = std::chrono::steady_clock::now();
  ASSERT_TRUE(testing::waitForFile(dir / "exchange" / "finished.json", 5s));
  const auto noticed = std::chrono::steady_clock::now() - written;
  EXPECT_EQ(child.wait(5s), 0);
  EXPECT_LT(noticed, 1500ms) << "completion is noticed at the next poll, half a second later at most";
  EXPECT_EQ(testing::readFile(dir / "exchange" / "finished.json"), R"({"phase":"complete"})");
  EXPECT_EQ(child.standardOutput(), "");
  EXPECT_EQ(child.standardError(), "");
}

TEST(ProcessTest, PublishesWhatTheWindowShowsWithASnapshotOfIt) {
  TempDir dir;
  writeFile(dir / "session.json", sessionStartedAgo(0s, /*capture=*/true));
  writeFile(dir / "status.json", R"({"phase":"installing"})");
  ChildProcess child({program, dir.path().string()}, {});

  ASSERT_TRUE(testing::waitForFile(dir / "installing.png", 10s));
  ASSERT_TRUE(child.running());
  const auto display = nlohmann::json::parse(testing::readFile(dir / "display.json"));
  EXPECT_EQ(display, (nlohmann::json{{"phase", "installing"},
                                     {"heading", "Installing update…"},
                                     {"detail", "Please wait. Orvandale will reopen automatically when installation finishes."},
                                     {"canClose", false}}));
  // The snapshot is written in place: wait until it is whole.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(testing::pngSize(testing::readFile(dir / "installing.png")), std::make_pair(500u, 230u));
  child.kill();
  EXPECT_EQ(child.standardOutput() + child.standardError(), "");
}

TEST(ProcessTest, AfterTheLongWaitClosingIsAllowedAtOnce) {
  TempDir dir;
  writeFile(dir / "session.json", sessionStartedAgo(601s, /*capture=*/true));
  writeFile(dir / "status.json", R"({"phase":"installing"})");
  ChildProcess child({program, dir.path().string()}, {});

  ASSERT_TRUE(testing::waitForFile(dir / "installing.png", 10s));
  const auto display = nlohmann::json::parse(testing::readFile(dir / "display.json"));
  EXPECT_EQ(display.at("detail"),
            "This is taking longer than expected. You can keep waiting or close this status window. Closing it does "
            "not cancel the update.");
  EXPECT_EQ(display.at("canClose"), true);
  child.kill();
}

TEST(ProcessTest, WithoutCaptureNoSnapshotIsEverWritten) {
  TempDir dir;
  writeFile(dir / "session.json", sessionStartedAgo());
  writeFile(dir / "status.json", R"({"phase":"installing"})");
  ChildProcess child({program, dir.path().string()}, {});
  ASSERT_TRUE(testing::waitForFile(dir / "display.json", 10s));
  writeFile(dir / "status.json", R"({"phase":"error"})");
  std::this_thread::sleep_for(1200ms);
  EXPECT_EQ(nlohmann::json::parse(testing::readFile(dir / "display.json")).at("phase"), "error");
  EXPECT_EQ(entryNames(dir.path()), (std::set<std::string>{"display.json", "ready.json", "session.json", "status.json"}));
  child.kill();
}

}  // namespace
}  // namespace orvandale
