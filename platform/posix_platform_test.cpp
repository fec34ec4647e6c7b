#include "platform/posix_platform.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "tests/support/process.h"

namespace orvandale::platform {
namespace {

using testing::ChildProcess;

// The user an ordinary process runs as on Debian: nobody/nogroup.
constexpr uid_t unprivilegedUser = 65534;
constexpr gid_t unprivilegedGroup = 65534;

TEST(PosixPlatformTest, FindsALivingProcessAliveAndEveryOtherIdGone) {
  PosixPlatform platform;
  ChildProcess living(ChildProcess::idle());
  ChildProcess reaped(ChildProcess::idle());
  reaped.kill();

  const struct {
    const char* name;
    std::int32_t pid;
    bool alive;
  } cases[] = {
      {"this process", static_cast<std::int32_t>(::getpid()), true},
      {"a living child", static_cast<std::int32_t>(living.pid()), true},
      {"a child that ended and was reaped", static_cast<std::int32_t>(reaped.pid()), false},
      {"0, which kill(2) takes for this process group", 0, false},
      {"-1, which kill(2) takes for every process it may signal", -1, false},
      {"minus this process group", -static_cast<std::int32_t>(::getpgrp()), false},
      {"the lowest 32-bit value", INT32_MIN, false},
      {"the highest 32-bit value, above any pid", INT32_MAX, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform.processExists(c.pid), c.alive);
  }
  EXPECT_EQ(platform.processIdentifier(), static_cast<std::int32_t>(::getpid()));
}

TEST(PosixPlatformTest, AProcessThisOneMayNotSignalIsGone) {
  // A child that drops its privileges first (it has none to drop when the test runs as an
  // ordinary user), then asks about process 1, which exists and belongs to another user.
  ChildProcess child([]() -> int {
    if (::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(unprivilegedGroup) != 0 || ::setuid(unprivilegedUser) != 0) return 10;
    }
    if (::kill(1, 0) == 0) return 11;  // the test cannot tell "may not" from "gone" here
    if (errno != EPERM) return 12;
    PosixPlatform platform;
    return platform.processExists(1) ? 1 : 0;
  });
  const std::optional<int> status = child.wait(std::chrono::seconds(30));
  ASSERT_TRUE(status);
  if (*status == 11) GTEST_SKIP() << "process 1 belongs to the user the test runs as";
  ASSERT_NE(*status, 10) << "cannot drop privileges";
  ASSERT_NE(*status, 12) << "process 1 does not exist here";
  EXPECT_EQ(*status, 0) << "a process that may not be signalled was found alive";
}

TEST(PosixPlatformTest, TheClockIsTheWallClock) {
  PosixPlatform platform;
  const double before = static_cast<double>(::time(nullptr));
  const double now = platform.now();
  const double after = static_cast<double>(::time(nullptr));
  EXPECT_GE(now, before);
  EXPECT_LT(now, after + 1);
}

}  // namespace
}  // namespace orvandale::platform
