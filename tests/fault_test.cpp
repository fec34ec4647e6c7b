// The real program, offscreen, against an exchange directory at its worst: hostile files at
// the names it reads, files rewritten under it, a directory that vanishes or refuses every
// write, phases that name other places, and a parent application that ends. Whatever it
// meets, it keeps running (or ends as its rules say), prints nothing and writes nothing it
// should not.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <thread>

#include "progress/texts.h"
#include "tests/support/file_events.h"
#include "tests/support/mount.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/updater.h"

namespace orvandale {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace texts = progress::texts;
using testing::ChildProcess;
using testing::entryNames;
using testing::FileEvents;
using testing::readFile;
using testing::replaceFile;
using testing::TempDir;
using testing::TestMount;
using testing::writeFile;

const std::string program = ORVANDALE_PROGRAM;
const bool offscreenByDefault = ::setenv("QT_QPA_PLATFORM", "offscreen", /*overwrite=*/0) == 0;

// Long enough for a poll over a 50 MB file in a debug build under the sanitizers: only a hang
// runs into it.
constexpr auto hangBound = std::chrono::milliseconds(90s);
constexpr const char* victimContent = "untouched";
constexpr off_t terabyte = off_t{1} << 40;
constexpr int deep = 100000;

// Whatever a hostile case leaves open for as long as the case runs.
using Keep = std::shared_ptr<void>;

Keep keepOpen(int fd) {
  if (fd < 0) return nullptr;
  return Keep(nullptr, [fd](void*) { ::close(fd); });
}

// A FIFO that the test holds open for writing, with `content` waiting in it: a reader that
// opened it would read that.
Keep fifoWithWriter(const fs::path& at, std::string_view content) {
  EXPECT_EQ(::mkfifo(at.c_str(), 0644), 0);
  const int fd = ::open(at.c_str(), O_RDWR | O_NONBLOCK);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  return keepOpen(fd);
}

void sparseFile(const fs::path& at, std::string_view prefix) {
  writeFile(at, prefix);
  ASSERT_EQ(::truncate(at.c_str(), terabyte), 0) << "cannot make a sparse file here";
}

std::string nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

// A JSON string member of `bytes` bytes of words.
std::string padding(std::size_t bytes) {
  std::string words;
  words.reserve(bytes);
  while (words.size() < bytes) words += "pad ";
  return words;
}

/// An exchange directory with a neighbour that must never change, and the program on it.
class FaultTest : public ::testing::Test {
 protected:
  FaultTest() {
    fs::create_directory(exchange);
    fs::create_directory(outside);
    writeFile(outside / "victim", victimContent);
  }

  void start(const fs::path& directory) {
    program = std::make_unique<ChildProcess>(std::vector<std::string>{::orvandale::program, directory.string()},
                                             ChildProcess::Options{});
  }

  /// display.json once `wanted` holds for it, checking that every read of it is a whole
  /// record; nothing when the program ended or the wait ran into the hang bound.
  std::optional<nlohmann::json> awaitDisplay(const std::function<bool(const nlohmann::json&)>& wanted,
                                             const fs::path& directory) {
    const auto deadline = std::chrono::steady_clock::now() + hangBound;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!program->running()) {
        ADD_FAILURE() << "the program ended with status " << program->wait(0ms).value_or(-1);
        return std::nullopt;
      }
      const std::string text = readFile(directory / "display.json");
      if (text != "<missing>") {
        const nlohmann::json display = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (!isWholeRecord(display)) {
          ADD_FAILURE() << "display.json is not a whole record: " << text.substr(0, 200);
          return std::nullopt;
        }
        if (wanted(display)) return display;
      }
      std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "display.json never showed what was awaited";
    return std::nullopt;
  }
  std::optional<nlohmann::json> awaitPhase(const std::string& phase, const fs::path& directory) {
    return awaitDisplay([&phase](const nlohmann::json& display) { return display.at("phase") == phase; }, directory);
  }
  std::optional<nlohmann::json> awaitPhase(const std::string& phase) { return awaitPhase(phase, exchange); }

  static bool isWholeRecord(const nlohmann::json& display) {
    return display.is_object() && display.size() == 4 && display.contains("phase") && display["phase"].is_string() &&
           display.contains("heading") && display["heading"].is_string() && display.contains("detail") &&
           display["detail"].is_string() && display.contains("canClose") && display["canClose"].is_boolean();
  }

