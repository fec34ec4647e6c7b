#include "platform/termination_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace orvandale::platform {

namespace {

constexpr int handled[] = {SIGTERM, SIGINT, SIGHUP};

// The handler's only state: where to write. Lock-free, so the handler may read it.
std::atomic<int> signalPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free);

struct sigaction previous[sizeof handled / sizeof handled[0]];
bool installed[sizeof handled / sizeof handled[0]] = {};

// Only async-signal-safe calls: one write of one byte, errno kept for the code it interrupted.
// A full pipe drops the byte: the first signal already waits there.
extern "C" void onTerminationSignal(int signalNumber) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  const int fd = signalPipe.load();
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

TerminationSignals::TerminationSignals() {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    pipe_[0] = pipe_[1] = -1;
    return;
  }
  signalPipe.store(pipe_[1]);
  for (std::size_t i = 0; i < sizeof handled / sizeof handled[0]; ++i) {
    struct sigaction current {};
    if (::sigaction(handled[i], nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    ::sigemptyset(&action.sa_mask);
    // Restarted, so that no read or write of the program's own sees EINTR for it.
    action.sa_flags = SA_RESTART;
    installed[i] = ::sigaction(handled[i], &action, &previous[i]) == 0;
  }
}

TerminationSignals::~TerminationSignals() {
  for (std::size_t i = 0; i < sizeof handled / sizeof handled[0]; ++i) {
    if (installed[i]) ::sigaction(handled[i], &previous[i], nullptr);
    installed[i] = false;
  }
  signalPipe.store(-1);
  if (pipe_[0] >= 0) ::close(pipe_[0]);
  if (pipe_[1] >= 0) ::close(pipe_[1]);
}

int TerminationSignals::received() {
  unsigned char byte = 0;
  while (received_ == 0 && pipe_[0] >= 0) {
    const ssize_t got = ::read(pipe_[0], &byte, 1);
    if (got == 1) {
      received_ = byte;
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return received_;
}

void TerminationSignals::endBy(int signalNumber) {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigemptyset(&fallback.sa_mask);
  ::sigaction(signalNumber, &fallback, nullptr);
  sigset_t only;
  ::sigemptyset(&only);
  ::sigaddset(&only, signalNumber);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signalNumber);
  // Not reached for a signal whose default action ends the process; the status a shell
  // gives such a process is the next best thing.
  ::_exit(128 + signalNumber);
}

}  // namespace orvandale::platform
