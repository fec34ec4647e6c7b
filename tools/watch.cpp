#include "tools/watch.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/report.h"
#include "tools/timeline.h"

namespace fs = std::filesystem;

namespace orvandale::simulate {

const char* describe(Change change) {
  switch (change) {
    case Change::renamed: return "renamed into place";
    case Change::inPlace: return "written in place";
    case Change::placed: return "linked into place";
    case Change::present: return "already there";
    case Change::removed: return "removed";
  }
  return "changed";
}

// ---------------------------------------------------------------------------------------------
// WriteClassifier

std::optional<FileChange> WriteClassifier::event(std::uint32_t mask, const std::string& name) {
  const auto found = pending_.find(name);
  if (mask & (IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE)) {
    // Whatever was being written under the name is no longer there.
    if (found != pending_.end()) pending_.erase(found);
    return FileChange{name, (mask & IN_MOVED_TO) ? Change::renamed : Change::removed};
  }
  if (mask & IN_CREATE) {
    pending_[name] = State::created;
    return std::nullopt;
  }
  if (mask & IN_MODIFY) {
    pending_[name] = State::writing;
    return std::nullopt;
  }
  if (mask & IN_CLOSE_WRITE) {
    // A file opened for writing at its name and closed: a new version if it was created or
    // modified since the last one. An existing file opened for writing and left as it was is
    // no new version.
    if (found == pending_.end()) return std::nullopt;
    pending_.erase(found);
    return FileChange{name, Change::inPlace};
  }
  if (found == pending_.end()) return std::nullopt;
  if (mask & IN_OPEN) {
    // Creating a file with open() reports IN_CREATE and IN_OPEN together; a link reports only
    // IN_CREATE, and a later open is a reader's.
    if (found->second == State::created) found->second = State::opened;
  } else if (mask & IN_CLOSE_NOWRITE) {
    if (found->second == State::opened) found->second = State::created;
  }
  return std::nullopt;
}

std::vector<FileChange> WriteClassifier::endOfBatch() {
  std::vector<FileChange> complete;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second == State::created) {
      complete.push_back({it->first, Change::placed});
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
  return complete;
}

// ---------------------------------------------------------------------------------------------
// WatchCheck

namespace {

constexpr const char* knownPhases[] = {"preparing", "installing", "restarting", "complete", "error"};

std::string times(int count) { return count == 1 ? "once" : std::to_string(count) + " times"; }

std::string sessionFailureText(const exchange::SessionFailure& failure) {
  switch (failure.kind) {
    case exchange::SessionFailure::Kind::unreadable:
      return failure.error == std::errc::no_such_file_or_directory ? "missing" : "unreadable (" + failure.error.message() + ")";
    case exchange::SessionFailure::Kind::unparsable: return "not a JSON object";
    case exchange::SessionFailure::Kind::invalid: return "without a usable \"version\", \"parentPid\" or \"startedAt\"";
  }
  return "unusable";
}

}  // namespace

ProtocolCheck& WatchCheck::program() {
  if (!check_) {
    check_.emplace(pid_.value_or(0), capture_);
    for (const Logged& logged : log_) {
      switch (logged.kind) {
        case Logged::Kind::status: check_->statusWritten(logged.phase); break;
        case Logged::Kind::display: check_->displayAppeared(logged.bytes); break;
        case Logged::Kind::finished: check_->finishedAppeared(logged.bytes); break;
      }
    }
  }
  return *check_;
}

void WatchCheck::programFile(bool finished, const std::string& bytes) {
  if (!check_ && !pid_) {
    log_.push_back({finished ? Logged::Kind::finished : Logged::Kind::display, std::nullopt, bytes});
    return;
  }
  if (finished) {
    program().finishedAppeared(bytes);
  } else {
    program().displayAppeared(bytes);
  }
}

void WatchCheck::sessionBreach(const SessionRead& read, const char* when) {
  const auto* failure = std::get_if<exchange::SessionFailure>(&read);
  if (failure == nullptr) return;
  updater_.push_back("session.json was " + sessionFailureText(*failure) + " " + when +
                     ": the program's own reader refuses it, and the program exits with status 1, showing nothing");
  sessionFault_ = true;
}

void WatchCheck::programStarted(int pid, int arguments, const SessionRead& session) {
  if (started_) return;
  started_ = true;
  pid_ = pid;
  if (const auto* loaded = std::get_if<exchange::Session>(&session)) capture_ = loaded->capture;
  if (arguments != 1) {
    updater_.push_back("the program (pid " + std::to_string(pid) + ") was started with " + std::to_string(arguments) +
                       " arguments, not exactly one (the exchange directory): it exits with status 1, showing nothing");
    sessionFault_ = true;
    return;
  }
  sessionBreach(session, "when the program started");
}

void WatchCheck::sessionChanged(Change how, const std::optional<SessionRead>& read) {
  session_ = read;
  if (started_) {
    // Removing it changes nothing for a program that has read it; a new one goes unseen.
    if (how != Change::removed) ++sessionChangesAfterStart_;
    return;
  }
  if (read) {
    if (const auto* loaded = std::get_if<exchange::Session>(&*read)) capture_ = loaded->capture;
  }
}

exchange::StatusReport WatchCheck::statusChanged(Change how, const ObjectRead& read, const std::string& bytes) {
  exchange::StatusReport report;
  if (const auto* object = std::get_if<nlohmann::json>(&read)) {
    report = exchange::statusFromObject(*object);
  } else {
    if (invalid_++ == 0) firstInvalid_ = bytes;
  }
  ++statusWrites_;
  if (how == Change::inPlace) inPlacePhases_.push_back(report.phase ? jsonString(*report.phase) : std::string("(no phase)"));
  if (report.phase && !notedPhases_.contains(*report.phase) &&
      std::find(std::begin(knownPhases), std::end(knownPhases), *report.phase) == std::end(knownPhases)) {
    notedPhases_.insert(*report.phase);
    notes_.push_back("the phase " + jsonString(*report.phase) +
                     " is not one the program tells apart: it shows the texts of \"preparing\" under that name");
  }
  if (report.phase == "complete") completeWritten_ = true;
  if (check_) {
    check_->statusWritten(report.phase);
  } else {
    log_.push_back({Logged::Kind::status, report.phase, {}});
  }
  return report;
}

void WatchCheck::programWroteInPlace(Change how, const char* name) {
  if (how != Change::inPlace) return;
  const std::string breach = std::string(name) + " was written in place, not replaced in one step: the updater can read it half written";
  if (std::find(program_.begin(), program_.end(), breach) == program_.end()) program_.push_back(breach);
}

nlohmann::json WatchCheck::readyChanged(Change how, const std::string& bytes) {
  programWroteInPlace(how, "ready.json");
  if (!pid_) {
    // Not seen starting: the pid the program gives is the one to follow.
    const nlohmann::json ready = nlohmann::json::parse(bytes, nullptr, false);
    if (ready.is_object() && ready.contains("pid") && ready["pid"].is_number_integer()) pid_ = ready["pid"].get<int>();
  }
  started_ = true;
  ready_ = true;
  return program().readyAppeared(bytes);
}

nlohmann::json WatchCheck::displayChanged(Change how, const std::string& bytes) {
  programWroteInPlace(how, "display.json");
  programFile(false, bytes);
  nlohmann::json display = nlohmann::json::parse(bytes, nullptr, false);
  if (display.is_object() && display.contains("canClose") && display["canClose"] == true) closingAllowed_ = true;
  return display;
}

void WatchCheck::finishedChanged(Change how, const std::string& bytes) {
  programWroteInPlace(how, "finished.json");
  programFile(true, bytes);
}

void WatchCheck::programEnded() {
  if (ended_) return;
  ended_ = true;
  const std::string pid = std::to_string(pid_.value_or(0));
  if (!ready_) {
    if (!sessionFault_) {
      updater_.push_back("the program (pid " + pid +
                         ") ended without writing ready.json: it exits so, with status 1, when it is not given "
                         "exactly one argument, when session.json is unusable, or when it has no display to open");
    }
    return;
  }
  if (!completeWritten_) {
    if (closingAllowed_) {
      notes_.push_back("the program ended before \"complete\" was written, while closing was allowed: the user closed "
                       "the status window");
    } else {
      program_.push_back("the program ended before \"complete\" was written, while closing was not allowed");
    }
  } else if (!program().finishedSeen()) {
    program_.push_back("the program ended without writing finished.json");
  }
}

void WatchCheck::finish(double seconds, bool timedOut) {
  char within[32];
  std::snprintf(within, sizeof within, "%g s", seconds);
  if (!completeWritten_) updater_.push_back(std::string("no \"complete\" was written within ") + within);
  if (!ready_ && !ended_ && !sessionFault_) {
    const auto* failure = session_ ? std::get_if<exchange::SessionFailure>(&*session_) : nullptr;
    if (!session_ || failure != nullptr) {
      updater_.push_back("no ready.json appeared, and session.json was " +
                         (failure != nullptr ? sessionFailureText(*failure) : std::string("never written")) +
                         ": the program exits with status 1 without a usable one, showing nothing");
    } else {
      updater_.push_back("no ready.json appeared: the program was not started on this directory, or it ended at once "
                         "with status 1 (not exactly one argument, or no display to open)");
    }
  }
  if (ready_ && !ended_ && completeWritten_ && timedOut) {
    program_.push_back(std::string("the program was still running ") + within + " into the watch, after \"complete\" was written");
  }
  if (!inPlacePhases_.empty()) {
    std::string phases;
    for (const std::string& phase : inPlacePhases_) phases += (phases.empty() ? "" : ", ") + phase;
    updater_.push_back("status.json was written in place " + times(statusWrittenInPlace()) + " (" + phases +
                       "): a poll can read it half written; write a new file beside it and rename it over "
                       "status.json");
  }
  if (invalid_ > 0) {
    updater_.push_back("status.json was not a JSON object " + times(invalid_) + ", first " +
                       jsonString(shorten(firstInvalid_, 60)) + ": a poll that reads it takes no phase from it");
  }
  if (sessionChangesAfterStart_ > 0) {
    updater_.push_back("session.json was changed " + times(sessionChangesAfterStart_) +
                       " after the program started: the program reads it once, at its start, and never sees a change");
  }
  if (!log_.empty() || check_) program().finish(snapshots_, {});
}

std::vector<std::string> WatchCheck::breaches() const {
  std::vector<std::string> all;
  for (const std::string& breach : updater_) all.push_back("updater: " + breach);
  if (check_) {
    for (const std::string& breach : check_->breaches()) all.push_back("program: " + breach);
  }
  for (const std::string& breach : program_) all.push_back("program: " + breach);
  return all;
}

// ---------------------------------------------------------------------------------------------
// The watch itself

namespace {

using Clock = std::chrono::steady_clock;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// The process's arguments, the program's name first; nothing when it is gone or hidden.
std::optional<std::vector<std::string>> commandLine(const fs::path& process) {
  std::ifstream in(process / "cmdline", std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::string> arguments;
  std::string argument;
  while (std::getline(in, argument, '\0')) arguments.push_back(argument);
  return arguments;
}

// Whether the process runs: a zombie, ended but not yet reaped by its parent, has ended.
bool running(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return false;
  const auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

class Watch {
 public:
  Watch(fs::path directory, double timeout) : directory_(std::move(directory)), timeout_(timeout) {}
  ~Watch() {
    if (fd_ >= 0) ::close(fd_);
  }

  int run();

 private:
  void say(const std::string& line) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
    printTimelineLine(static_cast<long>(ms), line);
  }
  /// Watches the directory once it exists, else its nearest existing ancestor. False when
  /// the path cannot become a directory to watch.
  bool attach();
  /// Handles the events that arrive within `waitMs`.
  bool drain(int waitMs);
  void handle(const FileChange& change);
  /// Looks for the program's process and whether the one followed has ended.
  void followProgram();
  bool namesDirectory(const fs::path& process, const std::string& argument) const;

  fs::path directory_;
  double timeout_;
  int fd_ = -1;
  int directoryWatch_ = -1;
  int ancestorWatch_ = -1;
  fs::path ancestor_;
  bool waiting_ = false;  // the directory is not there yet, or not any more
  Clock::time_point start_ = Clock::now();
  WriteClassifier classifier_;
  WatchCheck check_;
};

bool Watch::attach() {
  for (;;) {
    if (directoryWatch_ < 0) {
      const int watch = ::inotify_add_watch(fd_, directory_.c_str(),
                                            WriteClassifier::eventMask | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
      if (watch >= 0) {
        directoryWatch_ = watch;
        if (ancestorWatch_ >= 0) ::inotify_rm_watch(fd_, ancestorWatch_);
        ancestorWatch_ = -1;
        ancestor_.clear();
        say(waiting_ ? directory_.string() + " appeared; watching it" : "watching " + directory_.string());
        waiting_ = false;
        // What was written before the watch took hold.
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(directory_, ignored)) {
          handle({entry.path().filename().string(), Change::present});
        }
        return true;
      }
      if (errno != ENOENT && errno != ENOTDIR) {
        std::fprintf(stderr, "simulate-update: cannot watch %s: %s\n", directory_.c_str(), std::strerror(errno));
        return false;
      }
    }
    // Follow the nearest ancestor that exists until the next step down appears.
    fs::path ancestor = directory_.parent_path();
    std::error_code error;
    while (!fs::is_directory(ancestor, error) && ancestor.has_relative_path()) ancestor = ancestor.parent_path();
    fs::path next = ancestor / *directory_.lexically_relative(ancestor).begin();
    if (fs::exists(next, error) && !fs::is_directory(next, error)) {
      std::fprintf(stderr, "simulate-update: %s is not a directory\n", next.c_str());
      return false;
    }
    if (ancestor != ancestor_) {
      if (ancestorWatch_ >= 0) ::inotify_rm_watch(fd_, ancestorWatch_);
      ancestorWatch_ = ::inotify_add_watch(fd_, ancestor.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
      if (ancestorWatch_ < 0) {
        std::fprintf(stderr, "simulate-update: cannot watch %s: %s\n", ancestor.c_str(), std::strerror(errno));
        return false;
      }
      ancestor_ = ancestor;
      if (!waiting_) say("waiting for " + directory_.string() + " to appear (watching " + ancestor.string() + ")");
      waiting_ = true;
    }
    // The next step may have appeared before the ancestor's watch took hold.
    if (!fs::is_directory(next, error)) return true;
  }
}

void Watch::handle(const FileChange& change) {
  const std::string& name = change.name;
  const fs::path path = directory_ / name;
  const std::string how = describe(change.change);
  if (change.change == Change::removed) {
    if (name == exchange::sessionFileName) check_.sessionChanged(change.change, std::nullopt);
    if (name == exchange::sessionFileName || name == exchange::statusFileName || name == "ready.json" ||
        name == "display.json" || name == "finished.json") {
      say(name + " removed");
    }
    return;
  }
  if (name == exchange::sessionFileName) {
    const auto read = exchange::readSession(directory_);
    std::string what;
    if (const auto* session = std::get_if<exchange::Session>(&read)) {
      char startedAt[48];
      std::snprintf(startedAt, sizeof startedAt, "%.0f", session->startedAt * 1000.0);
      what = "version " + jsonString(session->version) + ", parentPid " + std::to_string(session->parentPid) +
             ", startedAt " + startedAt + ", capture " + (session->capture ? "true" : "false");
    } else {
      what = "unusable: " + sessionFailureText(std::get<exchange::SessionFailure>(read));
    }
    say("session.json " + how + ": " + what);
    check_.sessionChanged(change.change, read);
  } else if (name == exchange::statusFileName) {
    const auto read = exchange::readJsonObject(path);
    // Its bytes are shown only when the program's reading steps refuse it.
    const bool refused = std::holds_alternative<exchange::ReadFailure>(read);
    const std::string bytes = refused ? readAll(path) : std::string();
    const exchange::StatusReport report = check_.statusChanged(change.change, read, bytes);
    say("status.json " + how + ": " +
        (refused ? "not a JSON object: " + jsonString(shorten(bytes))
                 : describe(Step{Step::Kind::status, 0, report.phase, report.message})));
  } else if (name == "ready.json") {
    const std::string bytes = readAll(path);
    say(readyLine(check_.readyChanged(change.change, bytes), bytes));
  } else if (name == "display.json") {
    const std::string bytes = readAll(path);
    say(displayLine(check_.displayChanged(change.change, bytes), bytes));
  } else if (name == "finished.json") {
    const std::string bytes = readAll(path);
    check_.finishedChanged(change.change, bytes);
    say("finished.json: " + bytes);
  } else if (name.ends_with(".png") && change.change != Change::present) {
    std::error_code ignored;
    const auto size = fs::file_size(path, ignored);
    check_.snapshotWritten(name);
    say("snapshot " + name + " (" + std::to_string(ignored ? 0 : (size + 1023) / 1024) + " KiB)");
  }
}

bool Watch::drain(int waitMs) {
  pollfd ready{fd_, POLLIN, 0};
  if (::poll(&ready, 1, waitMs) <= 0) return true;
  alignas(inotify_event) char buffer[64 * 1024];
  bool reattach = false;
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) say("too many changes at once: some were not seen");
      if (event->wd == ancestorWatch_ && ancestorWatch_ >= 0) {
        reattach = true;
      } else if (event->wd == directoryWatch_ && directoryWatch_ >= 0) {
        if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
          ::inotify_rm_watch(fd_, directoryWatch_);
          directoryWatch_ = -1;
          classifier_.reset();
          say("the exchange directory was removed");
          reattach = true;
        } else if (event->len > 0 && !(event->mask & IN_ISDIR)) {
          if (auto change = classifier_.event(event->mask, event->name)) handle(*change);
        }
      }
    }
  }
  for (const FileChange& change : classifier_.endOfBatch()) handle(change);
  return !reattach || attach();
}

