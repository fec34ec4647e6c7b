// What one poll costs, against the floor of what it has to do: reading status.json.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <variant>

#include "app/update_progress.h"
#include "exchange/session.h"
#include "exchange/status.h"
#include "platform/manual_platform.h"
#include "tests/support/temp_dir.h"
#include "ui/memory/memory_toolkit.h"

namespace orvandale {
namespace {

using testing::TempDir;
using testing::writeFile;

constexpr const char* session = R"({"version":"4.1.0","parentPid":1,"startedAt":1700000000000,"capture":false})";
constexpr const char* installing = R"({"phase":"installing"})";
constexpr const char* restarting = R"({"phase":"restarting"})";

/// A launched controller on the in-memory toolkit (not recording), over real files.
struct Launched {
  explicit Launched(const char* status) {
    writeFile(dir / "session.json", session);
    writeFile(dir / "status.json", status);
    toolkit.recording = false;
    platform.clock = 1'700'000'065.0;
    controller = std::get<std::shared_ptr<UpdateProgress>>(UpdateProgress::create(toolkit, platform, dir.path()));
    toolkit.setDelegate(controller);
    toolkit.run();
  }
  TempDir dir;
  ui::memory::MemoryToolkit toolkit;
  platform::ManualPlatform platform;
  std::shared_ptr<UpdateProgress> controller;
};

// The floor: open, read and close status.json, nothing else.
void BM_BareStatusRead(benchmark::State& state) {
  TempDir dir;
  writeFile(dir / "status.json", installing);
  const std::string path = (dir / "status.json").string();
  char buffer[256];
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    benchmark::DoNotOptimize(::read(fd, buffer, sizeof buffer));
    ::close(fd);
  }
}
BENCHMARK(BM_BareStatusRead);

// Reading status.json the program's way: regular files only, whole, parsed.
void BM_StatusRead(benchmark::State& state) {
  TempDir dir;
  writeFile(dir / "status.json", installing);
  for (auto _ : state) benchmark::DoNotOptimize(exchange::readStatus(dir.path()));
}
BENCHMARK(BM_StatusRead);

// A poll whose status has not changed: the clock, the read, the rules, the texts, the key.
void BM_UnchangedPoll(benchmark::State& state) {
  Launched launched(installing);
  for (auto _ : state) launched.controller->tick();
}
BENCHMARK(BM_UnchangedPoll);

// A poll that publishes: the phase alternates, so every poll writes display.json.
void BM_PublishingPoll(benchmark::State& state) {
  Launched launched(installing);
  bool flip = false;
  for (auto _ : state) {
    state.PauseTiming();
    writeFile(launched.dir / "status.json", flip ? installing : restarting);
    flip = !flip;
    state.ResumeTiming();
    launched.controller->tick();
  }
}
BENCHMARK(BM_PublishingPoll);

void BM_SessionLoading(benchmark::State& state) {
  TempDir dir;
  writeFile(dir / "session.json", session);
  for (auto _ : state) benchmark::DoNotOptimize(exchange::readSession(dir.path()));
}
BENCHMARK(BM_SessionLoading);

}  // namespace
}  // namespace orvandale

BENCHMARK_MAIN();
