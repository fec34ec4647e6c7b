#include "tests/support/file_events.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace orvandale::testing {

FileEvents::FileEvents(const std::filesystem::path& directory, std::uint32_t mask)
    : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
  EXPECT_GE(fd_, 0) << "inotify_init1: " << std::strerror(errno);
  if (fd_ >= 0) {
    EXPECT_GE(::inotify_add_watch(fd_, directory.c_str(), mask), 0) << "cannot watch " << directory;
  }
}

FileEvents::~FileEvents() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> FileEvents::next(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (pending_.size() < sizeof(inotify_event)) {
    char buffer[64 * 1024];
    const ssize_t got = fd_ < 0 ? -1 : ::read(fd_, buffer, sizeof buffer);
    if (got > 0) {
      pending_.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno != EAGAIN && errno != EINTR) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd readable{fd_, POLLIN, 0};
    ::poll(&readable, 1, static_cast<int>(left.count()));
  }
  inotify_event event;
  std::memcpy(&event, pending_.data(), sizeof event);
  const std::size_t size = sizeof(inotify_event) + event.len;
  std::string name = event.len > 0 ? std::string(pending_.data() + sizeof(inotify_event)) : std::string();
  pending_.erase(0, size);
  return name;
}

bool FileEvents::awaitOn(const std::string& name, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const std::optional<std::string> got = next(left.count() > 0 ? left : std::chrono::milliseconds(0));
    if (!got) return false;
    if (*got == name) return true;
  }
}

void FileEvents::drain() {
  while (next(std::chrono::milliseconds(0))) {
  }
}

}  // namespace orvandale::testing
