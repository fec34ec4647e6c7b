#include "tools/watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "tests/support/temp_dir.h"

namespace orvandale::simulate {

void PrintTo(const FileChange& change, std::ostream* out) { *out << change.name << " " << describe(change.change); }

namespace {

using testing::TempDir;
using testing::writeFile;

// ---------------------------------------------------------------------------------------------
// How a write is told from the events

struct Event {
  std::uint32_t mask;  // 0: the end of one read's batch
  const char* name;
};

constexpr Event endOfBatch{0, ""};

struct ClassifyCase {
  const char* what;
  std::vector<Event> events;
  std::vector<FileChange> changes;
};

std::vector<FileChange> classify(const std::vector<Event>& events) {
  WriteClassifier classifier;
  std::vector<FileChange> changes;
  for (const Event& event : events) {
    if (event.mask == 0) {
      for (const FileChange& change : classifier.endOfBatch()) changes.push_back(change);
    } else if (auto change = classifier.event(event.mask, event.name)) {
      changes.push_back(*change);
    }
  }
  return changes;
}

TEST(WriteClassifierTest, TellsARenameFromAWriteInPlace) {
  const char* s = "status.json";
  const ClassifyCase cases[] = {
      {"a whole file renamed over the name", {{IN_MOVED_TO, s}, endOfBatch}, {{s, Change::renamed}}},
      {"written beside, then renamed",
       {{IN_CREATE, "status.tmp"}, {IN_OPEN, "status.tmp"}, {IN_MODIFY, "status.tmp"}, {IN_CLOSE_WRITE, "status.tmp"},
        {IN_MOVED_FROM, "status.tmp"}, {IN_MOVED_TO, s}, endOfBatch},
       {{"status.tmp", Change::inPlace}, {"status.tmp", Change::removed}, {s, Change::renamed}}},
      {"an existing file truncated and rewritten",
       {{IN_OPEN, s}, {IN_MODIFY, s}, {IN_MODIFY, s}, endOfBatch, {IN_CLOSE_WRITE, s}, endOfBatch},
       {{s, Change::inPlace}}},
      {"a new file created at the name and written",
       {{IN_CREATE, s}, {IN_OPEN, s}, endOfBatch, {IN_MODIFY, s}, {IN_CLOSE_WRITE, s}},
       {{s, Change::inPlace}}},
      {"a new file created at the name and closed empty", {{IN_CREATE, s}, {IN_OPEN, s}, {IN_CLOSE_WRITE, s}},
       {{s, Change::inPlace}}},
      {"a truncating open of an existing file, nothing written", {{IN_OPEN, s}, {IN_MODIFY, s}, {IN_CLOSE_WRITE, s}},
       {{s, Change::inPlace}}},
      {"a hard link to a complete file", {{IN_CREATE, s}, endOfBatch}, {{s, Change::placed}}},
      {"a hard link that a poll reads at once",
       {{IN_CREATE, s}, {IN_OPEN, s}, {IN_CLOSE_NOWRITE, s}, endOfBatch},
       {{s, Change::placed}}},
      {"a reader's open and close", {{IN_OPEN, s}, {IN_CLOSE_NOWRITE, s}, endOfBatch}, {}},
      {"opened for writing and left as it was", {{IN_OPEN, s}, {IN_CLOSE_WRITE, s}, endOfBatch}, {}},
      {"a write in place cut short by a rename over it",
       {{IN_OPEN, s}, {IN_MODIFY, s}, {IN_MOVED_TO, s}, {IN_CLOSE_WRITE, s}, endOfBatch},
       {{s, Change::renamed}}},
      {"removed while written", {{IN_CREATE, s}, {IN_OPEN, s}, {IN_DELETE, s}, endOfBatch}, {{s, Change::removed}}},
      {"renamed away", {{IN_MOVED_FROM, s}}, {{s, Change::removed}}},
      {"two files written in place at once",
       {{IN_MODIFY, s}, {IN_CREATE, "x.png"}, {IN_OPEN, "x.png"}, {IN_MODIFY, "x.png"}, endOfBatch,
        {IN_CLOSE_WRITE, "x.png"}, {IN_CLOSE_WRITE, s}},
       {{"x.png", Change::inPlace}, {s, Change::inPlace}}},
  };
  for (const ClassifyCase& c : cases) EXPECT_EQ(classify(c.events), c.changes) << c.what;
}

// The same, with the events the kernel reports for real file operations.
struct KernelCase {
  const char* what;
  bool exists;  // status.json is there before the watch begins
  std::function<void(const TempDir&)> act;
  std::vector<Change> changes;  // of status.json
};

std::vector<Change> watchWhile(const TempDir& dir, const std::function<void(const TempDir&)>& act) {
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_GE(::inotify_add_watch(fd, dir.path().c_str(), WriteClassifier::eventMask), 0);
  act(dir);
  WriteClassifier classifier;
  std::vector<Change> changes;
  auto keep = [&changes](const FileChange& change) {
    if (change.name == "status.json") changes.push_back(change.change);
  };
  alignas(inotify_event) char buffer[16 * 1024];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->len > 0) {
        if (auto change = classifier.event(event->mask, event->name)) keep(*change);
      }
    }
    for (const FileChange& change : classifier.endOfBatch()) keep(change);
  }
  ::close(fd);
  return changes;
}

