#pragma once

#include <filesystem>
#include <string>

namespace orvandale::testing {

/// A file system that a test mounts for its own use, unmounted when the object goes. Mounting
/// needs the privilege to mount (root, or CAP_SYS_ADMIN); where that is missing, `mounted()`
/// is false and `failure()` says why, for the test to report.
class TestMount {
 public:
  /// `source` seen again at `at`, where nothing can be written, though `source` stays writable.
  static TestMount readOnlyView(const std::filesystem::path& source, const std::filesystem::path& at);
  /// A fresh memory file system at `at` of `bytes` bytes.
  static TestMount memory(const std::filesystem::path& at, std::size_t bytes);

  TestMount(TestMount&& other) noexcept;
  TestMount& operator=(TestMount&&) = delete;
  TestMount(const TestMount&) = delete;
  ~TestMount();

  bool mounted() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }

 private:
  TestMount(std::filesystem::path at, std::string failure) : at_(std::move(at)), failure_(std::move(failure)) {}

  std::filesystem::path at_;  // empty once moved from, or when nothing was mounted
  std::string failure_;
};

}  // namespace orvandale::testing
