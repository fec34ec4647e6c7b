// display.json and ready.json as another process sees them while the controller publishes as
// fast as it can (driven poll by poll, not by the half-second timer): every read finds a whole
// file, the one before or the one after, never a part of one or none at all.

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "app/update_progress.h"
#include "exchange/receipt.h"
#include "platform/manual_platform.h"
#include "progress/publication.h"
#include "progress/texts.h"
#include "tests/support/temp_dir.h"
#include "ui/memory/memory_toolkit.h"

namespace orvandale {
namespace {

namespace fs = std::filesystem;
namespace texts = progress::texts;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr int publications = 10000;

/// What a reader counted for one file.
struct Reads {
  long made = 0;
  long partial = 0;  // neither of the whole contents that may stand there
  long changes = 0;  // reads that found another content than the read before
};

/// Another process that reads files in a tight loop, each whole (open, read to the end,
/// close, as `readFile` does), and sorts every read: one of the contents that may stand
/// there, or not. Its counts lie in memory shared with the test, which may look at them at
/// any time.
class TightReader {
 public:
  TightReader(const std::vector<fs::path>& files, const std::vector<std::set<std::string>>& whole)
      : files_(files.size()) {
    void* shared = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED || files_ > maximumFiles) throw std::runtime_error("no shared memory");
    shared_ = std::construct_at(static_cast<Shared*>(shared));
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) run(files, whole, *shared_);
    // Reading has begun once the first round is done.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!shared_->started.load() && std::chrono::steady_clock::now() < deadline) ::usleep(1000);
    if (!shared_->started.load()) throw std::runtime_error("the reader did not start");
  }
  TightReader(const TightReader&) = delete;
  TightReader& operator=(const TightReader&) = delete;
  ~TightReader() {
    stop();
    std::destroy_at(shared_);
    ::munmap(shared_, sizeof(Shared));
  }

  /// What it has counted so far for the `index`-th file.
  Reads counted(std::size_t index) const {
    const Counters& counters = shared_->files[index];
    return {counters.made.load(), counters.partial.load(), counters.changes.load()};
  }