TEST(WriteClassifierTest, ClassifiesTheKernelsEventsForRealWrites) {
  const KernelCase cases[] = {
      {"rewritten with a truncating stream", true, [](const TempDir& d) { writeFile(d / "status.json", R"({"phase":"installing"})"); },
       {Change::inPlace}},
      {"created with a stream", false, [](const TempDir& d) { writeFile(d / "status.json", R"({"phase":"installing"})"); },
       {Change::inPlace}},
      {"written beside and renamed over it", true,
       [](const TempDir& d) {
         writeFile(d / "status.json.new", R"({"phase":"installing"})");
         ASSERT_EQ(std::rename((d / "status.json.new").c_str(), (d / "status.json").c_str()), 0);
       },
       {Change::renamed}},
      {"a complete file hard-linked in, then read", false,
       [](const TempDir& d) {
         writeFile(d / "whole", R"({"phase":"installing"})");
         ASSERT_EQ(::link((d / "whole").c_str(), (d / "status.json").c_str()), 0);
         std::ifstream poll(d / "status.json");
         std::string content;
         std::getline(poll, content);
         EXPECT_FALSE(content.empty());
       },
       {Change::placed}},
      {"truncated by an open, nothing written", true,
       [](const TempDir& d) { ::close(::open((d / "status.json").c_str(), O_WRONLY | O_TRUNC)); }, {Change::inPlace}},
      {"opened for writing and closed unchanged", true,
       [](const TempDir& d) { ::close(::open((d / "status.json").c_str(), O_WRONLY)); }, {}},
      {"only read", true,
       [](const TempDir& d) {
         std::ifstream poll(d / "status.json");
         std::string content;
         std::getline(poll, content);
         EXPECT_FALSE(content.empty());
       },
       {}},
      {"removed", true, [](const TempDir& d) { std::filesystem::remove(d / "status.json"); }, {Change::removed}},
  };
  for (const KernelCase& c : cases) {
    TempDir dir;
    if (c.exists) writeFile(dir / "status.json", R"({"phase":"preparing"})");
    EXPECT_EQ(watchWhile(dir, c.act), c.changes) << c.what;
  }
}

// ---------------------------------------------------------------------------------------------
// The breaches of both sides

constexpr int pid = 4242;
const exchange::Session session{"4.1.0", 1, 0, false};
const std::string ready = R"({"pid":4242,"windowId":7})";

