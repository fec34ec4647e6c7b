#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvandale::testing {

/// A child process started the way the updater starts the program: its own arguments (the
/// first a path, or a name looked up in PATH), an
/// optional working directory and environment changes, stdout and stderr caught in files.
/// A child still running when the object goes is killed.
class ChildProcess {
 public:
  struct Options {
    std::optional<std::filesystem::path> workingDirectory;
    std::map<std::string, std::optional<std::string>> environment;  // nullopt: unset the variable
  };

  ChildProcess(const std::vector<std::string>& argv, const Options& options);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  bool running();
  /// The exit status once the child has ended by itself within `timeout` (a child ended by a
  /// signal gives 128 + the signal number); nothing if it is still running.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  /// Ends the child with SIGKILL and reaps it.
  void kill();

  std::string standardOutput() const;
  std::string standardError() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::filesystem::path outputs_;
};

/// Waits until `path` exists, for at most `timeout`.
bool waitForFile(const std::filesystem::path& path, std::chrono::milliseconds timeout);

}  // namespace orvandale::testing
