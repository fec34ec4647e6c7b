#include "app/update_progress.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <functional>

#include <nlohmann/json.hpp>

#include "platform/manual_platform.h"
#include "progress/texts.h"
#include "tests/support/temp_dir.h"
#include "ui/memory/memory_toolkit.h"

namespace orvandale {
namespace {

namespace texts = progress::texts;
using testing::entryNames;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using ui::memory::MemoryToolkit;

// The update started at this wall-clock second; the manual clock stands `elapsed` after it.
constexpr double startSeconds = 1'700'000'000.0;
constexpr const char* defaultSession = R"({"version":"4.1.0","parentPid":321,"startedAt":1700000000000})";

/// A controller on the in-memory toolkit, a manual clock and parent, and a fresh exchange
/// directory.
class Harness {
 public:
  explicit Harness(const std::string& session = defaultSession, double elapsed = 65) {
    writeFile(dir / "session.json", session);
    at(elapsed);
  }

  UpdateProgress::Created create() { return UpdateProgress::create(toolkit, platform, dir.path()); }

  /// Constructs the controller; fails the test if that fails.
  UpdateProgress& construct() {
    auto created = create();
    if (auto* made = std::get_if<std::shared_ptr<UpdateProgress>>(&created)) controller = *made;
    EXPECT_NE(controller, nullptr) << "construction failed";
    return *controller;
  }

  /// Constructs the controller and runs the launch handler, as main and the event loop do.
  UpdateProgress& launch() {
    construct();
    toolkit.setDelegate(controller);
    toolkit.run();
    return *controller;
  }

  void status(const char* content) {
    if (content == nullptr) {
      std::filesystem::remove(dir / "status.json");
    } else {
      writeFile(dir / "status.json", content);
    }
  }
  void at(double elapsed) { platform.clock = startSeconds + elapsed; }
  void poll(const char* content) {
    status(content);
    toolkit.fireTimers();
  }

  ui::memory::MemoryLabel& heading() { return *toolkit.labels.at(0); }
  ui::memory::MemoryLabel& detail() { return *toolkit.labels.at(1); }
  ui::memory::MemoryLabel& elapsed() { return *toolkit.labels.at(2); }
  ui::memory::MemorySpinner& spinner() { return *toolkit.spinners.at(0); }
  ui::memory::MemoryButton& closeButton() { return *toolkit.buttons.at(0); }
  ui::memory::MemoryWindow& window() { return *toolkit.windows.at(0); }
  bool canClose() { return controller->windowShouldClose(); }

