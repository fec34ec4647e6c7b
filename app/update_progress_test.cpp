#include "app/update_progress.h"

#include <gtest/gtest.h>

#include "platform/manual_platform.h"
#include "tests/support/temp_dir.h"
#include "ui/memory/memory_toolkit.h"

namespace orvandale {
namespace {

using testing::entryNames;
using testing::TempDir;
using testing::writeFile;
using ui::memory::MemoryToolkit;

constexpr const char* validSession = R"({"version":"4.1.0","parentPid":321,"startedAt":1799999940000})";

class UpdateProgressTest : public ::testing::Test {
 protected:
  UpdateProgress::Created create() { return UpdateProgress::create(toolkit, platform, dir.path()); }

  std::shared_ptr<UpdateProgress> createValid(const char* session = validSession) {
    writeFile(dir / "session.json", session);
    auto created = create();
    auto* controller = std::get_if<std::shared_ptr<UpdateProgress>>(&created);
    if (controller == nullptr) {
      ADD_FAILURE() << "construction failed";
      return nullptr;
    }
    return *controller;
  }

  TempDir dir;
  MemoryToolkit toolkit;
  platform::ManualPlatform platform;
};

TEST_F(UpdateProgressTest, ConstructionMakesTheViewsInOrderAndNothingElse) {
  auto controller = createValid();
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(toolkit.calls, (std::vector<std::string>{
                               "application.makeWindow(500x230, titled closable miniaturizable) -> window#1",
                               "application.makeLabel(Preparing update…) -> label#1",
                               "application.makeWrappingLabel(Closing Orvandale safely. Your shows and settings "
                               "will be kept.) -> label#2",
                               "application.makeLabel() -> label#3",
                               "application.makeSpinner() -> spinner#1",
                               "application.makeButton(Close status) -> button#1",
                           }));
  EXPECT_FALSE(toolkit.windows.at(0)->visible);
  EXPECT_TRUE(toolkit.timers.empty());
  EXPECT_FALSE(toolkit.spinners.at(0)->animating);
  EXPECT_FALSE(controller->windowShouldClose());
  EXPECT_EQ(entryNames(dir.path()), std::set<std::string>{"session.json"});
}

TEST_F(UpdateProgressTest, FailedConstructionLeavesNothingBehind) {
  const struct {
    const char* name;
    const char* session;  // nullptr: no session.json at all
    exchange::SessionFailure::Kind kind;
  } cases[] = {
      {"no session.json", nullptr, exchange::SessionFailure::Kind::unreadable},
      {"not JSON", "{", exchange::SessionFailure::Kind::unparsable},
      {"startedAt missing after a valid parentPid", R"({"version":"1","parentPid":5})",
       exchange::SessionFailure::Kind::invalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir / "session.json");
    if (c.session != nullptr) writeFile(dir / "session.json", c.session);
    auto created = create();
    ASSERT_TRUE(std::holds_alternative<exchange::SessionFailure>(created));
    EXPECT_EQ(std::get<exchange::SessionFailure>(created).kind, c.kind);
    EXPECT_TRUE(toolkit.windows.empty()) << "the window outlived the failed construction";
    for (const auto& label : toolkit.labels) EXPECT_EQ(label.use_count(), 1) << label->name;
    EXPECT_TRUE(toolkit.timers.empty());
    EXPECT_LE(entryNames(dir.path()).size(), 1u);
  }
}

TEST_F(UpdateProgressTest, WriteReceiptWritesIntoTheExchangeDirectory) {
  auto controller = createValid();
  ASSERT_NE(controller, nullptr);
  controller->writeReceipt("finished.json", {{"phase", "complete"}});
  EXPECT_EQ(testing::readFile(dir / "finished.json"), R"({"phase":"complete"})");
  std::filesystem::remove_all(dir.path());
  controller->writeReceipt("finished.json", {{"phase", "complete"}});  // dropped, no crash
  EXPECT_FALSE(std::filesystem::exists(dir.path()));
}

}  // namespace
}  // namespace orvandale
