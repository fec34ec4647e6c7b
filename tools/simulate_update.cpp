// simulate-update: plays the updater's side of the exchange directory against the real
// OrvandaleUpdateProgress, prints what the program answers as it goes, and checks it against
// the protocol. Exit status 0: the program kept to the protocol; 1: it did not, did not
// answer in time, or could not be run; 2: the command line or the timeline file is unusable.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exchange/receipt.h"
#include "tools/child_process.h"
#include "tools/protocol_check.h"
#include "tools/report.h"
#include "tools/timeline.h"
#include "tools/watch.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace orvandale::simulate {
namespace {

constexpr const char* usage = R"(usage: simulate-update [options]
       simulate-update --watch DIR [--timeout SECONDS]

Plays an updater against OrvandaleUpdateProgress: makes an exchange directory, writes
session.json, starts the program on it and rewrites status.json along a timeline, printing
every file the program answers with and checking it against the protocol.

options:
  --scenario NAME   a built-in timeline (default: normal); --list shows them
  --timeline FILE   a timeline file instead: one step a line, "<seconds> <phase> [message]"
                    (see docs/protocol.md)
  --dir DIR         the exchange directory to use (made if missing; default: a new one
                    under $TMPDIR); it is kept after the run
  --program PATH    the program to run (default: OrvandaleUpdateProgress beside this tool)
  --capture         ask the program for a PNG snapshot per phase
  --offscreen       run the program on Qt's offscreen platform (no display needed)
  --version TEXT    the version in session.json (default: 4.1.0)
  --timeout SECONDS how long to wait for each answer of the program (default: 10)
  --list            list the scenarios and exit
  --watch DIR       check a real updater instead: follow DIR (which may not exist yet) while
                    the updater drives the real program in it, print both sides' files and
                    check both against the protocol; writes nothing into DIR. --timeout is
                    then the longest the whole update may take (default: 600). Exit status
                    0 when both sides kept to the protocol, 1 naming each breach
  --help            show this text and exit

exit status: 0 the program kept to the protocol; 1 it did not, did not answer in time, or
could not be run (no program, no directory for the run's files); 2 unusable options or
timeline file.
)";

struct Options {
  const Scenario* scenario = nullptr;
  std::optional<fs::path> timeline;
  std::optional<fs::path> directory;
  std::optional<fs::path> program;
  bool capture = false;
  bool offscreen = false;
  std::string version = "4.1.0";
  double timeout = 10;
  bool timeoutGiven = false;
  std::optional<fs::path> watch;
  std::string simulationOnly;  // the first option given that the watch does not take
};

struct UsageError {
  std::string what;
};

std::variant<Options, UsageError, int> parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (option == "--help" || option == "-h") {
      std::cout << usage;
      return 0;
    }
    if (option == "--list") {
      for (const Scenario& scenario : scenarios()) std::cout << "  " << scenario.name << ": " << scenario.description << "\n";
      return 0;
    }
    if (option != "--watch" && option != "--timeout" && options.simulationOnly.empty()) options.simulationOnly = option;
    if (option == "--capture") {
      options.capture = true;
    } else if (option == "--offscreen") {
      options.offscreen = true;
    } else if (option == "--scenario" || option == "--timeline" || option == "--dir" || option == "--program" ||
               option == "--version" || option == "--timeout" || option == "--watch") {
      const std::optional<std::string> given = value();
      if (!given) return UsageError{option + " needs a value"};
      if (option == "--scenario") {
        options.scenario = findScenario(*given);
        if (options.scenario == nullptr) return UsageError{"no scenario \"" + *given + "\" (--list shows them)"};
      } else if (option == "--timeline") {
        options.timeline = *given;
      } else if (option == "--dir") {
        options.directory = *given;
      } else if (option == "--program") {
        options.program = *given;
      } else if (option == "--version") {
        options.version = *given;
      } else if (option == "--watch") {
        options.watch = *given;
      } else {
        char* end = nullptr;
        options.timeout = std::strtod(given->c_str(), &end);
        if (end == given->c_str() || *end != '\0' || !(options.timeout > 0)) {
          return UsageError{"--timeout takes a number of seconds above 0, not \"" + *given + "\""};
        }
        options.timeoutGiven = true;
      }
    } else {
      return UsageError{"unknown option \"" + option + "\""};
    }
  }
  if (options.watch) {
    if (!options.simulationOnly.empty()) return UsageError{"--watch takes only --timeout, not " + options.simulationOnly};
    if (options.watch->empty()) return UsageError{"--watch needs a directory"};
    return options;
  }
  if (options.scenario != nullptr && options.timeline) return UsageError{"give --scenario or --timeline, not both"};
  if (options.scenario == nullptr && !options.timeline) options.scenario = &scenarios().front();
  return options;
}

