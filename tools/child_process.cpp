#include "tools/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace orvandale::process {

namespace {

std::string contentOf(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options) {
  if (argv.empty()) throw std::runtime_error("no program to run");
  std::error_code error;
  const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
  if (error) throw std::runtime_error("no directory for temporary files: " + error.message());
  std::string pattern = (temporary / "orvandale-child-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a directory in " + temporary.string());
  outputs_ = pattern;
  const std::string out = (outputs_ / "stdout").string();
  const std::string err = (outputs_ / "stderr").string();

  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) {
    std::filesystem::remove_all(outputs_, error);
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    // Only async-signal-safe calls from here on, but for setenv, which the child alone uses.
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = options.mergeOutput ? outFd : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int nullFd = ::open("/dev/null", O_RDONLY);
    if (outFd < 0 || errFd < 0 || nullFd < 0) ::_exit(126);
    ::dup2(nullFd, 0);
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    if (options.workingDirectory && ::chdir(options.workingDirectory->c_str()) != 0) ::_exit(126);
    for (const auto& [name, value] : options.environment) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
}

ChildProcess::ChildProcess(const std::function<int()>& body) {
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) ::_exit(body());
}

std::function<int()> ChildProcess::idle() {
  return [] {
    for (;;) ::pause();
    return 0;
  };
}

ChildProcess::~ChildProcess() {
  if (running()) kill();
  if (!outputs_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(outputs_, ignored);
  }
}

bool ChildProcess::running() { return !wait(std::chrono::milliseconds(0)).has_value(); }

void ChildProcess::reaped(int rawStatus) {
  if (WIFSIGNALED(rawStatus)) {
    endingSignal_ = WTERMSIG(rawStatus);
    status_ = 128 + WTERMSIG(rawStatus);
  } else {
    status_ = WEXITSTATUS(rawStatus);
  }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      reaped(raw);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ChildProcess::signal(int signalNumber) { return !status_ && ::kill(pid_, signalNumber) == 0; }

void ChildProcess::kill() {
  if (status_) return;
  ::kill(pid_, SIGKILL);
  int raw = 0;
  if (::waitpid(pid_, &raw, 0) == pid_) {
    reaped(raw);
  } else {
    status_ = 128 + SIGKILL;
    endingSignal_ = SIGKILL;
  }
}

std::string ChildProcess::standardOutput() const { return outputs_.empty() ? "" : contentOf(outputs_ / "stdout"); }
std::string ChildProcess::standardError() const { return outputs_.empty() ? "" : contentOf(outputs_ / "stderr"); }

}  // namespace orvandale::process
