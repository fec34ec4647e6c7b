// The updater's tool, simulate-update, driving the real program through each scenario, and
// telling a misbehaving program apart from one that keeps to the protocol.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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

const std::string tool = ORVANDALE_SIMULATE_UPDATE;
constexpr const char* keptToProtocol = "result: the program kept to the protocol";

struct Ran {
  int status;
  std::string out;
  std::string err;
};

Ran simulate(std::vector<std::string> arguments, const ChildProcess::Options& options = {}) {
  arguments.insert(arguments.begin(), tool);
  ChildProcess child(arguments, options);
  const std::optional<int> status = child.wait(60s);
  EXPECT_TRUE(status.has_value()) << "simulate-update did not end";
  return {status.value_or(-1), child.standardOutput(), child.standardError()};
}

struct ScenarioCase {
  const char* scenario;
  bool capture;
  std::set<std::string> files;  // what the exchange directory holds at the end
  const char* lastPhase;        // the last display.json's phase
  bool lastCanClose;
  const char* lastHeading;
};

void PrintTo(const ScenarioCase& c, std::ostream* out) { *out << c.scenario << (c.capture ? " with capture" : ""); }

const std::set<std::string> receipts = {"session.json", "status.json", "ready.json", "display.json", "finished.json"};

std::set<std::string> with(std::set<std::string> files, std::initializer_list<const char*> more) {
  files.insert(more.begin(), more.end());
  return files;
}

class ScenarioTest : public ::testing::TestWithParam<ScenarioCase> {};