bool Watch::namesDirectory(const fs::path& process, const std::string& argument) const {
  std::error_code error;
  fs::path given = argument.empty() ? fs::path(".") : fs::path(argument);
  if (given.is_relative()) given = fs::read_symlink(process / "cwd", error) / given;
  if (error) return false;
  const fs::path named = fs::weakly_canonical(given, error);
  if (error) return false;
  const fs::path watched = fs::weakly_canonical(directory_, error);
  return !error && named == watched;
}

void Watch::followProgram() {
  if (!check_.started()) {
    // The program's name, as the kernel keeps it: its first 15 bytes.
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
      const std::string pid = entry.path().filename().string();
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream comm(entry.path() / "comm");
      std::string name;
      if (!std::getline(comm, name) || name != std::string("OrvandaleUpdateProgress").substr(0, 15)) continue;
      const auto arguments = commandLine(entry.path());
      if (!arguments || arguments->empty()) continue;
      // A run with another number of arguments is this update's only when one names the directory.
      bool ours = false;
      for (std::size_t i = 1; i < arguments->size() && !ours; ++i) ours = namesDirectory(entry.path(), (*arguments)[i]);
      if (!ours) continue;
      // Whatever the updater wrote before it started the program is taken in first.
      if (!drain(0)) return;
      const int count = static_cast<int>(arguments->size()) - 1;
      say("the program started (pid " + pid + (count != 1 ? ", " + std::to_string(count) + " arguments" : "") + ")");
      check_.programStarted(std::stoi(pid), count, exchange::readSession(directory_));
      break;
    }
  }
  if (const auto pid = check_.programPid(); pid && !check_.programGone() && !running(*pid)) {
    drain(0);  // its last files come before its end
    say("the program (pid " + std::to_string(*pid) + ") ended");
    check_.programEnded();
  }
}

