#include "exchange/json_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <new>
#include <stdexcept>
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
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

std::error_code lastError() { return {errno, std::generic_category()}; }

std::error_code noMemory() { return {ENOMEM, std::generic_category()}; }

// O_NONBLOCK makes the open of a FIFO without a writer return at once; the type test then
// refuses it, like every other file that is not a regular one. On success `size` is the size
// fstat gave, a hint only: the updater may be rewriting the file while it is read.
std::error_code openRegularFile(const std::filesystem::path& path, FileDescriptor& file, std::size_t& size) {
  file.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) return lastError();
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return lastError();
  if (!S_ISREG(info.st_mode)) return std::error_code(EINVAL, std::generic_category());
  size = static_cast<std::size_t>(info.st_size);
  return {};
}

// The bytes of an open regular file, read block by block as the parser takes them: however
// large the file says it is, no more than one block is held, and a text that is refused early
// (a file of zeros, say) is refused after its first block.
class FileBytes {
 public:
  // A file that fits gets one block with room for one byte more than its size, so that a
  // short read, which a regular file gives only at its end, ends it without another call.
  FileBytes(int fd, std::size_t sizeHint) : fd_(fd), block_(std::min(sizeHint, maximumBlock - 1) + 1, '\0') {}

  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    Iterator() = default;  // the end
    explicit Iterator(FileBytes& bytes) : bytes_(&bytes) {}
    reference operator*() const { return *bytes_->next_; }
    Iterator& operator++() {
      ++bytes_->next_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    // Only the end is ever compared against: two iterators are equal when both are at it.
    bool operator==(const Iterator& other) const { return atEnd() == other.atEnd(); }

   private:
    bool atEnd() const { return bytes_ == nullptr || bytes_->exhausted(); }
    FileBytes* bytes_ = nullptr;
  };

  /// The first read error, if reading stopped at one.
  std::error_code error() const { return error_; }
  /// Whether a block read so far held a NUL byte.
  bool heldNul() const { return heldNul_; }

 private:
  static constexpr std::size_t maximumBlock = 64 * 1024;

  bool exhausted() { return next_ == end_ && !refill(); }

  bool refill() {
    while (!ended_) {
      const ssize_t got = ::read(fd_, block_.data(), block_.size());
      if (got < 0) {
        if (errno == EINTR) continue;
        error_ = lastError();
        ended_ = true;
        return false;
      }
      next_ = block_.data();
      end_ = next_ + got;
      if (std::memchr(next_, '\0', static_cast<std::size_t>(got)) != nullptr) heldNul_ = true;
      if (static_cast<std::size_t>(got) < block_.size()) ended_ = true;
      if (got > 0) return true;
    }
    return false;
  }

  int fd_;
  std::string block_;
  const char* next_ = nullptr;
  const char* end_ = nullptr;
  bool ended_ = false;
  bool heldNul_ = false;
  std::error_code error_;
};

// Keeps what the readers look up, the members of a top-level object, and no more. A member
// whose value is an object or an array keeps an empty one of its kind: its type is all a
// reader can ask of it. Whatever is nested deeper is checked to be valid JSON and dropped, so
// a text costs a few bytes of memory per byte of it however it nests, not a value for every
// bracket.
class TopLevelMembers final : public nlohmann::json::json_sax_t {
 public:
  using json = nlohmann::json;

  bool null() override { return keep(nullptr); }
  bool boolean(bool value) override { return keep(value); }
  bool number_integer(json::number_integer_t value) override { return keep(value); }
  bool number_unsigned(json::number_unsigned_t value) override { return keep(value); }
  bool number_float(json::number_float_t value, const json::string_t&) override { return keep(value); }
  bool string(json::string_t& value) override { return keep(std::move(value)); }
  bool binary(json::binary_t&) override { return true; }  // no JSON text has one
  bool start_object(std::size_t) override { return open(json::object()); }
  bool key(json::string_t& name) override {
    if (depth_ == 1) key_ = std::move(name);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(json::array()); }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const json::exception&) override { return false; }

  /// The top-level object or array, or a discarded value when the text has neither at the top.
  json take() { return std::move(result_); }

 private:
  template <class Value>
  bool keep(Value&& value) {
    // A member of the top-level object, the later of two of the same name winning. A scalar
    // at the top leaves the result discarded.
    if (depth_ == 1 && result_.is_object()) result_[key_] = json(std::forward<Value>(value));
    return true;
  }
  bool open(json&& empty) {
    if (depth_ == 0) {
      result_ = std::move(empty);
    } else {
      keep(std::move(empty));
    }
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::size_t depth_ = 0;
  json::string_t key_;
  json result_ = json(json::value_t::discarded);
};

// The library takes a NUL byte for the end of the text, so that "{}" followed by a NUL and
// anything at all would pass; JSON has no place for a NUL outside a string (nor, unescaped,
// inside one), and the caller refuses any text that holds one.
nlohmann::json topLevelMembers(FileBytes& bytes) {
  TopLevelMembers members;
  if (!nlohmann::json::sax_parse(FileBytes::Iterator(bytes), FileBytes::Iterator(), &members)) {
    return nlohmann::json(nlohmann::json::value_t::discarded);
  }
  return members.take();
}

}  // namespace

std::variant<nlohmann::json, ReadFailure> readJsonObject(const std::filesystem::path& path) {
  FileDescriptor file(-1);
  std::size_t size = 0;
  if (const std::error_code error = openRegularFile(path, file, size)) {
    return ReadFailure{ReadFailure::Kind::unreadable, error};
  }

  nlohmann::json value;
  try {
    FileBytes bytes(file.get(), size);
    value = topLevelMembers(bytes);
    if (bytes.error()) return ReadFailure{ReadFailure::Kind::unreadable, bytes.error()};
    if (bytes.heldNul()) value = nlohmann::json(nlohmann::json::value_t::discarded);
  } catch (const std::bad_alloc&) {
    return ReadFailure{ReadFailure::Kind::unreadable, noMemory()};
  } catch (const std::length_error&) {
    return ReadFailure{ReadFailure::Kind::unreadable, noMemory()};
  }
  if (value.is_discarded()) return ReadFailure{ReadFailure::Kind::unparsable, {}};
  if (value.is_array()) return nlohmann::json::object();
  return value;
}

}  // namespace orvandale::exchange