  /// Stops the reader and waits for it to end.
  void stop() {
    if (pid_ <= 0) return;
    shared_->stop.store(true);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  static constexpr std::size_t maximumFiles = 4;
  struct Counters {
    std::atomic<long> made{0};
    std::atomic<long> partial{0};
    std::atomic<long> changes{0};
  };
  struct Shared {
    std::atomic<bool> started{false};
    std::atomic<bool> stop{false};
    Counters files[maximumFiles];
  };

  [[noreturn]] static void run(const std::vector<fs::path>& files, const std::vector<std::set<std::string>>& whole,
                               Shared& shared) {
    std::vector<std::string> last(files.size());
    bool first = true;
    while (!shared.stop.load(std::memory_order_relaxed)) {
      for (std::size_t i = 0; i < files.size(); ++i) {
        std::string content = readFile(files[i]);
        Counters& counters = shared.files[i];
        counters.made.fetch_add(1, std::memory_order_relaxed);
        if (whole[i].count(content) == 0) counters.partial.fetch_add(1, std::memory_order_relaxed);
        if (!first && content != last[i]) counters.changes.fetch_add(1, std::memory_order_relaxed);
        last[i] = std::move(content);
      }
      if (first) shared.started.store(true);
      first = false;
    }
    ::_exit(0);
  }

  std::size_t files_;
  Shared* shared_ = nullptr;
  pid_t pid_ = -1;
};

std::string serialised(const exchange::Receipt& values) { return exchange::serialiseReceipt(values).value(); }

// An error message longer than a page of memory: a file written in place would be seen half
// written more often than not.
const std::string longMessage(6000, 'm');

TEST(AtomicityTest, AReaderNeverSeesAPartialDisplayOrReadyFile) {
  TempDir dir;
  writeFile(dir / "session.json", R"({"version":"4.1.0","parentPid":321,"startedAt":1700000000000})");
  writeFile(dir / "status.json", R"({"phase":"error","message":")" + longMessage + R"("})");
  ui::memory::MemoryToolkit toolkit;
  toolkit.recording = false;
  platform::ManualPlatform platform;
  platform.clock = 1'700'000'065.0;
  auto created = UpdateProgress::create(toolkit, platform, dir.path());
  ASSERT_TRUE(std::holds_alternative<std::shared_ptr<UpdateProgress>>(created));
  const auto controller = std::get<std::shared_ptr<UpdateProgress>>(created);
  toolkit.setDelegate(controller);
  toolkit.run();  // ready.json, then the first publication: error:true

  // What may stand at each name: closing, allowed by the error, stays allowed.
  const std::string error = serialised(progress::displayRecord("error", texts::attentionHeading, longMessage, true));
  const std::string installing =
      serialised(progress::displayRecord("installing", texts::installingHeading, texts::installingDetail, true));
  const exchange::Receipt readyValues[] = {
      {{"pid", std::int64_t{4242}}, {"windowId", std::int64_t{101}}},
      {{"pid", std::int64_t{1}}, {"windowId", std::int64_t{7}}},
      {{"pid", std::int64_t{2147483647}}, {"windowId", std::int64_t{9223372036854775807}}},
  };
  std::set<std::string> readyContents;
  for (const auto& values : readyValues) readyContents.insert(serialised(values));
  ASSERT_EQ(readFile(dir / "display.json"), error);
  ASSERT_EQ(readyContents.count(readFile(dir / "ready.json")), 1u);

  TightReader reader({dir / "display.json", dir / "ready.json"}, {{error, installing}, readyContents});
  int published = 0;
  for (int poll = 0; poll < publications; ++poll) {
    const bool toInstalling = poll % 2 == 0;
    writeFile(dir / "status.json",
              toInstalling ? R"({"phase":"installing"})" : R"({"phase":"error","message":")" + longMessage + R"("})");
    controller->tick();
    if (readFile(dir / "display.json") == (toInstalling ? installing : error)) ++published;
    controller->writeReceipt("ready.json", readyValues[1 + poll % 2]);
  }
  reader.stop();
  const Reads reads[] = {reader.counted(0), reader.counted(1)};

  std::cout << "display.json: " << published << " publications, " << reads[0].made << " reads, " << reads[0].changes
            << " changes seen, " << reads[0].partial << " partial\n"
            << "ready.json: " << publications << " writes, " << reads[1].made << " reads, " << reads[1].changes
            << " changes seen, " << reads[1].partial << " partial\n";
  ::testing::Test::RecordProperty("displayReads", std::to_string(reads[0].made));
  ::testing::Test::RecordProperty("displayPartialReads", std::to_string(reads[0].partial));
  ::testing::Test::RecordProperty("readyReads", std::to_string(reads[1].made));
  ::testing::Test::RecordProperty("readyPartialReads", std::to_string(reads[1].partial));

  EXPECT_EQ(published, publications);
  EXPECT_EQ(reads[0].partial, 0);
  EXPECT_EQ(reads[1].partial, 0);
  // The reads overlapped the writes: the reader saw the files change under it.
  EXPECT_GE(reads[0].changes, 100);
  EXPECT_GE(reads[1].changes, 100);
  EXPECT_EQ(testing::entryNames(dir.path()), (std::set<std::string>{"display.json", "ready.json", "session.json", "status.json"}))
      << "a temporary file was left behind";
}

// The same reader against the same records written in place (truncated, then written), as
// the snapshot is: it does catch partial files, so the figure above is not vacuous.
TEST(AtomicityTest, TheReaderCatchesAFileWrittenInPlace) {
  TempDir dir;
  const std::string error = serialised(progress::displayRecord("error", texts::attentionHeading, longMessage, true));
  const std::string installing =
      serialised(progress::displayRecord("installing", texts::installingHeading, texts::installingDetail, true));
  exchange::writeSnapshotFile(dir.path(), "inplace.json", error);

  TightReader reader({dir / "inplace.json"}, {{error, installing}});
  // Batches of writes until the reader has caught a partial file, a hundred thousand at most.
  long writes = 0;
  while (writes < 10 * publications && reader.counted(0).partial == 0) {
    for (int i = 0; i < 1000; ++i, ++writes) {
      exchange::writeSnapshotFile(dir.path(), "inplace.json", writes % 2 == 0 ? installing : error);
    }
  }
  reader.stop();
  const Reads reads[] = {reader.counted(0)};
  std::cout << "written in place: " << writes << " writes, " << reads[0].made << " reads, " << reads[0].partial
            << " partial\n";
  EXPECT_GT(reads[0].partial, 0) << "the reader cannot tell a partial file";
}

}  // namespace
}  // namespace orvandale
