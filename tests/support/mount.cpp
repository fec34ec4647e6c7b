#include "tests/support/mount.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

namespace orvandale::testing {

namespace {

std::string lastFailure(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

TestMount TestMount::readOnlyView(const std::filesystem::path& source, const std::filesystem::path& at) {
  if (::mount(source.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) return {{}, lastFailure("bind mount")};
  // A bind mount takes the read-only flag only when it is mounted again.
  if (::mount(nullptr, at.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
    const std::string failure = lastFailure("read-only remount");
    ::umount2(at.c_str(), MNT_DETACH);
    return {{}, failure};
  }
  return {at, {}};
}

TestMount TestMount::memory(const std::filesystem::path& at, std::size_t bytes) {
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    return {{}, lastFailure("tmpfs mount")};
  }
  return {at, {}};
}

TestMount::TestMount(TestMount&& other) noexcept : at_(std::move(other.at_)), failure_(std::move(other.failure_)) {
  other.at_.clear();
}

TestMount::~TestMount() {
  if (!at_.empty()) ::umount2(at_.c_str(), MNT_DETACH);
}

}  // namespace orvandale::testing
