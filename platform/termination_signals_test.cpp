#include "platform/termination_signals.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "tests/support/process.h"

namespace orvandale::platform {
namespace {

using testing::ChildProcess;

// Each case runs in a child of its own: the handlers and the ending are the whole process's.
constexpr int noneYet = 20, notReadable = 21, otherSignal = 22, notQueued = 23, afterSecond = 24, reachedEnd = 25;

bool readable(int fd) {
  pollfd watch{fd, POLLIN, 0};
  return ::poll(&watch, 1, 0) == 1 && (watch.revents & POLLIN) != 0;
}

TEST(TerminationSignalsTest, ASignalOnlyQueuesAnEventAndTheEndIsThatSignals) {
  for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signalNumber));
    ChildProcess child([signalNumber]() -> int {
      TerminationSignals signals;
      if (signals.received() != 0) return noneYet;
      if (readable(signals.readableDescriptor())) return noneYet;
      ::raise(signalNumber);  // handled at once: the process goes on
      if (!readable(signals.readableDescriptor())) return notReadable;
      ::raise(SIGTERM == signalNumber ? SIGHUP : SIGTERM);  // a second one changes nothing
      if (signals.received() != signalNumber) return otherSignal;
      if (signals.received() != signalNumber) return afterSecond;
      TerminationSignals::endBy(signals.received());
    });
    ASSERT_TRUE(child.wait(std::chrono::seconds(30)));
    EXPECT_EQ(child.endingSignal(), signalNumber) << "status " << child.wait(std::chrono::seconds(0)).value_or(-1);
  }
}

TEST(TerminationSignalsTest, ASignalIgnoredAtTheStartStaysIgnored) {
  ChildProcess child([]() -> int {
    ::signal(SIGHUP, SIG_IGN);
    TerminationSignals signals;
    ::raise(SIGHUP);
    if (signals.received() != 0) return notQueued;
    ::raise(SIGTERM);
    if (signals.received() != SIGTERM) return otherSignal;
    return reachedEnd;
  });
  EXPECT_EQ(child.wait(std::chrono::seconds(30)), reachedEnd);
}

TEST(TerminationSignalsTest, TheDefaultActionsComeBackWhenItGoes) {
  ChildProcess child([]() -> int {
    { TerminationSignals signals; }
    ::raise(SIGINT);
    return reachedEnd;
  });
  ASSERT_TRUE(child.wait(std::chrono::seconds(30)));
  EXPECT_EQ(child.endingSignal(), SIGINT);
}

}  // namespace
}  // namespace orvandale::platform