int Watch::run() {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) {
    std::perror("simulate-update: inotify_init1");
    return 1;
  }
  char limit[32];
  std::snprintf(limit, sizeof limit, "%g s", timeout_);
  std::printf("watching for finished.json and the program's end, for at most %s\n", limit);
  if (!attach()) return 2;
  const auto deadline = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_));
  bool timedOut = false;
  for (;;) {
    if (!drain(50)) return 2;
    followProgram();
    if (check_.programGone() && (check_.finishedSeen() || check_.completeWritten())) break;
    if (Clock::now() >= deadline) {
      timedOut = true;
      break;
    }
  }
  drain(0);
  if (timedOut) say("the watch's time is up");
  check_.finish(timeout_, timedOut);

  const auto pid = check_.programPid();
  std::printf("\nsummary: %s (%d in place), %s, %s, %s, program %s\n",
              countOf(static_cast<std::size_t>(check_.statusWrites()), "status write").c_str(), check_.statusWrittenInPlace(),
              countOf(check_.publications(), "publication").c_str(), countOf(check_.snapshots(), "snapshot file").c_str(),
              check_.finishedSeen() ? "finished" : "not finished",
              !pid ? "not seen" : ("pid " + std::to_string(*pid) + (check_.programGone() ? " ended" : " still running")).c_str());
  std::printf("exchange directory: %s\n", directory_.c_str());
  return printVerdict(check_.notes(), check_.breaches(), "the updater and the program kept to the protocol");
}

}  // namespace

int watchExchange(const std::filesystem::path& directory, double timeoutSeconds) {
  std::error_code error;
  fs::path absolute = fs::absolute(directory, error).lexically_normal();
  if (error) absolute = directory;
  if (absolute.has_relative_path() && !absolute.has_filename()) absolute = absolute.parent_path();  // a trailing "/"
  Watch watch(absolute, timeoutSeconds);
  return watch.run();
}

}  // namespace orvandale::simulate
