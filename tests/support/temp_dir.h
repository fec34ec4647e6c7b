#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <string_view>

namespace orvandale::testing {

/// A fresh directory under the system's temporary directory, removed with all its contents
/// when the object goes.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// Writes `content` to `path`, replacing what was there; fails the test when it cannot.
void writeFile(const std::filesystem::path& path, std::string_view content);

/// Replaces `path` with a file holding `content` in one step (a file written beside it, then
/// renamed), as an updater that never lets a reader see a partial file; fails the test when
/// it cannot.
void replaceFile(const std::filesystem::path& path, std::string_view content);

/// The whole content of `path`, or "<missing>" when it cannot be read.
std::string readFile(const std::filesystem::path& path);

/// The names of the entries directly in `directory`.
std::set<std::string> entryNames(const std::filesystem::path& directory);

}  // namespace orvandale::testing
