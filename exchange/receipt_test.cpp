#include "exchange/receipt.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <limits>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace orvandale::exchange {
namespace {

using testing::entryNames;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

TEST(ReceiptTest, WritesCompactJsonByteForByte) {
  const struct {
    const char* name;
    Receipt values;
    const char* bytes;
  } cases[] = {
      {"completion", {{"phase", "complete"}}, R"({"phase":"complete"})"},
      {"handshake", {{"pid", std::int64_t{4242}}, {"windowId", std::int64_t{79691779}}}, R"({"pid":4242,"windowId":79691779})"},
      {"booleans stay booleans",
       {{"phase", "installing"}, {"canClose", false}},
       R"({"canClose":false,"phase":"installing"})"},
      {"extreme integers",
       {{"a", std::numeric_limits<std::int64_t>::min()}, {"b", std::numeric_limits<std::int64_t>::max()}},
       R"({"a":-9223372036854775808,"b":9223372036854775807})"},
      {"escapes", {{"t", "say \"hi\"\n\\ \x01"}}, R"({"t":"say \"hi\"\n\\ \u0001"})"},
      {"UTF-8 unchanged", {{"heading", "Preparing update…"}}, "{\"heading\":\"Preparing update\xe2\x80\xa6\"}"},
      {"empty string", {{"phase", ""}}, R"({"phase":""})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    writeReceiptFile(dir.path(), "out.json", c.values);
    EXPECT_EQ(readFile(dir / "out.json"), c.bytes);
    EXPECT_EQ(entryNames(dir.path()), std::set<std::string>{"out.json"}) << "a temporary file was left behind";
  }
}

TEST(ReceiptTest, ReplacesAnExistingFileAndGivesOrdinaryPermissions) {
  TempDir dir;
  writeFile(dir / "display.json", std::string(4096, 'x'));
  ASSERT_EQ(::chmod((dir / "display.json").c_str(), 0600), 0);
  writeReceiptFile(dir.path(), "display.json", {{"phase", "error"}});
  EXPECT_EQ(readFile(dir / "display.json"), R"({"phase":"error"})");

  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat info {};
  ASSERT_EQ(::stat((dir / "display.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0666 & ~mask);
}

TEST(ReceiptTest, ReplacesASymlinkRatherThanWritingThroughIt) {
  TempDir outside;
  TempDir dir;
  writeFile(outside / "victim", "untouched");
  std::filesystem::create_symlink(outside / "victim", dir / "ready.json");
  writeReceiptFile(dir.path(), "ready.json", {{"pid", std::int64_t{1}}});
  EXPECT_EQ(readFile(outside / "victim"), "untouched");
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "ready.json"));
  EXPECT_EQ(readFile(dir / "ready.json"), R"({"pid":1})");
}

TEST(ReceiptTest, SaysWhetherTheFileIsInPlaceAndLeavesNothingBehindOnFailure) {
  const Receipt record = {{"phase", "error"}, {"detail", std::string(4096, 'd')}};
  const struct {
    const char* name;
    bool ordinaryUserOnly;  // the superuser writes through this refusal
    std::function<void(const std::filesystem::path& dir)> make;
    Receipt values;
    bool inPlace;
  } cases[] = {
      {"an ordinary directory", false, [](const std::filesystem::path&) {}, record, true},
      {"a directory at the target's name", false,
       [](const std::filesystem::path& dir) { std::filesystem::create_directory(dir / "display.json"); }, record, false},
      {"a string that is not UTF-8", false, [](const std::filesystem::path&) {}, {{"detail", "\xff"}}, false},
      {"a read-only directory", true,
       [](const std::filesystem::path& dir) {
         std::filesystem::permissions(dir, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
       },
       record, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.ordinaryUserOnly && ::geteuid() == 0) continue;
    TempDir dir;
    c.make(dir.path());
    const std::set<std::string> before = entryNames(dir.path());
    EXPECT_EQ(writeReceiptFile(dir.path(), "display.json", c.values), c.inPlace);
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
    if (c.inPlace) {
      EXPECT_EQ(readFile(dir / "display.json"), *serialiseReceipt(c.values));
      EXPECT_EQ(entryNames(dir.path()), std::set<std::string>{"display.json"});
    } else {
      EXPECT_EQ(entryNames(dir.path()), before) << "a temporary file was left behind";
    }
  }
  {
    SCOPED_TRACE("missing directory");
    TempDir dir;
    EXPECT_FALSE(writeReceiptFile(dir / "gone", "finished.json", {{"phase", "complete"}}));
    EXPECT_FALSE(std::filesystem::exists(dir / "gone"));
    EXPECT_TRUE(entryNames(dir.path()).empty());
  }
  EXPECT_EQ(serialiseReceipt({{"detail", "\xff"}}), std::nullopt);
}

TEST(ReceiptTest, AWriteCutShortLeavesTheOldFileAndNoTemporaryFile) {
  // A file size limit makes the write fail part way, as a full disk does, for any user.
  TempDir dir;
  writeFile(dir / "display.json", "before");
  testing::ChildProcess child([&dir]() -> int {
    ::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead of ending the process
    const rlimit limit{16, RLIM_INFINITY};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    return writeReceiptFile(dir.path(), "display.json", {{"detail", std::string(4096, 'd')}}) ? 1 : 0;
  });
  EXPECT_EQ(child.wait(std::chrono::seconds(30)), 0) << "the cut-short write was said to be in place";
  EXPECT_EQ(readFile(dir / "display.json"), "before");
  EXPECT_EQ(entryNames(dir.path()), std::set<std::string>{"display.json"}) << "a temporary file was left behind";
}

TEST(SnapshotFileTest, CreatesOrTruncatesARegularFile) {
  TempDir dir;
  writeSnapshotFile(dir.path(), "installing.png", std::string("\x89PNG\0\1", 6));
  EXPECT_EQ(readFile(dir / "installing.png"), std::string("\x89PNG\0\1", 6));
  writeFile(dir / "error.png", std::string(1000, 'o'));
  writeSnapshotFile(dir.path(), "error.png", "new");
  EXPECT_EQ(readFile(dir / "error.png"), "new");
  writeSnapshotFile(dir.path(), ".png", "empty phase");
  EXPECT_EQ(readFile(dir / ".png"), "empty phase");
}

TEST(SnapshotFileTest, NeverWritesOutsideTheDirectory) {
  TempDir root;
  const auto dir = root / "exchange";
  std::filesystem::create_directory(dir);
  std::filesystem::create_directory(root / "sub");
  const std::string refused[] = {"../escape.png", "/tmp/orvandale-escape.png", "sub/../x.png", "a/b.png",
                                 std::string("x\0y.png", 7), "", ".", ".."};
  for (const std::string& name : refused) {
    SCOPED_TRACE(name);
    writeSnapshotFile(dir, name, "bytes");
  }
  EXPECT_TRUE(entryNames(dir).empty());
  EXPECT_EQ(entryNames(root.path()), (std::set<std::string>{"exchange", "sub"}));
  EXPECT_FALSE(std::filesystem::exists("/tmp/orvandale-escape.png"));
}

TEST(SnapshotFileTest, LeavesAnythingButAPlainFileAlone) {
  TempDir outside;
  TempDir dir;
  writeFile(outside / "victim", "untouched");
  std::filesystem::create_symlink(outside / "victim", dir / "linked.png");
  std::filesystem::create_hard_link(outside / "victim", dir / "hard.png");
  ASSERT_EQ(::mkfifo((dir / "fifo.png").c_str(), 0644), 0);
  std::filesystem::create_directory(dir / "dir.png");

  for (const char* name : {"linked.png", "hard.png", "fifo.png", "dir.png"}) {
    SCOPED_TRACE(name);
    writeSnapshotFile(dir.path(), name, "bytes");
  }
  EXPECT_EQ(readFile(outside / "victim"), "untouched");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "linked.png"));
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "fifo.png"));
}

}  // namespace
}  // namespace orvandale::exchange
