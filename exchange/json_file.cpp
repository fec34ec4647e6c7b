#include "exchange/json_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvandale::exchange {

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

std::error_code lastError() { return {errno, std::generic_category()}; }

}  // namespace

std::variant<std::string, std::error_code> readRegularFile(const std::filesystem::path& path) {
  // O_NONBLOCK makes the open of a FIFO without a writer return at once; the type test below
  // then refuses it, like every other file that is not a regular one.
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) return lastError();

  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return lastError();
  if (!S_ISREG(info.st_mode)) return std::error_code(EINVAL, std::generic_category());

  std::string content;
  // The size is a hint only: the updater may be rewriting the file while it is read.
  content.resize(static_cast<std::size_t>(info.st_size) + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(content.size() * 2);
    const std::size_t wanted = content.size() - used;
    const ssize_t got = ::read(file.get(), content.data() + used, wanted);
    if (got < 0) {
      if (errno == EINTR) continue;
      return lastError();
    }
    used += static_cast<std::size_t>(got);
    // A regular file reads short only at its end; the buffer has room for one byte more than
    // the size seen, so a file read whole ends here without another call.
    if (static_cast<std::size_t>(got) < wanted) break;
  }
  content.resize(used);
  return content;
}

nlohmann::json parseObjectOrArray(const std::string& text) {
  nlohmann::json value = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!value.is_object() && !value.is_array()) return nlohmann::json(nlohmann::json::value_t::discarded);
  return value;
}

std::variant<nlohmann::json, ReadFailure> readJsonObject(const std::filesystem::path& path) {
  auto content = readRegularFile(path);
  if (auto* error = std::get_if<std::error_code>(&content)) {
    return ReadFailure{ReadFailure::Kind::unreadable, *error};
  }
  nlohmann::json value = parseObjectOrArray(std::get<std::string>(content));
  if (value.is_discarded()) return ReadFailure{ReadFailure::Kind::unparsable, {}};
  if (value.is_array()) return nlohmann::json::object();
  return value;
}

}  // namespace orvandale::exchange
