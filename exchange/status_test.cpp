#include "exchange/status.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

#include "tests/support/temp_dir.h"

namespace orvandale::exchange {

void PrintTo(const StatusReport& status, std::ostream* out) {
  *out << "{phase=" << status.phase.value_or("<none>") << ", message=" << status.message.value_or("<none>") << "}";
}

namespace {

using testing::TempDir;
using testing::writeFile;

StatusReport report(std::optional<std::string> phase, std::optional<std::string> message = std::nullopt) {
  return StatusReport{std::move(phase), std::move(message)};
}

TEST(StatusTest, TakesPhaseAndMessageOnlyWhenTheyAreStrings) {
  const struct {
    const char* name;
    const char* content;
    StatusReport expected;
  } cases[] = {
      {"phase", R"({"phase":"installing"})", report("installing")},
      {"phase kept verbatim", R"({"phase":"Installing "})", report("Installing ")},
      {"empty phase", R"({"phase":""})", report("")},
      {"phase a number", R"({"phase":3})", report(std::nullopt)},
      {"phase null", R"({"phase":null})", report(std::nullopt)},
      {"phase an object", R"({"phase":{"name":"error"}})", report(std::nullopt)},
      {"message", R"({"phase":"error","message":"Disk full"})", report("error", "Disk full")},
      {"empty message", R"({"phase":"error","message":""})", report("error", "")},
      {"message a number", R"({"phase":"error","message":5})", report("error")},
      {"message with escapes", R"({"message":"a\nb \u0000 \"c\""})", report(std::nullopt, std::string("a\nb \0 \"c\"", 9))},
      {"extra keys", R"({"phase":"restarting","progress":0.5,"Phase":"error"})", report("restarting")},
      {"empty object", "{}", report(std::nullopt)},
      {"top-level array", R"([{"phase":"installing"}])", report(std::nullopt)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    writeFile(dir / "status.json", c.content);
    EXPECT_EQ(readStatus(dir.path()), c.expected);
  }
}

TEST(StatusTest, AFileThatCannotBeReadWholeOrParsedTellsNothing) {
  // What a reader meets while an updater rewrites the file in place, and files that never
  // hold a report: none of them is a report, not even an empty one.
  const struct {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
  } cases[] = {
      {"empty file", [](const std::filesystem::path& at) { writeFile(at, ""); }},
      {"cut off", [](const std::filesystem::path& at) { writeFile(at, R"({"phase":"instal)"); }},
      {"cut off after a whole member", [](const std::filesystem::path& at) { writeFile(at, R"({"phase":"error",)"); }},
      {"not JSON", [](const std::filesystem::path& at) { writeFile(at, "phase=installing"); }},
      {"a bare string, which is no object or array", [](const std::filesystem::path& at) { writeFile(at, R"("installing")"); }},
      {"invalid UTF-8", [](const std::filesystem::path& at) { writeFile(at, "{\"phase\":\"\xc3\x28\"}"); }},
      {"a directory", [](const std::filesystem::path& at) { std::filesystem::create_directory(at); }},
      {"a FIFO with no writer", [](const std::filesystem::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0); }},
      {"a symlink to /dev/zero", [](const std::filesystem::path& at) { std::filesystem::create_symlink("/dev/zero", at); }},
      {"a symlink to /dev/urandom",
       [](const std::filesystem::path& at) { std::filesystem::create_symlink("/dev/urandom", at); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    c.make(dir / "status.json");
    EXPECT_EQ(readStatus(dir.path()), std::nullopt);
  }
}

TEST(StatusTest, AMissingFileIsAnEmptyReport) {
  TempDir dir;
  EXPECT_EQ(readStatus(dir.path()), StatusReport{});
  std::filesystem::create_symlink(dir / "nowhere", dir / "status.json");
  EXPECT_EQ(readStatus(dir.path()), StatusReport{}) << "a dangling symlink";
  EXPECT_EQ(readStatus(dir / "gone"), StatusReport{}) << "the directory itself is gone";
  writeFile(dir / "file", "{}");
  EXPECT_EQ(readStatus(dir / "file"), StatusReport{}) << "the directory's path names a file";
}

TEST(StatusTest, ALargeFileIsReadWhole) {
  TempDir dir;
  const std::string message(8 * 1024 * 1024, 'm');
  writeFile(dir / "status.json", R"({"message":")" + message + R"(","phase":"error"})");
  const std::optional<StatusReport> got = readStatus(dir.path());
  ASSERT_TRUE(got);
  EXPECT_EQ(got->phase, "error");
  EXPECT_EQ(got->message, message);
}

}  // namespace
}  // namespace orvandale::exchange