TEST_P(ScenarioTest, ThePlayedUpdateKeepsToTheProtocol) {
  const ScenarioCase& c = GetParam();
  TempDir dir;
  std::vector<std::string> arguments = {"--scenario", c.scenario, "--dir", dir.path().string(), "--offscreen"};
  if (c.capture) arguments.push_back("--capture");
  const Ran ran = simulate(arguments);

  EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
  EXPECT_NE(ran.out.find(keptToProtocol), std::string::npos) << ran.out;
  EXPECT_NE(ran.out.find("finished.json: {\"phase\":\"complete\"}"), std::string::npos);
  EXPECT_NE(ran.out.find("the program exited with status 0"), std::string::npos);
  EXPECT_EQ(entryNames(dir.path()), c.files);
  EXPECT_EQ(readFile(dir / "finished.json"), R"({"phase":"complete"})");
  const auto display = nlohmann::json::parse(readFile(dir / "display.json"));
  EXPECT_EQ(display.at("phase"), c.lastPhase);
  EXPECT_EQ(display.at("canClose"), c.lastCanClose);
  EXPECT_EQ(display.at("heading"), c.lastHeading);
  for (const std::string& name : c.files) {
    if (name.ends_with(".png")) {
      EXPECT_EQ(testing::pngSize(readFile(dir / name)), std::make_pair(500u, 230u)) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ScenarioTest,
    ::testing::Values(
        ScenarioCase{"normal", true, with(receipts, {"preparing.png", "installing.png", "restarting.png"}), "restarting",
                     false, "Restarting Orvandale…"},
        ScenarioCase{"normal", false, receipts, "restarting", false, "Restarting Orvandale…"},
        ScenarioCase{"error", false, receipts, "installing", true, "Installing update…"},
        ScenarioCase{"parent-gone", false, receipts, "preparing", true, "Update needs attention"},
        ScenarioCase{"long-wait", true, with(receipts, {"installing.png"}), "installing", true, "Installing update…"},
        ScenarioCase{"unknown-phase", true, with(receipts, {"preparing.png", "downloading.png", "installing.png"}),
                     "installing", false, "Installing update…"},
        // session.json, ready.json and the first snapshot went with the directory.
        ScenarioCase{"vanishing-directory", true, {"status.json", "display.json", "finished.json", "restarting.png"},
                     "restarting",
                     false, "Restarting Orvandale…"}),
    [](const ::testing::TestParamInfo<ScenarioCase>& info) {
      std::string name = std::string(info.param.scenario) + (info.param.capture ? "_capture" : "");
      for (char& c : name) c = c == '-' ? '_' : c;
      return name;
    });

TEST(SimulateUpdateTest, PlaysTheDefaultTimelineInARealWindow) {
  testing::XvfbServer xvfb;
  ASSERT_FALSE(xvfb.display().empty());
  TempDir dir;
  const Ran ran = simulate({"--dir", dir.path().string(), "--capture"},
                           {.environment = {{"DISPLAY", xvfb.display()}, {"QT_QPA_PLATFORM", "xcb"}}});
  EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
  EXPECT_NE(ran.out.find(keptToProtocol), std::string::npos) << ran.out;
  EXPECT_EQ(entryNames(dir.path()), with(receipts, {"preparing.png", "installing.png", "restarting.png"}));
}

TEST(SimulateUpdateTest, PlaysATimelineFile) {
  TempDir dir;
  writeFile(dir / "timeline.txt",
            "# seconds, then the phase\n"
            "1.5 \"checking disk\"\n"
            "1.5 error Not enough space\n"
            "0 complete\n");
  std::filesystem::create_directory(dir / "exchange");
  const Ran ran = simulate({"--timeline", (dir / "timeline.txt").string(), "--dir", (dir / "exchange").string(),
                            "--offscreen", "--capture"});
  EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
  EXPECT_NE(ran.out.find("display.json: \"checking disk\" · \"Preparing update…\""), std::string::npos) << ran.out;
  EXPECT_NE(ran.out.find("display.json: \"error\" · \"Update needs attention\" · \"Not enough space\" · canClose true"),
            std::string::npos)
      << ran.out;
  EXPECT_TRUE(std::filesystem::exists(dir / "exchange" / "checking disk.png"));
}

TEST(SimulateUpdateTest, NamesTheBreachesOfAMisbehavingProgram) {
  TempDir dir;
  // Publishes before its handshake, prints, writes a completion receipt with a newline and
  // ends with status 3.
  writeFile(dir / "impostor",
            "#!/bin/sh\n"
            "echo '{\"phase\":\"preparing\",\"heading\":\"h\",\"detail\":\"d\",\"canClose\":false}' > \"$1/display.json\"\n"
            "sleep 0.2\n"
            "echo \"{\\\"pid\\\":$$,\\\"windowId\\\":1}\" > \"$1/ready.json\"\n"
            "echo hello\n"
            "until grep -q complete \"$1/status.json\"; do sleep 0.05; done\n"
            "echo '{\"phase\":\"complete\"}' > \"$1/finished.json\"\n"
            "exit 3\n");
  ASSERT_EQ(::chmod((dir / "impostor").c_str(), 0755), 0);
  writeFile(dir / "timeline.txt", "1 installing\n0 complete\n");
  std::filesystem::create_directory(dir / "exchange");
  const Ran ran = simulate({"--program", (dir / "impostor").string(), "--timeline", (dir / "timeline.txt").string(),
                            "--dir", (dir / "exchange").string()});
  EXPECT_EQ(ran.status, 1);
  for (const char* breach : {"BREACH: display.json came before ready.json", "BREACH: the program printed: hello",
                             "BREACH: finished.json is not exactly", "BREACH: the program ended with status 3"}) {
    EXPECT_NE(ran.out.find(breach), std::string::npos) << breach << "\n" << ran.out;
  }
  EXPECT_EQ(ran.out.find(keptToProtocol), std::string::npos);
}

TEST(SimulateUpdateTest, AProgramThatNeverAnswersTimesOut) {
  TempDir dir;
  writeFile(dir / "silent", "#!/bin/sh\nexec sleep 60\n");
  ASSERT_EQ(::chmod((dir / "silent").c_str(), 0755), 0);
  const Ran ran = simulate({"--program", (dir / "silent").string(), "--timeout", "1", "--dir", (dir / "x").string()});
  EXPECT_EQ(ran.status, 1);
  EXPECT_NE(ran.out.find("BREACH: no ready.json within 1 s"), std::string::npos) << ran.out;
}

// The stand-in parent application that the run named in session.json is no longer running.
void expectNoStandInParentLeft(const std::filesystem::path& exchange) {
  const auto session = nlohmann::json::parse(readFile(exchange / "session.json"), nullptr, false);
  ASSERT_TRUE(session.is_object()) << "no session.json was written";
  const pid_t parent = session.at("parentPid").get<pid_t>();
  ASSERT_NE(parent, ::getpid()) << "the scenario has no stand-in parent";
  EXPECT_NE(::kill(parent, 0), 0) << "the stand-in parent " << parent << " was left running";
}

TEST(SimulateUpdateTest, WhenTheProgramCannotStartItFailsAndLeavesNothingRunning) {
  TempDir dir;
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    ChildProcess::Options options;
    const char* error;
  } cases[] = {
      {"no program at the path", {"--program", "/nonexistent"}, {}, "no program to run at /nonexistent"},
      {"no directory for the program's output",
       {},
       {.environment = {{"TMPDIR", "/nonexistent"}}},
       "no directory for temporary files"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path exchange = dir / c.name;
    std::vector<std::string> arguments = {"--scenario", "parent-gone", "--offscreen", "--dir", exchange.string()};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const Ran ran = simulate(arguments, c.options);
    EXPECT_EQ(ran.status, 1) << ran.out << ran.err;
    EXPECT_NE(ran.err.find(c.error), std::string::npos) << ran.err;
    expectNoStandInParentLeft(exchange);
  }
}

TEST(SimulateUpdateTest, NoDirectoryForTemporaryFilesIsAFailureItNames) {
  for (const char* tmpdir : {"/nonexistent", "/dev/null"}) {
    SCOPED_TRACE(tmpdir);
    const Ran ran = simulate({"--offscreen"}, {.environment = {{"TMPDIR", tmpdir}}});
    EXPECT_EQ(ran.status, 1) << ran.out << ran.err;
    EXPECT_NE(ran.err.find("simulate-update: no directory for temporary files"), std::string::npos) << ran.err;
  }
}

TEST(SimulateUpdateTest, RefusesBadOptionsAndTimelinesWithUsage) {
  TempDir dir;
  writeFile(dir / "bad.txt", "2 preparing\nlater installing\n");
  const struct {
    std::vector<std::string> arguments;
    const char* error;
  } cases[] = {
      {{"--frobnicate"}, "unknown option \"--frobnicate\""},
      {{"--scenario"}, "--scenario needs a value"},
      {{"--scenario", "nope"}, "no scenario \"nope\""},
      {{"--timeout", "0"}, "--timeout takes a number of seconds above 0"},
      {{"--timeout", "ten"}, "--timeout takes a number of seconds above 0"},
      {{"--scenario", "error", "--timeline", "x"}, "not both"},
      {{"--timeline", (dir / "missing.txt").string()}, "cannot read the timeline file"},
      {{"--timeline", (dir / "bad.txt").string()}, "bad.txt:2: \"later\" is not a number of seconds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    const Ran ran = simulate(c.arguments);
    EXPECT_EQ(ran.status, 2);
    EXPECT_NE(ran.err.find(c.error), std::string::npos) << ran.err;
    EXPECT_EQ(ran.out, "");
  }
  const Ran help = simulate({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: simulate-update"), std::string::npos);
  const Ran list = simulate({"--list"});
  EXPECT_NE(list.out.find("parent-gone:"), std::string::npos);
}

}  // namespace
}  // namespace orvandale