  /// Puts a plain status.json in place of whatever stands at its name. A regular file is
  /// replaced in one step: removed first, it would be missing for a poll, which means
  /// "preparing".
  void restoreStatus(std::string_view content, const fs::path& directory) {
    if (!fs::is_regular_file(fs::symlink_status(directory / "status.json"))) fs::remove_all(directory / "status.json");
    replaceFile(directory / "status.json", content);
  }
  void restoreStatus(std::string_view content) { restoreStatus(content, exchange); }

  /// The program follows the status again, and ends with status 0 once it says "complete".
  void followsToTheEnd() {
    restoreStatus(R"({"phase":"restarting"})");
    EXPECT_TRUE(awaitPhase("restarting")) << "the program no longer follows status.json";
    restoreStatus(R"({"phase":"complete"})");
    EXPECT_EQ(program->wait(hangBound), 0);
    EXPECT_EQ(readFile(exchange / "finished.json"), R"({"phase":"complete"})");
  }

  void expectSilent() {
    EXPECT_EQ(program->standardOutput(), "");
    EXPECT_EQ(program->standardError(), "");
  }

  /// Nothing beside the exchange directory or outside it changed; in it stand only `allowed`,
  /// and no temporary file is left.
  void expectNothingElseWritten(const std::set<std::string>& allowed) {
    EXPECT_EQ(entryNames(root.path()), (std::set<std::string>{"exchange", "outside"}));
    EXPECT_EQ(entryNames(outside), std::set<std::string>{"victim"});
    EXPECT_EQ(readFile(outside / "victim"), victimContent);
    for (const std::string& name : entryNames(exchange)) EXPECT_EQ(allowed.count(name), 1u) << "written: " << name;
  }

  TempDir root;
  const fs::path exchange = root / "exchange";
  const fs::path outside = root / "outside";
  std::unique_ptr<ChildProcess> program;
};

const std::set<std::string> receipts = {"session.json", "status.json", "ready.json", "display.json", "finished.json"};

struct HostileStatus {
  const char* name;
  std::function<Keep(const fs::path& at)> make;  // puts the hostile file at status.json's name
  const char* phase;                             // the phase shown while it stands there
};

