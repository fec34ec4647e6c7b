// simulate-update --watch following shell updaters that drive the real program: the breaches
// of the updater named, a careful updater passed, and the directory followed before it exists.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvandale {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::entryNames;
using testing::TempDir;
using testing::writeFile;

const std::string tool = ORVANDALE_SIMULATE_UPDATE;
const std::string program = ORVANDALE_PROGRAM;

// What every updater below starts with: $1 is the exchange directory, $2 the program.
constexpr const char* helpers = R"sh(set -e
dir=$1
program=$2
session() {
  printf '{"version":"4.1.0","parentPid":%d,"startedAt":%d000}' $$ "$(date +%s)" > "$dir/session.new"
  mv "$dir/session.new" "$dir/session.json"
}
in_place() { printf '{"phase":"%s"}' "$1" > "$dir/status.json"; }
renamed() {
  printf '{"phase":"%s"}' "$1" > "$dir/status.new"
  mv "$dir/status.new" "$dir/status.json"
}
await_ready() { until [ -e "$dir/ready.json" ]; do sleep 0.05; done; }
)sh";

struct WatchCase {
  const char* name;
  const char* exchange;  // below the test's directory; made by the updater
  const char* updater;
  int status;                          // the watch's exit status
  std::vector<std::string> lines;      // each found in the watch's output
  std::vector<std::string> breaches;   // every BREACH line, in order, from its start
  std::set<std::string> files;         // what the exchange directory holds at the end
};

void PrintTo(const WatchCase& c, std::ostream* out) { *out << c.name; }

const std::set<std::string> receipts = {"session.json", "status.json", "ready.json", "display.json", "finished.json"};

std::vector<std::string> breachLines(const std::string& out) {
  std::vector<std::string> breaches;
  for (std::size_t at = out.find("BREACH: "); at != std::string::npos; at = out.find("BREACH: ", at + 1)) {
    breaches.push_back(out.substr(at, out.find('\n', at) - at));
  }
  return breaches;
}

// Waits until the watch has taken hold (its first timeline line), as an author starts the
// updater only then.
bool waitForOutput(ChildProcess& watch) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (watch.standardOutput().find(" ms  ") == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline || !watch.running()) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class WatchTest : public ::testing::TestWithParam<WatchCase> {};

TEST_P(WatchTest, ChecksTheUpdaterAndTheProgram) {
  const WatchCase& c = GetParam();
  TempDir root;
  const std::string exchange = (root / c.exchange).string();
  writeFile(root / "updater.sh", std::string(helpers) + c.updater);

  ChildProcess watch({tool, "--watch", exchange, "--timeout", "60"}, {});
  ASSERT_TRUE(waitForOutput(watch)) << watch.standardError();

  ChildProcess updater({"sh", (root / "updater.sh").string(), exchange, program}, {});
  EXPECT_EQ(updater.wait(60s), std::optional<int>(0)) << updater.standardError();
  const std::optional<int> status = watch.wait(90s);
  const std::string out = watch.standardOutput();
  ASSERT_TRUE(status.has_value()) << out;

  EXPECT_EQ(*status, c.status) << out << watch.standardError();
  for (const std::string& line : c.lines) EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  const std::vector<std::string> breaches = breachLines(out);
  ASSERT_EQ(breaches.size(), c.breaches.size()) << out;
  for (std::size_t i = 0; i < breaches.size(); ++i) {
    EXPECT_TRUE(breaches[i].starts_with("BREACH: " + c.breaches[i])) << breaches[i];
  }
  // The watch wrote nothing into the directory.
  EXPECT_EQ(entryNames(exchange), c.files);
}

