#include "exchange/receipt.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace orvandale::exchange {

namespace {

// The permissions of an ordinary new file: 0666 less the process's umask.
mode_t ordinaryFileMode() {
  static const mode_t mode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

bool isPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::optional<std::string> serialiseReceipt(const Receipt& values) {
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [key, value] : values) {
    // An init-capture: clang before 16 cannot capture a structured binding by name.
    std::visit([&object, &name = key](const auto& v) { object[name] = v; }, value);
  }
  try {
    return object.dump();
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;  // a string that is not valid UTF-8
  }
}

bool writeReceiptFile(const std::filesystem::path& directory, std::string_view name, const Receipt& values) {
  const std::optional<std::string> text = serialiseReceipt(values);
  if (!text) return false;

  // The temporary file lies in the exchange directory itself, so the rename never crosses a
  // file system and replaces the target in one step.
  std::string hidden = ".";
  hidden.append(name).append(".XXXXXX");
  std::string temporary = (directory / hidden).string();
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;

  bool written = ::fchmod(fd, ordinaryFileMode()) == 0 && writeAll(fd, *text);
  written = (::close(fd) == 0) && written;
  if (!written || ::rename(temporary.c_str(), (directory / name).c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

void writeSnapshotFile(const std::filesystem::path& directory, std::string_view name, std::string_view bytes) {
  if (!isPlainFileName(name)) return;
  const std::filesystem::path target = directory / name;
  // No O_TRUNC here: the file is truncated only once it has been found to be a regular file
  // with no other name, so nothing outside the exchange directory can be touched through it.
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                        static_cast<mode_t>(0666));
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 && ::ftruncate(fd, 0) == 0) {
    writeAll(fd, bytes);
  }
  ::close(fd);
}

}  // namespace orvandale::exchange