const HostileStatus hostileStatuses[] = {
    {"FifoWithoutWriter", [](const fs::path& at) { EXPECT_EQ(::mkfifo(at.c_str(), 0644), 0); return Keep(); }, "preparing"},
    {"FifoHeldOpenByAWriter", [](const fs::path& at) { return fifoWithWriter(at, R"({"phase":"installing"})"); }, "preparing"},
    {"Directory",
     [](const fs::path& at) {
       fs::create_directory(at);
       writeFile(at / "status.json", R"({"phase":"installing"})");
       return Keep();
     },
     "preparing"},
    {"SymlinkToDevZero", [](const fs::path& at) { fs::create_symlink("/dev/zero", at); return Keep(); }, "preparing"},
    {"SymlinkToDevUrandom", [](const fs::path& at) { fs::create_symlink("/dev/urandom", at); return Keep(); }, "preparing"},
    // The phase comes after 50 MB: it is shown only if the file is read whole.
    {"FiftyMegabytesWithThePhaseLast",
     [](const fs::path& at) {
       writeFile(at, R"({"pad":")" + padding(50'000'000) + R"(","phase":"installing"})");
       return Keep();
     },
     "installing"},
    {"SparseTerabyte", [](const fs::path& at) { sparseFile(at, ""); return Keep(); }, "preparing"},
    {"SparseTerabyteAfterAValidStart",
     [](const fs::path& at) { sparseFile(at, R"({"phase":"installing","message":")"); return Keep(); }, "preparing"},
    {"InvalidUtf8", [](const fs::path& at) { writeFile(at, "{\"phase\":\"installing\",\"message\":\"\xff\xfe\"}"); return Keep(); },
     "preparing"},
    {"NulAfterTheObject", [](const fs::path& at) { writeFile(at, std::string("{\"phase\":\"installing\"}\0", 23)); return Keep(); },
     "preparing"},
    {"NestedAHundredThousandLevels",
     [](const fs::path& at) { writeFile(at, R"({"x":)" + nested(deep) + R"(,"phase":"installing"})"); return Keep(); },
     "installing"},
    {"NestedAHundredThousandLevelsNeverClosed",
     [](const fs::path& at) { writeFile(at, R"({"phase":"installing","x":)" + std::string(deep, '[')); return Keep(); },
     "preparing"},
};

// The case's name stands for it in test listings.
void PrintTo(const HostileStatus& hostile, std::ostream* out) { *out << hostile.name; }

class HostileStatusTest : public FaultTest, public ::testing::WithParamInterface<HostileStatus> {};

TEST_P(HostileStatusTest, IsReadAsWhatItHoldsAndTheProgramFollowsOn) {
  writeFile(exchange / "session.json", testing::sessionStartedAgo());
  const Keep kept = GetParam().make(exchange / "status.json");
  start(exchange);

  const auto first = awaitPhase(GetParam().phase);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->at("canClose"), false);
  // A few more polls over the same file.
  std::this_thread::sleep_for(1200ms);
  ASSERT_TRUE(program->running());
  EXPECT_EQ(nlohmann::json::parse(readFile(exchange / "display.json")), *first) << "a later poll read it otherwise";

  followsToTheEnd();
  expectSilent();
  expectNothingElseWritten(receipts);
}

INSTANTIATE_TEST_SUITE_P(Faults, HostileStatusTest, ::testing::ValuesIn(hostileStatuses),
                         [](const auto& info) { return std::string(info.param.name); });

struct HostileSession {
  const char* name;
  std::function<Keep(const fs::path& at)> make;  // puts the hostile file at session.json's name
};

constexpr const char* validSession = R"({"version":"4.1.0","parentPid":1,"startedAt":1700000000000})";

const HostileSession hostileSessions[] = {
    {"FifoWithoutWriter", [](const fs::path& at) { EXPECT_EQ(::mkfifo(at.c_str(), 0644), 0); return Keep(); }},
    {"FifoHeldOpenByAWriter", [](const fs::path& at) { return fifoWithWriter(at, validSession); }},
    {"Directory",
     [](const fs::path& at) {
       fs::create_directory(at);
       writeFile(at / "session.json", validSession);
       return Keep();
     }},
    {"SymlinkToDevZero", [](const fs::path& at) { fs::create_symlink("/dev/zero", at); return Keep(); }},
    {"SymlinkToDevUrandom", [](const fs::path& at) { fs::create_symlink("/dev/urandom", at); return Keep(); }},
    {"FiftyMegabytesWithoutStartedAt",
     [](const fs::path& at) {
       writeFile(at, R"({"version":"4.1.0","parentPid":1,"pad":")" + padding(50'000'000) + R"("})");
       return Keep();
     }},
    {"SparseTerabyte", [](const fs::path& at) { sparseFile(at, ""); return Keep(); }},
    {"SparseTerabyteAfterAValidStart",
     [](const fs::path& at) { sparseFile(at, R"({"version":"4.1.0","parentPid":1,"startedAt":0,"x":")"); return Keep(); }},
    {"InvalidUtf8",
     [](const fs::path& at) { writeFile(at, "{\"version\":\"\xc3\x28\",\"parentPid\":1,\"startedAt\":0}"); return Keep(); }},
    {"NulAfterTheObject",
     [](const fs::path& at) { writeFile(at, std::string(validSession) + std::string(1, '\0')); return Keep(); }},
    {"NestedAHundredThousandLevels", [](const fs::path& at) { writeFile(at, nested(deep)); return Keep(); }},
    {"NestedAHundredThousandLevelsNeverClosed",
     [](const fs::path& at) {
       writeFile(at, R"({"version":"4.1.0","parentPid":1,"startedAt":0,"x":)" + std::string(deep, '['));
       return Keep();
     }},
};

void PrintTo(const HostileSession& hostile, std::ostream* out) { *out << hostile.name; }

class HostileSessionTest : public FaultTest, public ::testing::WithParamInterface<HostileSession> {};

TEST_P(HostileSessionTest, EndsWithStatusOneWritingNothing) {
  const Keep kept = GetParam().make(exchange / "session.json");
  writeFile(exchange / "status.json", R"({"phase":"installing"})");
  const std::set<std::string> before = entryNames(exchange);
  start(exchange);
  EXPECT_EQ(program->wait(hangBound), 1);
  expectSilent();
  EXPECT_EQ(entryNames(exchange), before);
  expectNothingElseWritten(before);
}

INSTANTIATE_TEST_SUITE_P(Faults, HostileSessionTest, ::testing::ValuesIn(hostileSessions),
                         [](const auto& info) { return std::string(info.param.name); });

/// Another process that rewrites a file in place (truncating it, then writing) up to a
/// thousand times a second, taking turns with its contents, until it has done so `rewrites`
/// times or is stopped.
class InPlaceRewriter {
 public:
  InPlaceRewriter(const fs::path& path, const std::vector<std::string>& contents, long rewrites) {
    int channel[2];
    if (::pipe(channel) != 0) throw std::runtime_error("pipe failed");
    writer_ = std::make_unique<ChildProcess>([&path, &contents, rewrites, channel]() -> int {
      ::close(channel[0]);
      return rewrite(path, contents, rewrites, channel[1]);
    });
    ::close(channel[1]);
    result_ = channel[0];
  }
  InPlaceRewriter(const InPlaceRewriter&) = delete;
  InPlaceRewriter& operator=(const InPlaceRewriter&) = delete;
  ~InPlaceRewriter() { stop(); }

  /// Whether the writer has done all its rewrites.
  bool done() { return !writer_->running(); }

  /// Stops the writer; how many times it rewrote the file.
  long stop() {
    if (result_ >= 0) {
      writer_->signal(SIGTERM);
      if (::read(result_, &rewrites_, sizeof rewrites_) != static_cast<ssize_t>(sizeof rewrites_)) rewrites_ = -1;
      writer_->wait(hangBound);
      ::close(result_);
      result_ = -1;
    }
    return rewrites_;
  }

 private:
  static inline volatile sig_atomic_t stopRequested = 0;

  static int rewrite(const fs::path& path, const std::vector<std::string>& contents, long rewrites, int result) {
    ::signal(SIGTERM, [](int) { stopRequested = 1; });
    long count = 0;
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    while (stopRequested == 0 && count < rewrites) {
      const std::string& content = contents[static_cast<std::size_t>(count) % contents.size()];
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        if (::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size())) ++count;
        ::close(fd);
      }
      next.tv_nsec += 1'000'000;
      if (next.tv_nsec >= 1'000'000'000) {
        next.tv_nsec -= 1'000'000'000;
        ++next.tv_sec;
      }
      ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    [[maybe_unused]] const ssize_t told = ::write(result, &count, sizeof count);
    return 0;
  }

  std::unique_ptr<ChildProcess> writer_;
  int result_ = -1;
  long rewrites_ = -1;
};

// Three seconds of rewrites at the intended rate; a busy machine takes longer, never fewer.
constexpr long rewritesWanted = 3000;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(FaultTest, StatusRewrittenInPlaceAThousandTimesASecond) {
  writeFile(exchange / "session.json", testing::sessionStartedAgo(0s, /*capture=*/true));
  writeFile(exchange / "status.json", R"({"phase":"installing"})");
  start(exchange);
  ASSERT_TRUE(awaitPhase("installing"));

  std::set<std::string> phasesSeen;
  long rewrites = 0;
  {
    const auto start = std::chrono::steady_clock::now();
    InPlaceRewriter rewriter(exchange / "status.json",
                             {R"({"phase":"installing"})",
                              R"({"phase":"restarting","message":")" + padding(6000) + R"("})"},
                             rewritesWanted);
    while (!rewriter.done()) {
      const auto display = awaitDisplay([](const nlohmann::json&) { return true; }, exchange);
      ASSERT_TRUE(display);
      phasesSeen.insert(display->at("phase").get<std::string>());
      std::this_thread::sleep_for(5ms);
    }
    rewrites = rewriter.stop();
    std::cout << "status.json rewritten in place " << rewrites << " times in " << secondsSince(start)
              << " s; phases published: " << phasesSeen.size() << "\n";
  }
  EXPECT_EQ(rewrites, rewritesWanted);
  // A read caught between a truncation and the write that follows it tells nothing: only the
  // two phases written are ever shown, never the "preparing" of an empty report.
  for (const std::string& phase : phasesSeen) EXPECT_TRUE(phase == "installing" || phase == "restarting") << phase;
  ASSERT_TRUE(program->running());

  followsToTheEnd();
  expectSilent();
  expectNothingElseWritten({"session.json", "status.json", "ready.json", "display.json", "finished.json",
                            "installing.png", "restarting.png"});
}

TEST_F(FaultTest, SessionRewrittenInPlaceAThousandTimesASecondNeverLoads) {
  // Neither content holds "startedAt", and no splice of the two can: every read fails.
  writeFile(exchange / "session.json", R"({"version":"4.1.0","parentPid":1})");
  InPlaceRewriter rewriter(exchange / "session.json",
                           {R"({"version":"4.1.0","parentPid":1})", R"({"version":")" + padding(6000) + R"("})"},
                           rewritesWanted);
  int runs = 0;
  while (!rewriter.done()) {
    start(exchange);
    EXPECT_EQ(program->wait(hangBound), 1);
    expectSilent();
    ++runs;
  }
  const long rewrites = rewriter.stop();
  std::cout << "session.json rewritten in place " << rewrites << " times during " << runs << " starts\n";
  EXPECT_EQ(rewrites, rewritesWanted);
  EXPECT_GT(runs, 0);
  expectNothingElseWritten({"session.json"});
}

TEST_F(FaultTest, TheExchangeDirectoryRemovedWhileTheProgramRuns) {
  writeFile(exchange / "session.json", testing::sessionStartedAgo(0s, /*capture=*/true));
  writeFile(exchange / "status.json", R"({"phase":"installing"})");
  start(exchange);
  ASSERT_TRUE(awaitPhase("installing"));

  // The directory leaves its path in one step, then goes. The program may be writing the
  // snapshot that follows display.json: a file it was creating as the path went may still
  // land in the moved directory, so its removal is tried again until it holds.
  const fs::path removed = root / "removed";
  fs::rename(exchange, removed);
  std::error_code removal;
  for (int attempt = 0; attempt < 50 && fs::exists(removed); ++attempt) {
    fs::remove_all(removed, removal);
    if (removal) std::this_thread::sleep_for(10ms);
  }
  ASSERT_FALSE(fs::exists(removed)) << "cannot remove the directory: " << removal.message();
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(program->running());
  EXPECT_EQ(entryNames(root.path()), std::set<std::string>{"outside"}) << "the directory was made again";

  // A directory made again at the same place is followed from the next poll on.
  fs::create_directory(exchange);
  replaceFile(exchange / "status.json", R"({"phase":"error","message":"Disk full"})");
  const auto display = awaitPhase("error");
  ASSERT_TRUE(display);
  EXPECT_EQ(display->at("detail"), "Disk full");
  followsToTheEnd();
  expectSilent();
  expectNothingElseWritten({"status.json", "display.json", "finished.json", "error.png", "restarting.png"});
}

TEST_F(FaultTest, AnExchangeDirectoryThatRefusesEveryWrite) {
  // The updater writes into `backing`; the program is given a read-only view of it.
  const fs::path backing = outside / "backing";
  fs::create_directory(backing);
  writeFile(backing / "session.json", testing::sessionStartedAgo(0s, /*capture=*/true));
  writeFile(backing / "status.json", R"({"phase":"installing"})");
  const TestMount view = TestMount::readOnlyView(backing, exchange);
  if (!view.mounted()) GTEST_SKIP() << "cannot mount a read-only view (" << view.failure() << "): needs root";
  const int probe = ::open((exchange / "probe").c_str(), O_WRONLY | O_CREAT, 0644);
  const int refusal = errno;
  ASSERT_LT(probe, 0) << "the view takes writes";
  ASSERT_EQ(refusal, EROFS) << "the view does not refuse writes as read-only";

  start(exchange);
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(program->running()) << "the window did not stay up";
  writeFile(backing / "status.json", R"({"phase":"error"})");
  std::this_thread::sleep_for(1000ms);
  ASSERT_TRUE(program->running());

  // It still follows: "complete" ends it, although finished.json cannot be written.
  writeFile(backing / "status.json", R"({"phase":"complete"})");
  EXPECT_EQ(program->wait(hangBound), 0);
  expectSilent();
  EXPECT_EQ(entryNames(backing), (std::set<std::string>{"session.json", "status.json"}));
  EXPECT_EQ(entryNames(root.path()), (std::set<std::string>{"exchange", "outside"}));
  EXPECT_EQ(entryNames(outside), (std::set<std::string>{"backing", "victim"}));
  EXPECT_EQ(readFile(outside / "victim"), victimContent);
}

TEST_F(FaultTest, AFullFileSystemLeavesNoPartialOrTemporaryFile) {
  const TestMount disk = TestMount::memory(exchange, 64 * 1024);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a memory file system (" << disk.failure() << "): needs root";
  writeFile(exchange / "session.json", testing::sessionStartedAgo());
  writeFile(exchange / "status.json", R"({"phase":"installing"})");
  {
    // Fill what is left, block by block.
    const int fd = ::open((exchange / "filler").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
    ::close(fd);
  }
  {
    const int fd = ::open((exchange / "probe").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "{}", 2), -1) << "the file system is not full";
    ASSERT_EQ(errno, ENOSPC);
    ::close(fd);
    fs::remove(exchange / "probe");
  }

  start(exchange);
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(program->running());
  EXPECT_EQ(entryNames(exchange), (std::set<std::string>{"filler", "session.json", "status.json"}))
      << "a partial or temporary file was left behind";

  // Rewritten in place, status.json keeps the block it has.
  {
    const int fd = ::open((exchange / "status.json").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, R"({"phase":"complete"})", 20), 20);
    ::close(fd);
  }
  EXPECT_EQ(program->wait(hangBound), 0);
  expectSilent();
  EXPECT_EQ(entryNames(exchange), (std::set<std::string>{"filler", "session.json", "status.json"}));
}

TEST_F(FaultTest, PhasesThatNameOtherPlacesNeverReachOutside) {
  // Where a program that took the phase for a path would write: a directory inside, the
  // directory above, and the outside one by its absolute name.
  fs::create_directory(exchange / "sub");
  fs::create_symlink(outside / "victim", exchange / "installing.png");
  writeFile(exchange / "session.json", testing::sessionStartedAgo(0s, /*capture=*/true));
  writeFile(exchange / "status.json", R"({"phase":"installing"})");
  start(exchange);
  ASSERT_TRUE(awaitPhase("installing"));

  const std::string phases[] = {
      "sub/inside",
      "../above",
      (outside / "absolute").string(),
      std::string(300, 'p'),
      std::string("nul\0byte", 8),
      "..",
      "sub/../escape",
  };
  for (const std::string& phase : phases) {
    SCOPED_TRACE(phase);
    replaceFile(exchange / "status.json", nlohmann::json{{"phase", phase}}.dump());
    ASSERT_TRUE(awaitPhase(phase)) << "the phase was not published verbatim";
  }
  followsToTheEnd();
  expectSilent();

  EXPECT_TRUE(fs::is_symlink(exchange / "installing.png"));
  EXPECT_EQ(fs::read_symlink(exchange / "installing.png"), outside / "victim");
  EXPECT_TRUE(entryNames(exchange / "sub").empty());
  // ".." with ".png" after it names a plain file in the directory.
  expectNothingElseWritten({"session.json", "status.json", "ready.json", "display.json", "finished.json",
                            "installing.png", "sub", "...png", "restarting.png"});
}

TEST_F(FaultTest, TheParentEndingWhilePreparingShowsTheAttentionTextsWithinOnePoll) {
  auto parent = std::make_unique<ChildProcess>(std::vector<std::string>{"sleep", "600"}, ChildProcess::Options{});
  const auto startedAt = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  writeFile(exchange / "session.json", R"({"version":"4.1.0","parentPid":)" + std::to_string(parent->pid()) +
                                           R"(,"startedAt":)" + std::to_string(startedAt.count()) + "}");
  writeFile(exchange / "status.json", R"({"phase":"preparing"})");
  start(exchange);
  const auto alive = awaitPhase("preparing");
  ASSERT_TRUE(alive);
  EXPECT_EQ(alive->at("canClose"), false);
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(nlohmann::json::parse(readFile(exchange / "display.json")).at("canClose"), false);

  parent->kill();  // and reaped: no such process any more
  const auto ended = std::chrono::steady_clock::now();
  const auto display = awaitDisplay([](const nlohmann::json& d) { return d.at("canClose") == true; }, exchange);
  const auto noticed = std::chrono::steady_clock::now() - ended;
  ASSERT_TRUE(display);
  std::cout << "the parent's end was shown after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(noticed).count() << " ms\n";
  EXPECT_LT(noticed, 1500ms) << "noticed at the next poll, half a second later at most";
  EXPECT_EQ(*display, (nlohmann::json{{"phase", "preparing"},
                                      {"heading", texts::attentionHeading},
                                      {"detail", texts::fallbackDetail},
                                      {"canClose", true}}));
  followsToTheEnd();
  expectSilent();
  expectNothingElseWritten(receipts);
}

// A session.json naming `parentPid` as the parent application, the update started now.
std::string sessionWithParent(const std::string& parentPid, bool capture = false) {
  const auto startedAt =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
  return R"({"version":"4.1.0","parentPid":)" + parentPid + R"(,"startedAt":)" + std::to_string(startedAt.count()) +
         (capture ? R"(,"capture":true)" : "") + "}";
}

// The id of a process that has ended and been reaped.
std::string endedProcess() {
  ChildProcess child(ChildProcess::idle());
  child.kill();
  return std::to_string(child.pid());
}

// The names in `directory` that start with a dot: a temporary file left behind.
std::set<std::string> temporaryFiles(const fs::path& directory) {
  std::set<std::string> names;
  for (const std::string& name : entryNames(directory)) {
    if (name.starts_with(".")) names.insert(name);
  }
  return names;
}

/// Waits until the program has read status.json `count` times from now on: the poll that made
/// the last of those reads has then been preceded by whole polls, each one published.
void awaitReads(FileEvents& reads, int count) {
  reads.drain();
  for (int read = 0; read < count; ++read) {
    ASSERT_TRUE(reads.awaitOn("status.json", hangBound)) << "the program stopped reading status.json";
  }
}

TEST_F(FaultTest, AParentPidOfZeroOrBelowIsAParentGone) {
  for (const char* pid : {"0", "-1", "-2147483648"}) {
    SCOPED_TRACE(pid);
    for (const char* name : {"display.json", "ready.json"}) fs::remove(exchange / name);
    writeFile(exchange / "session.json", sessionWithParent(pid));
    writeFile(exchange / "status.json", R"({"phase":"preparing"})");
    start(exchange);
    // The first poll's publication says what the parent check found.
    const auto display = awaitDisplay([](const nlohmann::json&) { return true; }, exchange);
    ASSERT_TRUE(display);
    EXPECT_EQ(*display, (nlohmann::json{{"phase", "preparing"},
                                        {"heading", texts::attentionHeading},
                                        {"detail", texts::fallbackDetail},
                                        {"canClose", true}}));
    program->kill();
    expectSilent();
  }
}

TEST_F(FaultTest, AStatusCaughtHalfWrittenNeverShowsAFalseAttention) {
  // Installing has begun and the parent application has closed, as it has by then: a torn
  // read taken for an empty report would show "preparing" with the parent gone.
  writeFile(exchange / "session.json", sessionWithParent(endedProcess(), /*capture=*/true));
  const std::string whole = "{\"phase\":\"installing\"}\n";  // 23 bytes, written in two pieces
  const std::size_t cut = 14;
  writeFile(exchange / "status.json", whole);
  FileEvents reads(exchange, IN_CLOSE_NOWRITE);
  start(exchange);
  ASSERT_TRUE(awaitPhase("installing"));
  const nlohmann::json installing = {
      {"phase", "installing"}, {"heading", texts::installingHeading}, {"detail", texts::installingDetail}, {"canClose", false}};

  for (int torn = 0; torn < 4; ++torn) {
    SCOPED_TRACE("torn read " + std::to_string(torn + 1));
    // Rewritten in place, as a shell redirection does; the program reads it between the pieces.
    reads.drain();
    const int fd = ::open((exchange / "status.json").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, whole.data(), cut), static_cast<ssize_t>(cut));
    const bool readTorn = reads.awaitOn("status.json", hangBound);
    ASSERT_EQ(::write(fd, whole.data() + cut, whole.size() - cut), static_cast<ssize_t>(whole.size() - cut));
    ::close(fd);
    ASSERT_TRUE(readTorn) << "the program stopped reading status.json";

    // The poll after the torn one reads the whole file; by then the torn one has published.
    awaitReads(reads, 1);
    EXPECT_EQ(nlohmann::json::parse(readFile(exchange / "display.json")), installing);
  }
  ASSERT_TRUE(program->running());
  followsToTheEnd();
  expectSilent();
  expectNothingElseWritten({"session.json", "status.json", "ready.json", "display.json", "finished.json",
                            "installing.png", "restarting.png"});
}

