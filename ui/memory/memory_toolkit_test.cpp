#include "ui/memory/memory_toolkit.h"

#include <gtest/gtest.h>

#include "tests/support/counting_delegate.h"

namespace orvandale::ui::memory {
namespace {

using Delegate = orvandale::testing::CountingDelegate;

// The tests of the program rely on the drivers delivering callbacks as the real toolkit does.
TEST(MemoryToolkitTest, DeliversNoCallbackAfterTermination) {
  MemoryToolkit toolkit;
  auto delegate = std::make_shared<Delegate>();
  delegate->allow = true;
  auto window = toolkit.makeWindow(500, 230, {});
  window->setDelegate(delegate);
  window->makeKeyAndOrderFront();
  auto button = toolkit.makeButton("Close status");
  int clicks = 0;
  int fired = 0;
  button->setAction([&clicks] { ++clicks; });
  auto timer = toolkit.scheduleRepeatingTimer(std::chrono::milliseconds(500), [&fired] { ++fired; });

  toolkit.fireTimers();
  toolkit.click(*toolkit.buttons.at(0));
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(clicks, 1);

  toolkit.terminate();
  toolkit.fireTimers();
  toolkit.click(*toolkit.buttons.at(0));
  EXPECT_FALSE(toolkit.requestClose(*toolkit.windows.at(0)));
  toolkit.setDelegate(delegate);
  toolkit.run();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(delegate->asked, 0);
  EXPECT_EQ(delegate->launched, 0);
}

TEST(MemoryToolkitTest, CloseAsksTheDelegateAndAHiddenButtonIsNotClickable) {
  MemoryToolkit toolkit;
  auto delegate = std::make_shared<Delegate>();
  auto window = toolkit.makeWindow(500, 230, {});
  window->setDelegate(delegate);
  window->makeKeyAndOrderFront();
  EXPECT_FALSE(toolkit.requestClose(*toolkit.windows.at(0)));
  EXPECT_EQ(delegate->asked, 1);
  EXPECT_EQ(delegate->closed, 0);
  EXPECT_TRUE(toolkit.windows.at(0)->visible);
  delegate->allow = true;
  EXPECT_TRUE(toolkit.requestClose(*toolkit.windows.at(0)));
  EXPECT_EQ(delegate->closed, 1);
  EXPECT_FALSE(toolkit.windows.at(0)->visible);

  auto button = toolkit.makeButton("b");
  int clicks = 0;
  button->setAction([&clicks] { ++clicks; });
  button->setHidden(true);
  toolkit.click(*toolkit.buttons.at(0));
  EXPECT_EQ(clicks, 0);
}

TEST(MemoryToolkitTest, ATimerLetGoOfStopsFiring) {
  MemoryToolkit toolkit;
  int fired = 0;
  auto timer = toolkit.scheduleRepeatingTimer(std::chrono::milliseconds(500), [&fired] { ++fired; });
  toolkit.fireTimers();
  timer.reset();
  toolkit.fireTimers();
  EXPECT_EQ(fired, 1);
}

}  // namespace
}  // namespace orvandale::ui::memory