std::optional<std::string> readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// A file of the exchange directory as last seen, to tell a new version from the old one.
struct Seen {
  ino_t inode = 0;
  std::int64_t modified = 0;
  off_t size = -1;
  bool operator==(const Seen&) const = default;
};

std::optional<Seen> look(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return Seen{info.st_ino, static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
              info.st_size};
}

class Run {
 public:
  Run(const Options& options, std::vector<Step> steps, const Scenario* scenario)
      : options_(options), steps_(std::move(steps)), scenario_(scenario) {}

  int go();

 private:
  long elapsedMs() const {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count());
  }
  void say(const std::string& line) {
    clearLive();
    printTimelineLine(elapsedMs(), line);
  }
  void live(const std::string& line) {
    if (!liveLine_) return;
    std::fprintf(stderr, "\r\033[K  %s", line.c_str());
    std::fflush(stderr);
    liveShown_ = true;
  }
  void clearLive() {
    if (!liveShown_) return;
    std::fprintf(stderr, "\r\033[K");
    liveShown_ = false;
  }

  bool prepare();
  /// A new directory under $TMPDIR (or /tmp), or nothing, said on stderr, when none can be made.
  std::optional<fs::path> temporaryDirectory(const char* prefix);
  bool startProgram();
  void writeStatus(const Step& step);
  void perform(const Step& step);
  /// Watches the directory and the program for `seconds`, or until the program has ended.
  void watch(double seconds, const std::string& waitingFor);
  void watchOnce();
  void reap();
  void endProgram();
  /// Ends the stand-in parent application, if there is one still running.
  bool endParent();
  /// What the program printed on stdout and stderr together.
  std::string output() const { return program_ ? program_->standardOutput() : ""; }
  int summary();

  const Options& options_;
  std::vector<Step> steps_;
  const Scenario* scenario_;
  fs::path directory_;
  Clock::time_point start_;
  // Both are ended, if still running, when the run goes, whichever way it ends.
  std::unique_ptr<process::ChildProcess> parent_;
  std::unique_ptr<process::ChildProcess> program_;
  std::optional<int> status_;
  std::optional<ProtocolCheck> check_;
  std::map<std::string, Seen> seen_;
  std::map<std::string, Seen> snapshots_;  // snapshot files as last reported
  std::set<std::string> snapshotsWritten_;  // every snapshot reported in the run, gone or not
  std::string lastPhase_;
  int statusWrites_ = 0;
  bool liveLine_ = ::isatty(STDERR_FILENO) == 1;
  bool liveShown_ = false;
};

bool Run::prepare() {
  if (options_.directory) {
    directory_ = fs::absolute(*options_.directory);
    std::error_code error;
    fs::create_directories(directory_, error);
    if (error || !fs::is_directory(directory_)) {
      std::fprintf(stderr, "simulate-update: cannot use %s as the exchange directory\n", directory_.c_str());
      return false;
    }
  } else {
    const std::optional<fs::path> made = temporaryDirectory("orvandale-update-");
    if (!made) return false;
    directory_ = *made;
  }

  int parentPid = static_cast<int>(::getpid());
  if (scenario_ != nullptr && scenario_->standInParent) {
    // A process standing in for the application being updated; a step ends it.
    parent_ = std::make_unique<process::ChildProcess>(process::ChildProcess::idle());
    parentPid = static_cast<int>(parent_->pid());
  }
  const auto startedAgo = scenario_ != nullptr ? scenario_->startedAgo : std::chrono::seconds(0);
  const auto startedAt = std::chrono::duration_cast<std::chrono::milliseconds>(
      (std::chrono::system_clock::now() - startedAgo).time_since_epoch());
  exchange::writeReceiptFile(directory_, "session.json",
                             {{"version", options_.version},
                              {"parentPid", std::int64_t{parentPid}},
                              {"startedAt", std::int64_t{startedAt.count()}},
                              {"capture", options_.capture}});
  if (!fs::exists(directory_ / "session.json")) {
    std::fprintf(stderr, "simulate-update: cannot write session.json into %s\n", directory_.c_str());
    return false;
  }
  return true;
}

std::optional<fs::path> Run::temporaryDirectory(const char* prefix) {
  std::error_code error;
  const fs::path temporary = fs::temp_directory_path(error);
  if (error) {
    std::fprintf(stderr, "simulate-update: no directory for temporary files (%s): %s\n",
                 ::getenv("TMPDIR") != nullptr ? ::getenv("TMPDIR") : "/tmp", error.message().c_str());
    return std::nullopt;
  }
  std::string pattern = (temporary / (std::string(prefix) + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "simulate-update: cannot make a directory in %s: %s\n", temporary.c_str(),
                 std::strerror(errno));
    return std::nullopt;
  }
  return fs::path(pattern);
}