// Ways an exchange directory refuses display.json for a while and then takes it again.
struct DisplayRefusal {
  const char* name;
  bool ordinaryUserOnly;  // the superuser writes through this refusal
  std::function<void(const fs::path& dir)> refuse;
  std::function<void(const fs::path& dir)> accept;
};

const DisplayRefusal displayRefusals[] = {
    {"DirectoryAtTheName", false,
     [](const fs::path& dir) {
       fs::remove(dir / "display.json");
       fs::create_directory(dir / "display.json");
     },
     [](const fs::path& dir) { fs::remove(dir / "display.json"); }},
    {"ReadOnlyDirectory", true,
     [](const fs::path& dir) { fs::permissions(dir, fs::perms::owner_write, fs::perm_options::remove); },
     [](const fs::path& dir) { fs::permissions(dir, fs::perms::owner_write, fs::perm_options::add); }},
};

void PrintTo(const DisplayRefusal& refusal, std::ostream* out) { *out << refusal.name; }

class DisplayRefusalTest : public FaultTest, public ::testing::WithParamInterface<DisplayRefusal> {};

TEST_P(DisplayRefusalTest, APublicationThatFailedIsMadeOnceTheDirectoryTakesFilesAgain) {
  const DisplayRefusal& refusal = GetParam();
  if (refusal.ordinaryUserOnly && ::geteuid() == 0) GTEST_SKIP() << "the superuser writes into it all the same";
  writeFile(exchange / "session.json", testing::sessionStartedAgo(0s, /*capture=*/true));
  writeFile(exchange / "status.json", R"({"phase":"installing"})");
  start(exchange);
  ASSERT_TRUE(awaitPhase("installing"));
  FileEvents reads(exchange, IN_CLOSE_NOWRITE);

  // The update fails while display.json cannot be written (status.json is rewritten in place,
  // which a read-only directory allows).
  refusal.refuse(exchange);
  writeFile(exchange / "status.json", R"({"phase":"error","message":"Disk full"})");
  awaitReads(reads, 3);
  EXPECT_EQ(temporaryFiles(exchange), std::set<std::string>{});
  EXPECT_FALSE(fs::exists(exchange / "error.png")) << "a snapshot came without its display.json";
  if (!fs::is_directory(exchange / "display.json")) {
    EXPECT_NE(readFile(exchange / "display.json").find("installing"), std::string::npos);
  }

  refusal.accept(exchange);
  awaitReads(reads, 2);
  EXPECT_EQ(nlohmann::json::parse(readFile(exchange / "display.json")),
            (nlohmann::json{{"phase", "error"}, {"heading", texts::attentionHeading}, {"detail", "Disk full"}, {"canClose", true}}))
      << "the publication was lost";
  EXPECT_TRUE(testing::pngSize(readFile(exchange / "error.png")));
  followsToTheEnd();
  expectSilent();
  expectNothingElseWritten({"session.json", "status.json", "ready.json", "display.json", "finished.json",
                            "installing.png", "error.png", "restarting.png"});
}

