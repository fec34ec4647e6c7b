#include "tools/protocol_check.h"

#include <gtest/gtest.h>

#include <functional>

namespace orvandale::simulate {
namespace {

constexpr int pid = 4242;
constexpr const char* ready = R"({"pid":4242,"windowId":77})";

std::string display(const char* phase, bool canClose) {
  return std::string(R"({"phase":")") + phase + R"(","heading":"h","detail":"d","canClose":)" +
         (canClose ? "true" : "false") + "}";
}

// A run that keeps to the protocol from start to end, with snapshots.
void goodRun(ProtocolCheck& check) {
  check.statusWritten("installing");
  check.readyAppeared(ready);
  check.displayAppeared(display("installing", false));
  check.statusWritten("complete");
  check.finishedAppeared(R"({"phase":"complete"})");
  check.programEnded(0, "");
}

TEST(ProtocolCheckTest, AGoodRunHasNoBreach) {
  ProtocolCheck check(pid, /*capture=*/true);
  goodRun(check);
  check.finish({"installing.png"}, {{"installing", "h", "d", false, "the installing texts"}});
  EXPECT_EQ(check.breaches(), std::vector<std::string>{});
  EXPECT_EQ(check.publications().size(), 1u);
}

TEST(ProtocolCheckTest, NamesEveryBreach) {
  const struct {
    const char* name;
    std::function<void(ProtocolCheck&)> run;
    const char* breach;
  } cases[] = {
      {"display before ready",
       [](ProtocolCheck& c) {
         c.displayAppeared(display("preparing", false));
         c.readyAppeared(ready);
       },
       "display.json came before ready.json"},
      {"ready with another pid", [](ProtocolCheck& c) { c.readyAppeared(R"({"pid":1,"windowId":2})"); },
       "the program's pid is 4242"},
      {"ready with a string window id", [](ProtocolCheck& c) { c.readyAppeared(R"({"pid":4242,"windowId":"2"})"); },
       "integers"},
      {"ready with an extra key", [](ProtocolCheck& c) { c.readyAppeared(R"({"pid":4242,"windowId":2,"x":1})"); },
       "integers"},
      {"ready twice",
       [](ProtocolCheck& c) {
         c.readyAppeared(ready);
         c.readyAppeared(ready);
       },
       "second time"},
      {"canClose as a string",
       [](ProtocolCheck& c) {
         c.readyAppeared(ready);
         c.displayAppeared(R"({"phase":"preparing","heading":"h","detail":"d","canClose":"false"})");
       },
       "the boolean \"canClose\""},
      {"display that is no JSON",
       [](ProtocolCheck& c) {
         c.readyAppeared(ready);
         c.displayAppeared(R"({"phase":"prep)");
       },
       "display.json is not an object"},
      {"a phase never written",
       [](ProtocolCheck& c) {
         c.readyAppeared(ready);
         c.displayAppeared(display("installing", false));
       },
       "never written"},
      {"closing taken back",
       [](ProtocolCheck& c) {
         c.statusWritten("error");
         c.readyAppeared(ready);
         c.displayAppeared(display("error", true));
         c.displayAppeared(display("preparing", false));
       },
       "closing was allowed, then"},
      {"complete published",
       [](ProtocolCheck& c) {
         c.statusWritten("complete");
         c.readyAppeared(ready);
         c.displayAppeared(display("complete", false));
       },
       "published for \"complete\""},
      {"finished with a newline",
       [](ProtocolCheck& c) {
         c.statusWritten("complete");
         c.finishedAppeared("{\"phase\":\"complete\"}\n");
       },
       "not exactly"},
      {"finished too early", [](ProtocolCheck& c) { c.finishedAppeared(R"({"phase":"complete"})"); },
       "before \"complete\" was written"},
      {"display after finished",
       [](ProtocolCheck& c) {
         c.statusWritten("complete");
         c.readyAppeared(ready);
         c.finishedAppeared(R"({"phase":"complete"})");
         c.displayAppeared(display("preparing", false));
       },
       "after finished.json"},
      {"ended before completion", [](ProtocolCheck& c) { c.programEnded(1, ""); }, "before \"complete\" was written"},
      {"ended badly after completion",
       [](ProtocolCheck& c) {
         c.statusWritten("complete");
         c.finishedAppeared(R"({"phase":"complete"})");
         c.programEnded(134, "");
       },
       "status 134 after completion"},
      {"ended without a receipt",
       [](ProtocolCheck& c) {
         c.statusWritten("complete");
         c.programEnded(0, "");
       },
       "without writing finished.json"},
      {"printed something",
       [](ProtocolCheck& c) {
         c.statusWritten("complete");
         c.finishedAppeared(R"({"phase":"complete"})");
         c.programEnded(0, "qt.qpa.xcb: could not connect to display");
       },
       "printed: qt.qpa.xcb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProtocolCheck check(pid, /*capture=*/false);
    c.run(check);
    ASSERT_FALSE(check.breaches().empty());
    bool named = false;
    for (const std::string& breach : check.breaches()) named = named || breach.find(c.breach) != std::string::npos;
    EXPECT_TRUE(named) << check.breaches().front();
  }
}

TEST(ProtocolCheckTest, ChecksSnapshotsAndExpectations) {
  {
    SCOPED_TRACE("a publication without its snapshot");
    ProtocolCheck check(pid, /*capture=*/true);
    goodRun(check);
    check.finish({}, {});
    ASSERT_EQ(check.breaches().size(), 1u);
    EXPECT_EQ(check.breaches()[0], "no snapshot installing.png was written");
  }
  {
    SCOPED_TRACE("a snapshot without capture");
    ProtocolCheck check(pid, /*capture=*/false);
    goodRun(check);
    check.finish({"installing.png"}, {});
    ASSERT_EQ(check.breaches().size(), 1u);
  }
  {
    SCOPED_TRACE("an expectation not met");
    ProtocolCheck check(pid, /*capture=*/false);
    goodRun(check);
    check.finish({}, {{"installing", "h", "d", true, "closing allowed"}});
    ASSERT_EQ(check.breaches().size(), 1u);
    EXPECT_NE(check.breaches()[0].find("closing allowed"), std::string::npos);
  }
}

}  // namespace
}  // namespace orvandale::simulate