bool Run::startProgram() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  const fs::path program = options_.program.value_or(self.parent_path() / "OrvandaleUpdateProgress");
  if (::access(program.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "simulate-update: no program to run at %s (use --program)\n", program.c_str());
    return false;
  }
  process::ChildProcess::Options how{.mergeOutput = true};
  if (options_.offscreen) how.environment["QT_QPA_PLATFORM"] = "offscreen";
  start_ = Clock::now();
  try {
    program_ = std::make_unique<process::ChildProcess>(std::vector<std::string>{program.string(), directory_.string()}, how);
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "simulate-update: cannot start %s: %s\n", program.c_str(), error.what());
    return false;
  }
  check_.emplace(static_cast<int>(program_->pid()), options_.capture);
  say("started " + program.filename().string() + " (pid " + std::to_string(program_->pid()) + ") on " + directory_.string() +
      (options_.capture ? ", snapshots on" : "") + (options_.offscreen ? ", offscreen" : ""));
  return true;
}

void Run::writeStatus(const Step& step) {
  std::error_code ignored;
  if (!fs::exists(directory_)) {
    fs::create_directories(directory_, ignored);
    say("made the exchange directory again");
  }
  exchange::Receipt status;
  if (step.phase) status["phase"] = *step.phase;
  if (step.message) status["message"] = *step.message;
  // Written as a careful updater does: a whole new file renamed over the old one.
  exchange::writeReceiptFile(directory_, "status.json", status);
  ++statusWrites_;
  lastPhase_ = step.phase.value_or("preparing");
  if (check_) check_->statusWritten(step.phase);
}

void Run::perform(const Step& step) {
  switch (step.kind) {
    case Step::Kind::status:
      writeStatus(step);
      say("wrote status.json: " + describe(step));
      break;
    case Step::Kind::endParent: {
      const pid_t parent = parent_ ? parent_->pid() : -1;
      if (endParent()) {
        say("ended the parent application (pid " + std::to_string(parent) + ")");
      } else {
        say("no stand-in parent to end: the parent is this tool (use a scenario with one)");
      }
      break;
    }
    case Step::Kind::removeDirectory: {
      // The program may be writing a file into it at this moment, which makes one removal
      // fail with the directory not empty: try again until it is gone.
      std::error_code ignored;
      for (int attempt = 0; attempt < 50 && fs::exists(directory_, ignored); ++attempt) {
        if (fs::remove_all(directory_, ignored) == static_cast<std::uintmax_t>(-1)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
      seen_.clear();
      snapshots_.clear();
      say("removed the exchange directory");
      break;
    }
  }
}

bool Run::endParent() {
  if (!parent_) return false;
  parent_->kill();
  parent_.reset();
  return true;
}

void Run::reap() {
  if (status_ || !program_) return;
  status_ = program_->wait(0ms);
}

void Run::watchOnce() {
  auto fresh = [this](const std::string& name) -> std::optional<std::string> {
    const std::optional<Seen> now = look(directory_ / name);
    if (!now) return std::nullopt;
    auto& before = seen_[name];
    if (before == *now) return std::nullopt;
    before = *now;
    return readAll(directory_ / name).value_or("");
  };

  if (auto bytes = fresh("ready.json")) {
    say(readyLine(check_->readyAppeared(*bytes), *bytes));
  }
  if (auto bytes = fresh("display.json")) {
    say(displayLine(check_->displayAppeared(*bytes), *bytes));
  }
  if (auto bytes = fresh("finished.json")) {
    check_->finishedAppeared(*bytes);
    say("finished.json: " + *bytes);
  }

  // Snapshots are written in place: one is reported once its size has held for a look.
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory_, error)) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(".png")) continue;
    const std::optional<Seen> now = look(entry.path());
    if (!now) continue;
    Seen& pending = seen_[name];
    if (pending == *now && !(snapshots_[name] == *now)) {
      snapshots_[name] = *now;
      snapshotsWritten_.insert(name);
      say("snapshot " + name + " (" + std::to_string((now->size + 1023) / 1024) + " KiB)");
    }
    pending = *now;
  }
}

void Run::watch(double seconds, const std::string& waitingFor) {
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < until) {
    watchOnce();
    reap();
    if (status_) return;
    if (!check_->readySeen() && Clock::now() - start_ > std::chrono::duration<double>(options_.timeout)) {
      check_->breach("no ready.json within " + std::to_string(static_cast<int>(options_.timeout)) + " s of the start");
      return;
    }
    const double left = std::chrono::duration<double>(until - Clock::now()).count();
    char line[160];
    std::snprintf(line, sizeof line, "%.1f s  %s: %s, %.1f s left", static_cast<double>(elapsedMs()) / 1000.0, lastPhase_.c_str(),
                  waitingFor.c_str(), left > 0 ? left : 0);
    live(line);
    std::this_thread::sleep_for(20ms);
  }
}

