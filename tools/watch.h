#pragma once

#include <sys/inotify.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "exchange/json_file.h"
#include "exchange/session.h"
#include "exchange/status.h"
#include "tools/protocol_check.h"

namespace orvandale::simulate {

/// How a file of a watched directory came to hold what it holds.
enum class Change {
  renamed,  ///< a whole file renamed over the name: a reader sees the old file or the new one
  inPlace,  ///< written at its name (an existing file rewritten, or a file created there and
            ///< then written): a reader can meet it empty or half written
  placed,   ///< a complete file given the name without a write (a hard or symbolic link)
  present,  ///< already there when the watch reached the directory; how it was written is unknown
  removed,  ///< removed, or renamed to another name
};

/// Words for `change` in the timeline: "renamed into place", "written in place", …
const char* describe(Change change);

struct FileChange {
  std::string name;
  Change change;

  bool operator==(const FileChange&) const = default;
};

/// Tells from a directory's inotify events how each file in it was written.
///
/// A rename over the name (IN_MOVED_TO) delivers a whole file at once. Everything else that
/// writes at the name is writing in place: an existing file that is modified (a truncating
/// open counts: it reports IN_MODIFY), or a new file that its creator opens at the name
/// (IN_CREATE, then IN_OPEN from the same system call) and writes; the write is complete at
/// IN_CLOSE_WRITE. A new name that nobody opens for writing is a link to a complete file.
/// Readers' opens (the program's polls, the watch's own reads) change nothing.
class WriteClassifier {
 public:
  /// Every event the classifier needs from the directory's watch.
  static constexpr std::uint32_t eventMask = IN_CREATE | IN_OPEN | IN_MODIFY | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE |
                                             IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;

  /// One event of the directory's watch, for the file `name`; the change it completes, if any.
  std::optional<FileChange> event(std::uint32_t mask, const std::string& name);

  /// After the last event of one read: new names that nobody opened are complete links. A new
  /// file still open stays undecided until its next event.
  std::vector<FileChange> endOfBatch();

  /// Forgets every undecided file (the directory went away).
  void reset() { pending_.clear(); }

 private:
  enum class State {
    created,  ///< a new name, not opened since
    opened,   ///< a new name opened once since: by its creator, or by a reader
    writing,  ///< modified since its last complete version
  };
  std::map<std::string, State> pending_;
};

/// The breaches and notes of a watched update, on both sides, from the directory's files as
/// they change and the program's process as it is seen. Every breach begins with the side
/// that broke the protocol: "updater: " or "program: ".
class WatchCheck {
 public:
  using SessionRead = std::variant<exchange::Session, exchange::SessionFailure>;
  using ObjectRead = std::variant<nlohmann::json, exchange::ReadFailure>;

  /// The program's process was seen running, with this many arguments and session.json as
  /// the program's own reader read it then. Marks the program's start.
  void programStarted(int pid, int arguments, const SessionRead& session);

  /// session.json changed; `read` is the program's own reader's result (nothing: removed).
  /// Any change but its removal after the program's start is a breach.
  void sessionChanged(Change how, const std::optional<SessionRead>& read);

  /// status.json changed; `read` is the program's own reading steps' result, `bytes` the file
  /// (needed only when `read` failed). Returns the phase and message the program takes from it.
  exchange::StatusReport statusChanged(Change how, const ObjectRead& read, const std::string& bytes);

  /// One of the program's files changed: its bytes as they are now.
  nlohmann::json readyChanged(Change how, const std::string& bytes);
  nlohmann::json displayChanged(Change how, const std::string& bytes);
  void finishedChanged(Change how, const std::string& bytes);
  void snapshotWritten(const std::string& name) { snapshots_.insert(name); }

  /// The program's process (pid known from its start or ready.json) is gone.
  void programEnded();

  /// At the end of the watch, after `seconds`; `timedOut` when it ended by the timeout.
  void finish(double seconds, bool timedOut);

  std::vector<std::string> breaches() const;
  const std::vector<std::string>& notes() const { return notes_; }

  std::optional<int> programPid() const { return pid_; }
  bool started() const { return started_; }
  bool programGone() const { return ended_; }
  bool completeWritten() const { return completeWritten_; }
  bool finishedSeen() const { return check_ && check_->finishedSeen(); }
  std::size_t publications() const { return check_ ? check_->publications().size() : 0; }
  int statusWrites() const { return statusWrites_; }
  int statusWrittenInPlace() const { return static_cast<int>(inPlacePhases_.size()); }
  std::size_t snapshots() const { return snapshots_.size(); }

 private:
  /// The program's side, made once the program's pid is known (or at the end), with every
  /// status and file of the program so far, in order.
  ProtocolCheck& program();
  /// A display.json or finished.json: checked at once when the pid is known, else kept.
  void programFile(bool finished, const std::string& bytes);
  void sessionBreach(const SessionRead& read, const char* when);
  void programWroteInPlace(Change how, const char* name);

  std::optional<ProtocolCheck> check_;
  std::optional<int> pid_;
  bool started_ = false;
  bool ended_ = false;
  bool ready_ = false;
  bool capture_ = false;
  bool completeWritten_ = false;
  bool closingAllowed_ = false;
  bool sessionFault_ = false;  // a breach about session.json explains an early end already
  std::optional<SessionRead> session_;
  struct Logged {
    enum class Kind { status, display, finished } kind;
    std::optional<std::string> phase;  // of a status
    std::string bytes;                 // of a file of the program
  };
  std::vector<Logged> log_;
  std::set<std::string> notedPhases_;
  std::set<std::string> snapshots_;
  int statusWrites_ = 0;
  std::vector<std::string> inPlacePhases_;  // of each status.json written in place, in order
  int invalid_ = 0;
  std::string firstInvalid_;
  int sessionChangesAfterStart_ = 0;
  std::vector<std::string> updater_;
  std::vector<std::string> program_;
  std::vector<std::string> notes_;
};

/// simulate-update --watch: follows `directory` (made later, if need be) with inotify until
/// finished.json has appeared and the program has ended, or `timeoutSeconds` have passed;
/// prints the timeline of both sides and the breaches. Writes nothing into the directory.
/// Returns the exit status: 0 both sides kept to the protocol, 1 not, 2 unusable directory.
int watchExchange(const std::filesystem::path& directory, double timeoutSeconds);

}  // namespace orvandale::simulate