INSTANTIATE_TEST_SUITE_P(
    Updaters, WatchTest,
    ::testing::Values(
        WatchCase{"in_place", "exchange",
                  R"sh(mkdir -p "$dir"
session
renamed preparing
"$program" "$dir" &
pid=$!
await_ready
in_place installing
sleep 1
in_place complete
wait $pid
)sh",
                  1,
                  {"status.json renamed into place: \"preparing\"", "status.json written in place: \"installing\"",
                   "status.json written in place: \"complete\"", "finished.json: {\"phase\":\"complete\"}",
                   "summary: 3 status writes (2 in place)"},
                  {"updater: status.json was written in place 2 times (\"installing\", \"complete\"): a poll can read "
                   "it half written"},
                  receipts},
        WatchCase{"renamed", "exchange",
                  R"sh(mkdir -p "$dir"
session
renamed preparing
"$program" "$dir" &
pid=$!
await_ready
renamed installing
sleep 1
renamed complete
wait $pid
)sh",
                  0,
                  {"status.json renamed into place: \"installing\"", "status.json renamed into place: \"complete\"",
                   "display.json: \"installing\" · \"Installing update…\"", "finished.json: {\"phase\":\"complete\"}",
                   "result: the updater and the program kept to the protocol"},
                  {},
                  receipts},
        WatchCase{"session_changed_after_start", "exchange",
                  R"sh(mkdir -p "$dir"
session
"$program" "$dir" &
pid=$!
await_ready
session
renamed downloading
sleep 1
renamed complete
wait $pid
)sh",
                  1,
                  {"note: the phase \"downloading\" is not one the program tells apart"},
                  {"updater: session.json was changed once after the program started"},
                  receipts},
        WatchCase{"directory_made_after_the_watch_began", "later/exchange",
                  R"sh(mkdir "$(dirname "$dir")"
sleep 0.2
mkdir "$dir"
session
"$program" "$dir" &
pid=$!
await_ready
renamed installing
sleep 1
renamed complete
wait $pid
)sh",
                  0,
                  {"to appear (watching ", "exchange appeared; watching it",
                   "result: the updater and the program kept to the protocol"},
                  {},
                  {"session.json", "status.json", "ready.json", "display.json", "finished.json"}},
        WatchCase{"status_not_json", "exchange",
                  R"sh(mkdir -p "$dir"
session
"$program" "$dir" &
pid=$!
await_ready
printf '{"phase":"installing"' > "$dir/status.new"
mv "$dir/status.new" "$dir/status.json"
sleep 1
renamed complete
wait $pid
)sh",
                  1,
                  {"status.json renamed into place: not a JSON object"},
                  {"updater: status.json was not a JSON object once"},
                  receipts}),
    [](const ::testing::TestParamInfo<WatchCase>& info) { return std::string(info.param.name); });

// A program that cannot start shows nothing and ends at once with status 1; the watch names the
// cause when it catches the process in the process table before its end, and the missing
// ready.json when it does not (the program may end first on a busy machine).
TEST(WatchStartTest, NamesAProgramThatCouldNotStart) {
  const struct {
    const char* what;
    const char* updater;
    std::vector<std::string> breaches;  // either of them, from its start
  } cases[] = {
      {"two arguments", R"sh(mkdir -p "$dir"
session
"$program" "$dir" extra || true
renamed complete
)sh",
       {"BREACH: updater: the program (pid ", "BREACH: updater: no ready.json appeared: the program was not started"}},
      {"no session.json", R"sh(mkdir -p "$dir"
"$program" "$dir" || true
renamed complete
)sh",
       {"BREACH: updater: session.json was missing when the program started",
        "BREACH: updater: no ready.json appeared, and session.json was never written"}},
  };
  for (const auto& c : cases) {
    TempDir root;
    const std::string exchange = (root / "exchange").string();
    writeFile(root / "updater.sh", std::string(helpers) + c.updater);
    ChildProcess watch({tool, "--watch", exchange, "--timeout", "10"}, {});
    ASSERT_TRUE(waitForOutput(watch));
    ChildProcess updater({"sh", (root / "updater.sh").string(), exchange, program}, {});
    EXPECT_EQ(updater.wait(60s), std::optional<int>(0)) << updater.standardError();
    EXPECT_EQ(watch.wait(60s), std::optional<int>(1)) << c.what;
    const std::vector<std::string> breaches = breachLines(watch.standardOutput());
    ASSERT_EQ(breaches.size(), 1u) << c.what << "\n" << watch.standardOutput();
    EXPECT_TRUE(breaches[0].starts_with(c.breaches[0]) || breaches[0].starts_with(c.breaches[1])) << breaches[0];
    if (breaches[0].starts_with(c.breaches[0]) && std::string(c.what) == "two arguments") {
      EXPECT_NE(breaches[0].find("was started with 2 arguments, not exactly one"), std::string::npos) << breaches[0];
    }
  }
}

TEST(WatchOptionsTest, RefusesOptionsOfTheSimulation) {
  TempDir root;
  const std::vector<std::vector<std::string>> refused = {
      {"--watch", (root / "x").string(), "--scenario", "normal"},
      {"--watch", (root / "x").string(), "--offscreen"},
      {"--watch"},
      {"--watch", ""},
      {"--watch", (root / "x").string(), "--timeout", "0"},
  };
  for (std::vector<std::string> arguments : refused) {
    arguments.insert(arguments.begin(), tool);
    ChildProcess child(arguments, {});
    EXPECT_EQ(child.wait(30s), std::optional<int>(2)) << ::testing::PrintToString(arguments);
    EXPECT_NE(child.standardError().find("usage: simulate-update"), std::string::npos);
  }
  EXPECT_EQ(entryNames(root.path()), std::set<std::string>{});
}

TEST(WatchOptionsTest, RefusesAFileWhereTheDirectoryShouldBe) {
  TempDir root;
  writeFile(root / "file", "");
  for (const char* below : {"file", "file/exchange"}) {
    ChildProcess child({tool, "--watch", (root / below).string(), "--timeout", "5"}, {});
    EXPECT_EQ(child.wait(30s), std::optional<int>(2)) << below;
    EXPECT_NE(child.standardError().find("is not a directory"), std::string::npos) << child.standardError();
  }
}

}  // namespace
}  // namespace orvandale