  TempDir dir;
  MemoryToolkit toolkit;
  platform::ManualPlatform platform;
  std::shared_ptr<UpdateProgress> controller;
};

TEST(ConstructionTest, MakesTheViewsInOrderAndNothingElse) {
  Harness h;
  h.construct();
  EXPECT_EQ(h.toolkit.calls, (std::vector<std::string>{
                                 "application.makeWindow(500x230, titled closable miniaturizable) -> window#1",
                                 "application.makeLabel(Preparing update…) -> label#1",
                                 "application.makeWrappingLabel(Closing Orvandale safely. Your shows and settings "
                                 "will be kept.) -> label#2",
                                 "application.makeLabel() -> label#3",
                                 "application.makeSpinner() -> spinner#1",
                                 "application.makeButton(Close status) -> button#1",
                             }));
  EXPECT_FALSE(h.window().visible);
  EXPECT_TRUE(h.toolkit.timers.empty());
  EXPECT_FALSE(h.spinner().animating);
  EXPECT_FALSE(h.canClose());
  EXPECT_EQ(entryNames(h.dir.path()), std::set<std::string>{"session.json"});
}

TEST(ConstructionTest, AFailureLeavesNothingBehind) {
  const struct {
    const char* name;
    const char* session;  // nullptr: no session.json at all
    exchange::SessionFailure::Kind kind;
  } cases[] = {
      {"no session.json", nullptr, exchange::SessionFailure::Kind::unreadable},
      {"not JSON", "{", exchange::SessionFailure::Kind::unparsable},
      {"startedAt missing after a valid parentPid", R"({"version":"1","parentPid":5})",
       exchange::SessionFailure::Kind::invalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(c.session != nullptr ? c.session : "");
    if (c.session == nullptr) std::filesystem::remove(h.dir / "session.json");
    auto created = h.create();
    ASSERT_TRUE(std::holds_alternative<exchange::SessionFailure>(created));
    EXPECT_EQ(std::get<exchange::SessionFailure>(created).kind, c.kind);
    EXPECT_TRUE(h.toolkit.windows.empty()) << "the window outlived the failed construction";
    for (const auto& label : h.toolkit.labels) EXPECT_EQ(label.use_count(), 1) << label->name;
    EXPECT_TRUE(h.toolkit.timers.empty());
    EXPECT_LE(entryNames(h.dir.path()).size(), 1u);
  }
}

TEST(ConstructionTest, WriteReceiptWritesIntoTheExchangeDirectoryOrDropsTheFailure) {
  Harness h;
  UpdateProgress& controller = h.construct();
  controller.writeReceipt("finished.json", {{"phase", "complete"}});
  EXPECT_EQ(readFile(h.dir / "finished.json"), R"({"phase":"complete"})");
  std::filesystem::remove_all(h.dir.path());
  controller.writeReceipt("finished.json", {{"phase", "complete"}});
  EXPECT_FALSE(std::filesystem::exists(h.dir.path()));
}

TEST(LaunchTest, RunsTheLaunchSequenceInOrderThenPollsOnce) {
  Harness h;
  h.construct();
  h.toolkit.setDelegate(h.controller);
  const std::size_t mark = h.toolkit.calls.size();
  std::map<std::string, std::set<std::string>> filesAt;
  h.toolkit.observer = [&h, &filesAt](const std::string& call) { filesAt[call] = entryNames(h.dir.path()); };
  h.toolkit.run();

  EXPECT_EQ(h.toolkit.callsSince(mark),
            (std::vector<std::string>{
                "application.run()",
                "window#1.setTitle(Updating Orvandale to 4.1.0)",
                "window#1.setDelegate()",
                "window#1.setReleasedWhenClosed(false)",
                "window#1.center()",
                "label#1.setFont(bold 20)",
                "label#2.setFont(regular 14)",
                "label#2.setMaximumNumberOfLines(3)",
                "label#3.setTextColor(secondaryLabel)",
                "spinner#1.setStyle(spinning)",
                "spinner#1.setIndeterminate(true)",
                "spinner#1.startAnimation()",
                "button#1.setAction()",
                "button#1.setHidden(true)",
                "application.makeStackView(spinner#1, label#1) -> stack#1",
                "stack#1.setOrientation(horizontal)",
                "stack#1.setSpacing(14)",
                "application.makeStackView(stack#1, label#2, label#3, button#1) -> stack#2",
                "stack#2.setOrientation(vertical)",
                "stack#2.setAlignment(leading)",
                "stack#2.setSpacing(16)",
                "window#1.content.addSubview(stack#2)",
                "window#1.content.activateConstraints(stack#2.leading = 28, stack#2.trailing = -28, stack#2.top = 26)",
                "window#1.makeKeyAndOrderFront()",
                "application.activateIgnoringOtherApps()",
                "window#1.displayIfNeeded()",
                "window#1.windowNumber() -> 101",
                "application.scheduleRepeatingTimer(500ms) -> timer#1",
                // the first poll: no status.json, parent alive
                "label#3.setText(Elapsed: 1m 5s)",
                "spinner#1.startAnimation()",
                "label#1.setText(Preparing update…)",
                "label#2.setText(Closing Orvandale safely. Your shows and settings will be kept.)",
            }));

  // ready.json is written after the window number is read and before the timer exists.
  EXPECT_EQ(filesAt["window#1.windowNumber() -> 101"], std::set<std::string>{"session.json"});
  EXPECT_EQ(filesAt["application.scheduleRepeatingTimer(500ms) -> timer#1"],
            (std::set<std::string>{"ready.json", "session.json"}));
  EXPECT_EQ(readFile(h.dir / "ready.json"), R"({"pid":4242,"windowId":101})");
  EXPECT_EQ(h.toolkit.timers.at(0)->interval, std::chrono::milliseconds(500));
  EXPECT_TRUE(h.window().visible);
  EXPECT_TRUE(h.closeButton().hidden);
  EXPECT_EQ(h.platform.processTests, std::vector<std::int32_t>{321});
}

TEST(LaunchTest, CompleteAtLaunchEndsInTheFirstPollBeforeTheTimerFires) {
  Harness h;
  h.status(R"({"phase":"complete"})");
  h.launch();
  EXPECT_TRUE(h.toolkit.terminated);
  EXPECT_EQ(h.toolkit.calls.back(), "application.terminate()");
  EXPECT_EQ(readFile(h.dir / "finished.json"), R"({"phase":"complete"})");
  EXPECT_EQ(entryNames(h.dir.path()), (std::set<std::string>{"finished.json", "ready.json", "session.json", "status.json"}));
  EXPECT_EQ(std::count(h.toolkit.calls.begin(), h.toolkit.calls.end(), "label#3.setText(Elapsed: 1m 5s)"), 1);
  // The heading, the detail and the close permission are as construction left them.
  EXPECT_EQ(h.heading().shownText, texts::preparingHeading);
  EXPECT_EQ(h.detail().shownText, texts::preparingDetail);
  EXPECT_FALSE(h.canClose());
}

TEST(LaunchTest, TitleIsThePrefixAndTheVersionVerbatim) {
  for (const char* version : {"", "4.1.0 beta", " spaced ", "\\u00e9\\u2026"}) {
    SCOPED_TRACE(version);
    Harness h(std::string(R"({"version":")") + version + R"(","parentPid":1,"startedAt":0})");
    h.launch();
    const std::string shown = std::string(version) == "\\u00e9\\u2026" ? "é…" : version;
    EXPECT_EQ(h.window().title, "Updating Orvandale to " + shown);
  }
}

TEST(LaunchTest, AFailedReadyReceiptLeavesTheWindowUpAndThePollRunning) {
  Harness h;
  std::filesystem::create_directory(h.dir / "ready.json");
  h.launch();
  EXPECT_TRUE(h.window().visible);
  EXPECT_TRUE(std::filesystem::is_directory(h.dir / "ready.json"));
  h.poll(R"({"phase":"installing"})");
  EXPECT_EQ(h.heading().shownText, texts::installingHeading);
}

TEST(LaunchTest, TheTimerAndTheDelegatesDoNotKeepTheControllerAlive) {
  Harness h;
  h.launch();
  std::weak_ptr<UpdateProgress> weak = h.controller;
  h.controller.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(h.toolkit.timers.empty()) << "the timer went with its controller";
}

// One poll against the rules, from the state the launch leaves: the construction texts, the
// spinner turning, closing refused.
struct RuleRow {
  const char* name;
  const char* status;  // nullptr: no status.json
  double elapsed;
  bool parentAlive;
  std::string heading;
  std::string detail;
  bool spinning;
  bool canClose;
  bool parentChecked;
  bool completes;
  const char* elapsedText;
};

const std::string attention = texts::attentionHeading;
const std::string fallback = texts::fallbackDetail;
const std::string longWait = texts::longWaitDetail;
const std::string preparing = texts::preparingHeading;
const std::string preparingDetail = texts::preparingDetail;
const std::string installing = texts::installingHeading;
const std::string installingDetail = texts::installingDetail;
const std::string restarting = texts::restartingHeading;
const std::string restartingDetail = texts::restartingDetail;

const RuleRow ruleRows[] = {
    // name, status, elapsed, parent alive, heading, detail, spinning, canClose, parent checked, completes, elapsed text
    {"complete", R"({"phase":"complete"})", 30, true, preparing, preparingDetail, true, false, false, true, "Elapsed: 0m 30s"},
    {"complete after the long wait", R"({"phase":"complete"})", 900, false, preparing, preparingDetail, true, false, false, true, "Elapsed: 15m 0s"},
    {"error without message", R"({"phase":"error"})", 10, true, attention, fallback, false, true, false, false, "Elapsed: 0m 10s"},
    {"error with message", R"({"phase":"error","message":"Disk full"})", 10, true, attention, "Disk full", false, true, false, false, "Elapsed: 0m 10s"},
    {"error with empty message", R"({"phase":"error","message":""})", 10, true, attention, "", false, true, false, false, "Elapsed: 0m 10s"},
    {"error with a message that is no string", R"({"phase":"error","message":["x"]})", 10, true, attention, fallback, false, true, false, false, "Elapsed: 0m 10s"},
    {"error after the long wait", R"({"phase":"error","message":"m"})", 700, true, attention, "m", false, true, false, false, "Elapsed: 11m 40s"},
    {"preparing, parent gone", R"({"phase":"preparing"})", 10, false, attention, fallback, false, true, true, false, "Elapsed: 0m 10s"},
    {"preparing, parent gone, message", R"({"phase":"preparing","message":"Reopen it"})", 10, false, attention, "Reopen it", false, true, true, false, "Elapsed: 0m 10s"},
    {"no status.json, parent gone", nullptr, 10, false, attention, fallback, false, true, true, false, "Elapsed: 0m 10s"},
    {"no status.json, parent alive", nullptr, 10, true, preparing, preparingDetail, true, false, true, false, "Elapsed: 0m 10s"},
    {"preparing, parent alive, message not shown", R"({"phase":"preparing","message":"hidden"})", 10, true, preparing, preparingDetail, true, false, true, false, "Elapsed: 0m 10s"},
    {"preparing at 599.9 s", R"({"phase":"preparing"})", 599.9, true, preparing, preparingDetail, true, false, true, false, "Elapsed: 9m 59s"},
    {"preparing at 600.0 s", R"({"phase":"preparing"})", 600.0, true, preparing, longWait, true, true, true, false, "Elapsed: 10m 0s"},
    {"phase a number", R"({"phase":3})", 10, true, preparing, preparingDetail, true, false, true, false, "Elapsed: 0m 10s"},
    {"phase null, parent gone", R"({"phase":null})", 10, false, attention, fallback, false, true, true, false, "Elapsed: 0m 10s"},
    {"top-level array, parent gone", R"([{"phase":"installing"}])", 10, false, attention, fallback, false, true, true, false, "Elapsed: 0m 10s"},
    {"empty file", "", 10, true, preparing, preparingDetail, true, false, true, false, "Elapsed: 0m 10s"},
    {"installing, parent gone unnoticed", R"({"phase":"installing","message":"not shown"})", 10, false, installing, installingDetail, true, false, false, false, "Elapsed: 0m 10s"},
    {"installing at 599.9 s", R"({"phase":"installing"})", 599.9, true, installing, installingDetail, true, false, false, false, "Elapsed: 9m 59s"},
    {"installing at 600.0 s", R"({"phase":"installing"})", 600.0, true, installing, longWait, true, true, false, false, "Elapsed: 10m 0s"},
    {"restarting", R"({"phase":"restarting"})", 10, true, restarting, restartingDetail, true, false, false, false, "Elapsed: 0m 10s"},
    {"restarting after the long wait", R"({"phase":"restarting"})", 3600, true, restarting, longWait, true, true, false, false, "Elapsed: 60m 0s"},
    {"phase in other case", R"({"phase":"Installing"})", 10, false, preparing, preparingDetail, true, false, false, false, "Elapsed: 0m 10s"},
    {"complete with a trailing space", R"({"phase":"complete "})", 10, true, preparing, preparingDetail, true, false, false, false, "Elapsed: 0m 10s"},
    {"Error in other case", R"({"phase":"ERROR"})", 10, true, preparing, preparingDetail, true, false, false, false, "Elapsed: 0m 10s"},
    {"unknown phase, parent gone", R"({"phase":"downloading"})", 10, false, preparing, preparingDetail, true, false, false, false, "Elapsed: 0m 10s"},
    {"unknown phase after the long wait", R"({"phase":"downloading"})", 601, true, preparing, longWait, true, true, false, false, "Elapsed: 10m 1s"},
    {"startedAt in the future", R"({"phase":"installing"})", -100, true, installing, installingDetail, true, false, false, false, "Elapsed: 0m 0s"},
    {"startedAt far in the future", R"({"phase":"installing"})", -1e30, true, installing, installingDetail, true, false, false, false, "Elapsed: 0m 0s"},
    {"startedAt far in the past", R"({"phase":"installing"})", 1e30, true, installing, longWait, true, true, false, false, "Elapsed: 153722867280912930m 7s"},
};

TEST(PollTest, AppliesTheFirstMatchingRule) {
  for (const RuleRow& row : ruleRows) {
    SCOPED_TRACE(row.name);
    Harness h(defaultSession, row.elapsed);
    h.platform.parentAlive = row.parentAlive;
    h.status(row.status);
    h.launch();

    EXPECT_EQ(h.elapsed().shownText, row.elapsedText);
    EXPECT_EQ(h.heading().shownText, row.heading);
    EXPECT_EQ(h.detail().shownText, row.detail);
    EXPECT_EQ(h.spinner().animating, row.spinning);
    EXPECT_EQ(h.canClose(), row.canClose);
    EXPECT_EQ(h.closeButton().hidden, !row.canClose);
    EXPECT_EQ(h.platform.processTests, row.parentChecked ? std::vector<std::int32_t>{321} : std::vector<std::int32_t>{});
    EXPECT_EQ(h.toolkit.terminated, row.completes);
    EXPECT_EQ(std::filesystem::exists(h.dir / "finished.json"), row.completes);
  }
}

TEST(PollTest, PassesTheParentPidToTheProcessTestUnchanged) {
  for (const char* pid : {"0", "-1", "-2147483648", "2147483647"}) {
    SCOPED_TRACE(pid);
    Harness h(std::string(R"({"version":"v","startedAt":0,"parentPid":)") + pid + "}");
    h.launch();
    EXPECT_EQ(h.platform.processTests, std::vector<std::int32_t>{std::stoi(pid)});
  }
}

TEST(PollTest, ClosingOnceAllowedStaysAllowedWhileTextsAndSpinnerFollowThePhase) {
  Harness h;
  h.status(R"({"phase":"error","message":"Disk full"})");
  h.launch();
  EXPECT_FALSE(h.spinner().animating);
  EXPECT_TRUE(h.canClose());

  h.poll(R"({"phase":"installing"})");
  EXPECT_EQ(h.heading().shownText, installing);
  EXPECT_EQ(h.detail().shownText, installingDetail);
  EXPECT_TRUE(h.spinner().animating);
  EXPECT_TRUE(h.canClose());
  EXPECT_FALSE(h.closeButton().hidden);

  h.at(650);
  h.poll(R"({"phase":"restarting"})");
  EXPECT_EQ(h.detail().shownText, longWait);
  EXPECT_EQ(h.elapsed().shownText, "Elapsed: 10m 50s");
}

TEST(PollTest, AMomentarilyMissingStatusWithTheParentGoneAllowsClosingForGood) {
  Harness h;
  h.status(R"({"phase":"installing"})");
  h.launch();
  h.platform.parentAlive = false;
  h.poll(nullptr);  // no status.json at all: an empty report
  EXPECT_EQ(h.heading().shownText, attention);
  EXPECT_TRUE(h.canClose());
  h.poll(R"({"phase":"installing"})");
  EXPECT_EQ(h.heading().shownText, installing);
  EXPECT_TRUE(h.canClose());
}

// What a poll may find while the updater rewrites status.json in place.
const struct TornStatus {
  const char* name;
  std::function<void(const std::filesystem::path&)> make;
} tornStatuses[] = {
    {"truncated, nothing written yet", [](const std::filesystem::path& at) { writeFile(at, ""); }},
    {"cut off in a string", [](const std::filesystem::path& at) { writeFile(at, R"({"phase":"insta)"); }},
    {"cut off after a member", [](const std::filesystem::path& at) { writeFile(at, R"({"message":"x",)"); }},
    {"not JSON", [](const std::filesystem::path& at) { writeFile(at, "\xff garbage"); }},
    {"a directory", [](const std::filesystem::path& at) { std::filesystem::create_directory(at); }},
};

TEST(PollTest, AStatusCaughtHalfWrittenLeavesTheLastWholeReportInForce) {
  const struct {
    const char* name;
    const char* whole;  // the last report read whole
    std::string heading;
    std::string detail;
    bool canClose;
  } lastReports[] = {
      {"installing", R"({"phase":"installing"})", installing, installingDetail, false},
      {"an error with its message", R"({"phase":"error","message":"Disk full"})", attention, "Disk full", true},
      {"preparing", R"({"phase":"preparing"})", attention, fallback, true},  // the parent is gone
  };
  for (const auto& last : lastReports) {
    for (const TornStatus& torn : tornStatuses) {
      SCOPED_TRACE(std::string(last.name) + ", then " + torn.name);
      Harness h;
      h.platform.parentAlive = false;
      h.status(last.whole);
      h.launch();
      std::filesystem::remove(h.dir / "display.json");
      std::filesystem::remove(h.dir / "status.json");
      torn.make(h.dir / "status.json");
      h.toolkit.fireTimers();

      EXPECT_EQ(h.heading().shownText, last.heading);
      EXPECT_EQ(h.detail().shownText, last.detail);
      EXPECT_EQ(h.canClose(), last.canClose);
      EXPECT_FALSE(std::filesystem::exists(h.dir / "display.json")) << "the display key changed";
    }
  }
}

TEST(PollTest, BeforeTheFirstWholeReportAHalfWrittenStatusIsAnEmptyReport) {
  for (const TornStatus& torn : tornStatuses) {
    SCOPED_TRACE(torn.name);
    Harness h;
    torn.make(h.dir / "status.json");
    h.launch();
    EXPECT_EQ(h.heading().shownText, preparing);
    h.platform.parentAlive = false;
    h.toolkit.fireTimers();
    EXPECT_EQ(h.heading().shownText, attention);
    EXPECT_EQ(h.detail().shownText, fallback);
    EXPECT_EQ(nlohmann::json::parse(readFile(h.dir / "display.json")).at("phase"), "preparing");
  }
}

TEST(PollTest, EveryFiringPollsAfreshUntilCompletionThenNothingMore) {
  Harness h;
  h.launch();
  h.poll(R"({"phase":"installing"})");
  EXPECT_EQ(h.heading().shownText, installing);
  h.at(66);
  h.poll(R"({"phase":"restarting"})");
  EXPECT_EQ(h.heading().shownText, restarting);
  EXPECT_EQ(h.elapsed().shownText, "Elapsed: 1m 6s");

  h.poll(R"({"phase":"complete"})");
  EXPECT_TRUE(h.toolkit.terminated);
  EXPECT_EQ(h.heading().shownText, restarting) << "completion leaves the window as it was";
  const std::size_t calls = h.toolkit.calls.size();
  h.poll(R"({"phase":"installing"})");
  EXPECT_EQ(h.toolkit.calls.size(), calls) << "a poll ran after termination";
}

}  // namespace
}  // namespace orvandale

namespace orvandale {
namespace {

// What a publication writes: display.json's members, and the snapshot's name and drawing.
struct Published {
  std::string phase;
  std::string heading;
  std::string detail;
  bool canClose;
};

struct PublicationStep {
  const char* status;  // nullptr: no status.json
  double elapsed = 10;
  bool parentAlive = true;
  std::optional<Published> display{};  // display.json written by this poll, or none
  const char* snapshot = nullptr;        // the snapshot file written by this poll, or none
};

struct PublicationCase {
  const char* name;
  bool capture;
  std::vector<PublicationStep> steps;  // the first step is the poll of the launch
};

const std::string attentionHeading = texts::attentionHeading;

const PublicationCase publicationCases[] = {
    {"the first poll publishes",
     true,
     {{nullptr, 10, true, Published{"preparing", preparing, preparingDetail, false}, "preparing.png"}}},
    {"the same key is published once however often status.json is rewritten",
     true,
     {{R"({"phase":"installing"})", 10, true, Published{"installing", installing, installingDetail, false}, "installing.png"},
      {R"({"phase":"installing"})", 11},
      {R"({"phase":"installing","note":1})", 12},
      {R"({"phase":"installing"})", 13}}},
    {"closing allowed alone republishes the same phase",
     true,
     {{R"({"phase":"installing"})", 599, true, Published{"installing", installing, installingDetail, false}, "installing.png"},
      {R"({"phase":"installing"})", 600, true, Published{"installing", installing, longWait, true}, "installing.png"},
      {R"({"phase":"installing"})", 601}}},
    {"a phase that comes back is published each time",
     true,
     {{R"({"phase":"installing"})", 10, true, Published{"installing", installing, installingDetail, false}, "installing.png"},
      {R"({"phase":"restarting"})", 11, true, Published{"restarting", restarting, restartingDetail, false}, "restarting.png"},
      {R"({"phase":"installing"})", 12, true, Published{"installing", installing, installingDetail, false}, "installing.png"}}},
    {"an unrecognised word is published under its own name",
     true,
     {{R"({"phase":"downloading"})", 10, false, Published{"downloading", preparing, preparingDetail, false}, "downloading.png"}}},
    {"an empty phase",
     true,
     {{R"({"phase":""})", 10, true, Published{"", preparing, preparingDetail, false}, ".png"}}},
    {"an error whose message changes publishes the first message only",
     true,
     {{R"({"phase":"error","message":"first"})", 10, true, Published{"error", attentionHeading, "first", true}, "error.png"},
      {R"({"phase":"error","message":"second"})", 11},
      {R"({"phase":"error","message":"third"})", 12}}},
    {"complete publishes nothing",
     true,
     {{R"({"phase":"restarting"})", 10, true, Published{"restarting", restarting, restartingDetail, false}, "restarting.png"},
      {R"({"phase":"complete"})", 11}}},
    {"closing allowed by an error carries over to the next phase",
     true,
     {{R"({"phase":"error"})", 10, true, Published{"error", attentionHeading, fallback, true}, "error.png"},
      {R"({"phase":"installing"})", 11, true, Published{"installing", installing, installingDetail, true}, "installing.png"},
      {R"({"phase":"installing"})", 700}}},  // the long-wait text arrives, the key stays: nothing
    {"the parent gone while preparing",
     false,
     {{R"({"phase":"preparing"})", 10, true, Published{"preparing", preparing, preparingDetail, false}},
      {R"({"phase":"preparing"})", 11, false, Published{"preparing", attentionHeading, fallback, true}}}},
    {"no snapshot without capture",
     false,
     {{R"({"phase":"installing"})", 10, true, Published{"installing", installing, installingDetail, false}},
      {R"({"phase":"error"})", 11, true, Published{"error", attentionHeading, fallback, true}}}},
    {"a phase with a path separator gets no snapshot",
     true,
     {{R"({"phase":"../escape"})", 10, true, Published{"../escape", preparing, preparingDetail, false}},
      {R"({"phase":"a/b"})", 11, true, Published{"a/b", preparing, preparingDetail, false}},
      {R"({"phase":"/tmp/orvandale-absolute"})", 12, true, Published{"/tmp/orvandale-absolute", preparing, preparingDetail, false}},
      {R"({"phase":"nul\u0000byte"})", 13, true, Published{std::string("nul\0byte", 8), preparing, preparingDetail, false}}}},
};

std::string sessionWithCapture(const char* capture) {
  return std::string(R"({"version":"4.1.0","parentPid":321,"startedAt":1700000000000)") + capture + "}";
}

// Removes what the program writes at a publication, so that the next poll shows what it wrote.
void clearPublications(const std::filesystem::path& dir) {
  for (const std::string& name : entryNames(dir)) {
    if (name == "display.json" || name.ends_with(".png")) std::filesystem::remove(dir / name);
  }
}

std::set<std::string> snapshotsIn(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const std::string& name : entryNames(dir)) {
    if (name.ends_with(".png")) names.insert(name);
  }
  return names;
}

TEST(PublicationTest, PublishesWhenTheDisplayKeyChanges) {
  for (const PublicationCase& c : publicationCases) {
    SCOPED_TRACE(c.name);
    TempDir outside;
    Harness h(sessionWithCapture(c.capture ? R"(,"capture":true)" : ""));
    for (std::size_t index = 0; index < c.steps.size(); ++index) {
      const PublicationStep& step = c.steps[index];
      SCOPED_TRACE("poll " + std::to_string(index + 1));
      clearPublications(h.dir.path());
      h.at(step.elapsed);
      h.platform.parentAlive = step.parentAlive;
      if (index == 0) {
        h.status(step.status);
        h.launch();
      } else {
        h.poll(step.status);
      }

      if (step.display) {
        const auto display = nlohmann::json::parse(readFile(h.dir / "display.json"));
        EXPECT_EQ(display, (nlohmann::json{{"phase", step.display->phase},
                                           {"heading", step.display->heading},
                                           {"detail", step.display->detail},
                                           {"canClose", step.display->canClose}}));
        EXPECT_TRUE(display.at("canClose").is_boolean());
      } else {
        EXPECT_FALSE(std::filesystem::exists(h.dir / "display.json")) << "published again";
      }
      const std::set<std::string> expected =
          step.snapshot != nullptr ? std::set<std::string>{step.snapshot} : std::set<std::string>{};
      EXPECT_EQ(snapshotsIn(h.dir.path()), expected);
    }
    EXPECT_FALSE(std::filesystem::exists(h.dir.path().parent_path() / "escape.png"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/orvandale-absolute.png"));
  }
}

TEST(PublicationTest, TheSnapshotShowsTheWindowAsThePollLeftIt) {
  Harness h(sessionWithCapture(R"(,"capture":true)"), 599);
  h.status(R"({"phase":"installing"})");
  h.launch();
  EXPECT_EQ(readFile(h.dir / "installing.png"),
            "drawing\nspinner turning\nlabel Installing update…\nlabel " + installingDetail +
                "\nlabel Elapsed: 9m 59s\n");
  h.at(600);
  h.toolkit.fireTimers();
  EXPECT_EQ(readFile(h.dir / "installing.png"), "drawing\nspinner turning\nlabel Installing update…\nlabel " +
                                                    longWait + "\nlabel Elapsed: 10m 0s\nbutton Close status\n");
}

// Ways an exchange directory refuses display.json for a while, and gives the room back.
const struct Refusal {
  const char* name;
  bool needsOrdinaryUser;  // the superuser writes through the refusal
  std::function<void(const std::filesystem::path& dir)> refuse;
  std::function<void(const std::filesystem::path& dir)> accept;
} refusals[] = {
    {"a directory stands at display.json's name", false,
     [](const std::filesystem::path& dir) {
       std::filesystem::remove(dir / "display.json");
       std::filesystem::create_directory(dir / "display.json");
     },
     [](const std::filesystem::path& dir) { std::filesystem::remove(dir / "display.json"); }},
    {"the exchange directory is gone", false,
     [](const std::filesystem::path& dir) {
       std::filesystem::rename(dir, dir.string() + ".away");
     },
     [](const std::filesystem::path& dir) { std::filesystem::rename(dir.string() + ".away", dir); }},
    {"the exchange directory is read-only", true,
     [](const std::filesystem::path& dir) {
       std::filesystem::permissions(dir, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
     },
     [](const std::filesystem::path& dir) {
       std::filesystem::permissions(dir, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
     }},
};

std::size_t drawings(const MemoryToolkit& toolkit, std::size_t from = 0) {
  const auto calls = toolkit.callsSince(from);
  return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [](const std::string& call) {
    return call.ends_with(".drawPng()");
  }));
}

TEST(PublicationTest, AFailedPublicationIsTriedAgainAtEachPollUntilItIsInPlace) {
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    if (refusal.needsOrdinaryUser && ::geteuid() == 0) continue;
    Harness h(sessionWithCapture(R"(,"capture":true)"));
    const std::filesystem::path dir = h.dir.path();
    h.status(R"({"phase":"installing"})");
    h.launch();
    ASSERT_TRUE(std::filesystem::exists(dir / "installing.png"));

    // The update fails while nothing can be written: three polls see it, none can tell it.
    h.status(R"({"phase":"error","message":"Disk full"})");
    const std::set<std::string> before = entryNames(dir);
    refusal.refuse(dir);
    const std::size_t mark = h.toolkit.calls.size();
    for (int poll = 0; poll < 3; ++poll) h.toolkit.fireTimers();
    EXPECT_EQ(drawings(h.toolkit, mark), 0u) << "a snapshot was drawn for a publication that failed";
    refusal.accept(dir);
    for (const std::string& name : entryNames(dir)) EXPECT_EQ(before.count(name), 1u) << "left behind: " << name;

    // Room again: the next poll publishes what the window shows, the snapshot with it.
    h.toolkit.fireTimers();
    EXPECT_EQ(nlohmann::json::parse(readFile(dir / "display.json")),
              (nlohmann::json{{"phase", "error"}, {"heading", attention}, {"detail", "Disk full"}, {"canClose", true}}));
    EXPECT_TRUE(std::filesystem::exists(dir / "error.png"));
    EXPECT_EQ(drawings(h.toolkit, mark), 1u);

    // Published: the key is recorded now, and the poll after publishes nothing.
    std::filesystem::remove(dir / "display.json");
    h.toolkit.fireTimers();
    EXPECT_FALSE(std::filesystem::exists(dir / "display.json"));
    EXPECT_EQ(drawings(h.toolkit, mark), 1u);
  }
}

TEST(PublicationTest, NoSnapshotWhenThereIsNothingToDraw) {
  for (const bool noContentView : {true, false}) {
    SCOPED_TRACE(noContentView ? "no content view" : "drawing fails");
    Harness h(sessionWithCapture(R"(,"capture":true)"));
    h.toolkit.contentViewMissing = noContentView;
    h.toolkit.drawingFails = !noContentView;
    h.status(R"({"phase":"installing"})");
    h.launch();
    EXPECT_TRUE(std::filesystem::exists(h.dir / "display.json"));
    EXPECT_TRUE(snapshotsIn(h.dir.path()).empty());
  }
}

TEST(PublicationTest, ASymlinkAtTheSnapshotNameIsNotFollowed) {
  TempDir outside;
  writeFile(outside / "victim", "untouched");
  Harness h(sessionWithCapture(R"(,"capture":true)"));
  std::filesystem::create_symlink(outside / "victim", h.dir / "installing.png");
  h.status(R"({"phase":"installing"})");
  h.launch();
  EXPECT_EQ(readFile(outside / "victim"), "untouched");
}

TEST(CloseTest, ARefusedCloseChangesNothingAndThePollsGoOn) {
  Harness h;
  h.status(R"({"phase":"installing"})");
  h.launch();
  const auto files = entryNames(h.dir.path());
  const std::string display = readFile(h.dir / "display.json");

  EXPECT_FALSE(h.toolkit.requestClose(h.window()));
  EXPECT_TRUE(h.window().visible);
  EXPECT_FALSE(h.toolkit.terminated);
  EXPECT_FALSE(h.canClose());
  EXPECT_EQ(entryNames(h.dir.path()), files);
  EXPECT_EQ(readFile(h.dir / "display.json"), display);

  h.poll(R"({"phase":"restarting"})");
  EXPECT_EQ(h.heading().shownText, restarting);
}

TEST(CloseTest, OnceAllowedTheCloseBoxEndsTheProgramAndWritesNothing) {
  Harness h;
  h.status(R"({"phase":"error"})");
  h.launch();
  h.poll(R"({"phase":"installing"})");  // allowed stays allowed
  const auto files = entryNames(h.dir.path());
  const std::string display = readFile(h.dir / "display.json");

  EXPECT_TRUE(h.toolkit.requestClose(h.window()));
  EXPECT_TRUE(h.toolkit.terminated);
  EXPECT_EQ(h.toolkit.calls.back(), "application.terminate()");
  h.toolkit.fireTimers();
  EXPECT_EQ(h.toolkit.calls.back(), "application.terminate()") << "a poll ran after termination";
  EXPECT_EQ(entryNames(h.dir.path()), files);
  EXPECT_EQ(readFile(h.dir / "display.json"), display);
}

TEST(CloseTest, TheCloseButtonEndsTheProgramWhileTheWindowIsOpen) {
  Harness h;
  h.launch();
  h.toolkit.click(h.closeButton());
  EXPECT_FALSE(h.toolkit.terminated) << "the hidden button was clickable";

  h.at(600);
  h.toolkit.fireTimers();
  const auto files = entryNames(h.dir.path());
  h.toolkit.click(h.closeButton());
  EXPECT_TRUE(h.toolkit.terminated);
  EXPECT_TRUE(h.window().visible) << "the button does not close the window first";
  EXPECT_EQ(entryNames(h.dir.path()), files);
  EXPECT_FALSE(std::filesystem::exists(h.dir / "finished.json"));
}

}  // namespace
}  // namespace orvandale