INSTANTIATE_TEST_SUITE_P(Faults, DisplayRefusalTest, ::testing::ValuesIn(displayRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FaultTest, ATerminationSignalLetsTheWriteInProgressFinishAndEndsTheProgramByThatSignal) {
  // A long phase makes display.json long to write, and the signal comes while it is written.
  // (A phase the program does not know is shown with the texts of "preparing", so the window
  // has no long text to lay out.)
  const std::string phase = padding(4'000'000);
  for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(std::string(::strsignal(signalNumber)) + ", round " + std::to_string(round + 1));
      const fs::path dir = exchange / (std::to_string(signalNumber) + "-" + std::to_string(round));
      fs::create_directory(dir);
      writeFile(dir / "session.json", testing::sessionStartedAgo(0s, /*capture=*/true));
      writeFile(dir / "status.json", nlohmann::json{{"phase", phase}}.dump());
      FileEvents creations(dir, IN_CREATE);
      start(dir);

      std::optional<std::string> created;
      while ((created = creations.next(hangBound)) && !created->starts_with(".display.json.")) {
      }
      ASSERT_TRUE(created) << "display.json was never written";
      ASSERT_TRUE(program->signal(signalNumber));
      EXPECT_TRUE(program->wait(hangBound));
      EXPECT_EQ(program->endingSignal(), signalNumber) << "ended with status " << program->wait(0ms).value_or(-1);
      expectSilent();
      EXPECT_EQ(temporaryFiles(dir), std::set<std::string>{}) << "a write was cut off";
      const auto display = nlohmann::json::parse(readFile(dir / "display.json"), nullptr, false);
      ASSERT_TRUE(isWholeRecord(display)) << "display.json is not in place";
      EXPECT_TRUE(display.at("phase") == phase) << "display.json holds another phase";
    }
  }
}

}  // namespace
}  // namespace orvandale