void Run::endProgram() {
  reap();
  if (status_) return;
  program_->signal(SIGTERM);
  status_ = program_->wait(2000ms);
  if (!status_) {
    program_->kill();
    status_ = program_->wait(0ms);
  }
}

int Run::go() {
  if (!prepare()) return 1;
  // The first status is in place before the program starts, as an updater would have it.
  const bool firstIsStatus = steps_.front().kind == Step::Kind::status;
  if (firstIsStatus) writeStatus(steps_.front());
  if (!startProgram()) {
    // Nothing is left running when the program cannot be started: the stand-in parent goes too.
    endParent();
    return 1;
  }
  if (firstIsStatus) {
    check_->statusWritten(steps_.front().phase);
    say("status.json already holds: " + describe(steps_.front()));
  }

  bool completed = false;
  for (std::size_t index = 0; index < steps_.size() && !status_; ++index) {
    const Step& step = steps_[index];
    if (index > 0 || !firstIsStatus) perform(step);
    if (step.kind == Step::Kind::status && step.phase == "complete") {
      completed = true;
      watch(options_.timeout, "waiting for finished.json and the program's end");
      if (!status_) check_->breach("the program did not end within " + std::to_string(static_cast<int>(options_.timeout)) +
                                   " s of \"complete\"");
      break;
    }
    watch(step.hold, index + 1 < steps_.size() ? "next: " + describe(steps_[index + 1]) : "end of the timeline");
    if (!check_->breaches().empty() && !check_->readySeen()) break;
  }
  watchOnce();
  clearLive();

  if (status_) {
    say("the program exited with status " + std::to_string(*status_));
    check_->programEnded(*status_, output());
  } else {
    if (!completed) say("the timeline has no \"complete\": ending the program");
    endProgram();
    say("ended the program (status " + std::to_string(*status_) + ")");
    if (completed) check_->breach("the program had to be ended by the tool");
    check_->outputSeen(output());
  }
  endParent();
  return summary();
}

int Run::summary() {
  check_->finish(snapshotsWritten_, scenario_ != nullptr ? scenario_->expectations : std::vector<Expectation>{});
  std::set<std::string> snapshots;
  for (const std::string& name : snapshotsWritten_) {
    if (fs::exists(directory_ / name)) snapshots.insert(name);
  }
  std::printf("\nsummary: %s, %s, %s, %s, %s, program status %s\n",
              scenario_ != nullptr ? ("scenario " + scenario_->name).c_str() : "timeline file",
              countOf(static_cast<std::size_t>(statusWrites_), "status write").c_str(),
              countOf(check_->publications().size(), "publication").c_str(),
              countOf(snapshotsWritten_.size(), "snapshot file").c_str(),
              check_->finishedSeen() ? "finished" : "not finished", status_ ? std::to_string(*status_).c_str() : "?");
  std::printf("exchange directory: %s\n", directory_.c_str());
  for (const std::string& name : snapshots) std::printf("snapshot: %s\n", (directory_ / name).c_str());
  return printVerdict({}, check_->breaches(), "the program kept to the protocol");
}

}  // namespace
}  // namespace orvandale::simulate

int main(int argc, char** argv) {
  using namespace orvandale::simulate;
  auto parsed = parseOptions(argc, argv);
  if (const int* done = std::get_if<int>(&parsed)) return *done;
  if (const auto* error = std::get_if<UsageError>(&parsed)) {
    std::fprintf(stderr, "simulate-update: %s\n\n%s", error->what.c_str(), usage);
    return 2;
  }
  const Options& options = std::get<Options>(parsed);
  if (options.watch) return watchExchange(*options.watch, options.timeoutGiven ? options.timeout : 600);

  std::vector<Step> steps;
  if (options.timeline) {
    const std::optional<std::string> text = readAll(*options.timeline);
    if (!text) {
      std::fprintf(stderr, "simulate-update: cannot read the timeline file %s\n", options.timeline->c_str());
      return 2;
    }
    auto read = parseTimeline(*text);
    if (const auto* error = std::get_if<TimelineError>(&read)) {
      std::fprintf(stderr, "simulate-update: %s:%d: %s\n", options.timeline->c_str(), error->line, error->what.c_str());
      return 2;
    }
    steps = std::get<std::vector<Step>>(read);
  } else {
    steps = options.scenario->steps;
  }
  ::signal(SIGPIPE, SIG_IGN);
  try {
    Run run(options, std::move(steps), options.timeline ? nullptr : options.scenario);
    return run.go();
  } catch (const std::exception& error) {
    // The documented statuses hold whatever fails; the run's processes are ended on the way.
    std::fprintf(stderr, "simulate-update: %s\n", error.what());
    return 1;
  }
}
