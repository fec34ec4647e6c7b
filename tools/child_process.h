#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvandale::process {

/// A child process, started the way the updater starts the program: its own arguments (the
/// first a path, or a name looked up in PATH), an optional working directory and environment
/// changes, stdin from /dev/null and stdout and stderr caught in files. The one way the tools
/// and the tests start, wait for and end a process. A child still running when the object goes
/// is killed and reaped.
class ChildProcess {
 public:
  struct Options {
    std::optional<std::filesystem::path> workingDirectory;
    std::map<std::string, std::optional<std::string>> environment;  // nullopt: unset the variable
    bool mergeOutput = false;  // stdout and stderr into one file, in the order they were written
  };

  /// Starts `argv`. Throws std::runtime_error when no directory for the output can be made or
  /// the process cannot be forked; a program that cannot be run ends the child with status 127.
  ChildProcess(const std::vector<std::string>& argv, const Options& options);
  /// Runs `body` in a forked child, which ends with the status it returns; the child's output
  /// is not caught. For a child that must be this program (a test of process services).
  /// Throws std::runtime_error when the process cannot be forked.
  explicit ChildProcess(const std::function<int()>& body);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  /// A child that does nothing until it is ended: a process standing in for another one.
  static std::function<int()> idle();

  pid_t pid() const { return pid_; }
  bool running();
  /// The exit status once the child has ended by itself within `timeout` (a child ended by a
  /// signal gives 128 + the signal number); nothing if it is still running.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  /// The signal that ended the child, once it has been reaped and if a signal ended it.
  std::optional<int> endingSignal() const { return endingSignal_; }
  /// Sends `signalNumber` to the child if it has not been reaped; whether it was sent.
  bool signal(int signalNumber);
  /// Ends the child with SIGKILL and reaps it.
  void kill();

  /// What the child wrote on stdout (with `mergeOutput`, on stdout and stderr together).
  std::string standardOutput() const;
  std::string standardError() const;

 private:
  void reaped(int rawStatus);

  pid_t pid_ = -1;
  std::optional<int> status_;
  std::optional<int> endingSignal_;
  std::filesystem::path outputs_;
};

}  // namespace orvandale::process