std::string display(const char* phase, bool canClose) {
  return std::string(R"({"phase":")") + phase + R"(","heading":"h","detail":"d","canClose":)" +
         (canClose ? "true" : "false") + "}";
}

void status(WatchCheck& check, const char* phase, Change how = Change::renamed) {
  const std::string bytes = std::string(R"({"phase":")") + phase + "\"}";
  check.statusChanged(how, nlohmann::json::parse(bytes), bytes);
}

// An update that keeps to the protocol on both sides, up to "complete".
void goodStart(WatchCheck& check) {
  check.sessionChanged(Change::renamed, session);
  status(check, "preparing");
  check.programStarted(pid, 1, session);
  check.readyChanged(Change::renamed, ready);
  check.displayChanged(Change::renamed, display("preparing", false));
  status(check, "installing");
  check.displayChanged(Change::renamed, display("installing", false));
}

void goodEnd(WatchCheck& check) {
  status(check, "complete");
  check.finishedChanged(Change::renamed, R"({"phase":"complete"})");
  check.programEnded();
}

struct CheckCase {
  const char* what;
  std::function<void(WatchCheck&)> run;
  std::vector<std::string> breaches;  // each the beginning of one breach, in order
  std::vector<std::string> notes;     // the same for the notes
};

TEST(WatchCheckTest, NamesTheBreachesOfEachSide) {
  const std::vector<CheckCase> cases = {
      {"both sides keep to the protocol",
       [](WatchCheck& c) {
         goodStart(c);
         goodEnd(c);
       },
       {},
       {}},
      {"status.json written in place",
       [](WatchCheck& c) {
         goodStart(c);
         status(c, "restarting", Change::inPlace);
         goodEnd(c);
       },
       {"updater: status.json was written in place once (\"restarting\"): a poll can read it half written"},
       {}},
      {"status.json created in place before the start, then rewritten in place",
       [](WatchCheck& c) {
         c.sessionChanged(Change::renamed, session);
         status(c, "preparing", Change::inPlace);
         c.programStarted(pid, 1, session);
         c.readyChanged(Change::renamed, ready);
         status(c, "complete", Change::inPlace);
         c.finishedChanged(Change::renamed, R"({"phase":"complete"})");
         c.programEnded();
       },
       {"updater: status.json was written in place 2 times (\"preparing\", \"complete\")"},
       {}},
      {"status.json once not JSON",
       [](WatchCheck& c) {
         goodStart(c);
         c.statusChanged(Change::renamed, exchange::ReadFailure{exchange::ReadFailure::Kind::unparsable, {}},
                         R"({"phase":"instal)");
         goodEnd(c);
       },
       {R"(updater: status.json was not a JSON object once, first "{\"phase\":\"instal": a poll that reads it takes no phase from it)"},
       {}},
      {"session.json rewritten after the start",
       [](WatchCheck& c) {
         goodStart(c);
         c.sessionChanged(Change::renamed, session);
         goodEnd(c);
       },
       {"updater: session.json was changed once after the program started"},
       {}},
      {"session.json removed after the start, with the directory",
       [](WatchCheck& c) {
         goodStart(c);
         c.sessionChanged(Change::removed, std::nullopt);
         goodEnd(c);
       },
       {},
       {}},
      {"session.json missing at the start",
       [](WatchCheck& c) {
         status(c, "preparing");
         c.programStarted(pid, 1, exchange::SessionFailure{exchange::SessionFailure::Kind::unreadable,
                                                           std::make_error_code(std::errc::no_such_file_or_directory)});
         c.programEnded();
         status(c, "complete");
       },
       {"updater: session.json was missing when the program started: the program's own reader refuses it"},
       {}},
      {"session.json without a version at the start",
       [](WatchCheck& c) {
         c.programStarted(pid, 1, exchange::SessionFailure{exchange::SessionFailure::Kind::invalid, {}});
         c.programEnded();
         status(c, "complete");
       },
       {"updater: session.json was without a usable \"version\", \"parentPid\" or \"startedAt\" when the program started"},
       {}},
      {"the program started with two arguments",
       [](WatchCheck& c) {
         c.sessionChanged(Change::renamed, session);
         c.programStarted(pid, 2, session);
         c.programEnded();
         status(c, "complete");
       },
       {"updater: the program (pid 4242) was started with 2 arguments, not exactly one"},
       {}},
      {"the program seen ending at once, nothing else known",
       [](WatchCheck& c) {
         c.programStarted(pid, 1, session);
         c.programEnded();
         status(c, "complete");
       },
       {"updater: the program (pid 4242) ended without writing ready.json"},
       {}},
      {"the program never seen, session.json never written",
       [](WatchCheck& c) { status(c, "complete"); },
       {"updater: no ready.json appeared, and session.json was never written"},
       {}},
      {"the program never seen, session.json usable",
       [](WatchCheck& c) {
         c.sessionChanged(Change::renamed, session);
         status(c, "complete");
       },
       {"updater: no ready.json appeared: the program was not started on this directory"},
       {}},
      {"no complete",
       [](WatchCheck& c) { goodStart(c); },
       {"updater: no \"complete\" was written within 5 s"},
       {}},
      {"a phase the program does not tell apart",
       [](WatchCheck& c) {
         goodStart(c);
         status(c, "downloading");
         status(c, "downloading");
         goodEnd(c);
       },
       {},
       {"the phase \"downloading\" is not one the program tells apart"}},
      {"the program ends early while closing is not allowed",
       [](WatchCheck& c) {
         goodStart(c);
         c.programEnded();
         status(c, "complete");
       },
       {"program: the program ended before \"complete\" was written, while closing was not allowed"},
       {}},
      {"the user closes the window once closing is allowed",
       [](WatchCheck& c) {
         goodStart(c);
         status(c, "error");
         c.displayChanged(Change::renamed, display("error", true));
         c.programEnded();
         status(c, "complete");
       },
       {},
       {"the program ended before \"complete\" was written, while closing was allowed"}},
      {"the program gives another pid and writes in place",
       [](WatchCheck& c) {
         c.sessionChanged(Change::renamed, session);
         c.programStarted(pid, 1, session);
         c.readyChanged(Change::renamed, R"({"pid":4243,"windowId":7})");
         c.displayChanged(Change::inPlace, display("preparing", false));
         goodEnd(c);
       },
       {"program: ready.json gives pid 4243, but the program's pid is 4242",
        "program: display.json was written in place, not replaced in one step"},
       {}},
      {"the program ends without finished.json",
       [](WatchCheck& c) {
         goodStart(c);
         status(c, "complete");
         c.programEnded();
       },
       {"program: the program ended without writing finished.json"},
       {}},
      {"the program publishes a phase never written, before ready.json",
       [](WatchCheck& c) {
         c.sessionChanged(Change::renamed, session);
         c.displayChanged(Change::renamed, display("installing", false));
         c.readyChanged(Change::renamed, ready);
         goodEnd(c);
       },
       {"program: display.json came before ready.json", "program: display.json shows the phase \"installing\", which was never written",
        "program: ready.json came after display.json"},
       {}},
  };
  for (const CheckCase& c : cases) {
    WatchCheck check;
    c.run(check);
    check.finish(5, true);
    const auto breaches = check.breaches();
    ASSERT_EQ(breaches.size(), c.breaches.size()) << c.what << ": " << ::testing::PrintToString(breaches);
    for (std::size_t i = 0; i < breaches.size(); ++i) EXPECT_TRUE(breaches[i].starts_with(c.breaches[i])) << c.what << ": " << breaches[i];
    ASSERT_EQ(check.notes().size(), c.notes.size()) << c.what << ": " << ::testing::PrintToString(check.notes());
    for (std::size_t i = 0; i < c.notes.size(); ++i) EXPECT_TRUE(check.notes()[i].starts_with(c.notes[i])) << c.what << ": " << check.notes()[i];
  }
}

}  // namespace
}  // namespace orvandale::simulate
