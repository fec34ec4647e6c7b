#include "fuzz/scratch.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace orvandale::fuzz {

void check(bool holds, std::string_view promise) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %.*s\n", static_cast<int>(promise.size()), promise.data());
  std::abort();
}

namespace {

// Made at first use; removed by its destructor when the process exits normally.
class Scratch {
 public:
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvandale-fuzz-XXXXXX").string();
    check(::mkdtemp(pattern.data()) != nullptr, "a scratch directory can be made");
    path = pattern;
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }

  std::filesystem::path path;
};

}  // namespace

const std::filesystem::path& scratchDirectory() {
  static const Scratch scratch;
  return scratch.path;
}

void writeBytes(const std::filesystem::path& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  check(fd >= 0, "the fuzz target can write its input");
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    check(written > 0, "the fuzz target can write its input");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  ::close(fd);
}

std::string readBytes(const std::filesystem::path& path, bool* found) {
  std::string content;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (found != nullptr) *found = fd >= 0;
  if (fd < 0) return content;
  char block[4096];
  for (;;) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    content.append(block, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return content;
}

nlohmann::json wholeParse(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return nlohmann::json(nlohmann::json::value_t::discarded);
  return nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
}

std::set<std::string> entryNames(const std::filesystem::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) names.insert(entry.path().filename().string());
  return names;
}

void emptyDirectory(const std::filesystem::path& directory) {
  for (const auto& entry : std::filesystem::directory_iterator(directory)) std::filesystem::remove_all(entry.path());
}

}  // namespace orvandale::fuzz
