#include "tests/support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace orvandale::testing {

XvfbServer::XvfbServer() {
  int channel[2];
  if (::pipe(channel) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(channel[0]);
    const int quiet = ::open("/dev/null", O_RDWR);
    ::dup2(quiet, 0);
    ::dup2(quiet, 1);
    ::dup2(quiet, 2);
    const std::string fd = std::to_string(channel[1]);
    // Xvfb picks a free display number itself and writes it to the descriptor it is given.
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x800x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(channel[1]);
  std::string number;
  pollfd reading{channel[0], POLLIN, 0};
  char c = 0;
  while (pid_ > 0 && ::poll(&reading, 1, 10000) == 1 && ::read(channel[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(channel[0]);
  if (!number.empty()) display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

}  // namespace orvandale::testing
