#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace orvandale::testing {

/// What happens to the files of one directory, as inotify(7) tells it: lets a test act at the
/// moment another process opens, reads or creates a file, rather than after a guessed delay.
class FileEvents {
 public:
  /// Watches `directory` for the events in `mask` (IN_CREATE, IN_CLOSE_NOWRITE, ...). Fails the
  /// test when the watch cannot be set.
  FileEvents(const std::filesystem::path& directory, std::uint32_t mask);
  FileEvents(const FileEvents&) = delete;
  FileEvents& operator=(const FileEvents&) = delete;
  ~FileEvents();

  /// The name of the next file an event of the mask happened to, waiting for at most `bound`
  /// (a bound against a hang, not a measure); nothing when none came.
  std::optional<std::string> next(std::chrono::milliseconds bound);
  /// Waits for an event of the mask on the file `name`, skipping those on other files; whether
  /// one came within `bound`.
  bool awaitOn(const std::string& name, std::chrono::milliseconds bound);
  /// Drops the events that have come so far.
  void drain();

 private:
  int fd_ = -1;
  std::string pending_;  // events read but not yet handed out
};

}  // namespace orvandale::testing
