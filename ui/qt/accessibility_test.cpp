// What the status window tells assistive technology, read through Qt's accessibility API as
// the AT-SPI bridge reads it: roles, names, texts and states of every element at each phase,
// and the accessibility events each change sends. Runs on the offscreen platform, with Qt's
// accessibility switched on as a screen reader would switch it on.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QPushButton>
#include <QTest>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>
#include <private/qguiapplication_p.h>

#include <vector>

#include "ui/qt/accessibility.h"
#include "ui/qt/qt_application.h"
#include "ui/qt/qt_views.h"
#include "ui/qt/status_window_fixture.h"

namespace orvandale::ui::qt {
namespace {

const char* const attentionHeading = "Update needs attention";
const char* const installingHeading = "Installing update\xe2\x80\xa6";
const char* const installingDetail = "Please wait. Orvandale will reopen automatically when installation finishes.";

// One accessibility event as the bridge would have been handed it.
struct Recorded {
  QAccessible::Event type;
  QAccessible::Role role;
  QString name;
  QString description;
  QAccessible::State changed;  // for StateChanged
  QObject* object;
};

std::vector<Recorded>& recorded() {
  static std::vector<Recorded> events;
  return events;
}

void record(QAccessibleEvent* event) {
  QAccessibleInterface* iface = event->accessibleInterface();
  Recorded entry{event->type(), QAccessible::NoRole, {}, {}, {}, event->object()};
  if (iface != nullptr && iface->isValid()) {
    entry.role = iface->role();
    entry.name = iface->text(QAccessible::Name);
    entry.description = iface->text(QAccessible::Description);
  }
  if (event->type() == QAccessible::StateChanged) {
    entry.changed = static_cast<QAccessibleStateChangeEvent*>(event)->changedStates();
  }
  recorded().push_back(entry);
}

QString qs(const char* utf8) { return QString::fromUtf8(utf8); }

class AccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application = std::make_unique<QtApplication>("accessibility_tests");
    application->setActivationPolicy(ActivationPolicy::accessory);
    // What the AT-SPI bridge does when a screen reader asks for accessibility; every event
    // then goes to the recorder instead of the bus.
    QAccessible::installUpdateHandler(record);
    QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
    ASSERT_TRUE(QAccessible::isActive());
    buildWindow();
    recorded().clear();
  }

  void TearDown() override {
    QAccessible::installUpdateHandler(nullptr);
    recorded().clear();
    window.reset();
    application.reset();
  }

  // The window as the launch lays it out, shown and active, in the phase "installing".
  void buildWindow() {
    auto built = testing::buildStatusWindow(*application, "Preparing update\xe2\x80\xa6",
                                            "Closing Orvandale safely. Your shows and settings will be kept.");
    window = std::move(built.window);
    heading = built.heading;
    detail = built.detail;
    elapsed = built.elapsed;
    spinner = built.spinner;
    button = built.button;
    spinner->startAnimation();
    button->setAction([this] { ++presses; });
    window->makeKeyAndOrderFront();
    ASSERT_TRUE(QTest::qWaitForWindowActive(windowWidget()));
    settleLayouts(windowWidget());
    showProgress(installingHeading, installingDetail);
    elapsed->setText("Elapsed: 0m 5s");
    QCoreApplication::processEvents();
  }

  // What a poll does in a progress phase and in the attention state.
  void showProgress(const char* headingText, const char* detailText) {
    spinner->startAnimation();
    heading->setText(headingText);
    detail->setText(detailText);
  }
  void showAttention(const char* detailText) {
    heading->setText(attentionHeading);
    detail->setText(detailText);
    spinner->stopAnimation();
    button->setHidden(false);
  }

  QWidget* windowWidget() const { return dynamic_cast<QtWindow&>(*window).widget(); }
  static QAccessibleInterface* accessible(const View& view) { return QAccessible::queryAccessibleInterface(widgetOf(view)); }
  static QAccessibleTextInterface* textOf(const View& view) { return accessible(view)->textInterface(); }
  QPushButton* pushButton() const { return dynamic_cast<QtButton&>(*button).button(); }

  // The announcements made so far: each shown notification's name and description.
  static std::vector<std::pair<QString, QString>> announcements() {
    std::vector<std::pair<QString, QString>> shown;
    for (const Recorded& event : recorded()) {
      if (event.type == QAccessible::ObjectShow && event.role == QAccessible::Notification) {
        shown.emplace_back(event.name, event.description);
      }
    }
    return shown;
  }

  std::unique_ptr<QtApplication> application;
  std::unique_ptr<Window> window;
  std::shared_ptr<Label> heading, detail, elapsed;
  std::shared_ptr<Spinner> spinner;
  std::shared_ptr<Button> button;
  int presses = 0;
};

TEST_F(AccessibilityTest, EveryElementHasItsRoleNameTextAndStatesWhileTheUpdateRuns) {
  struct Case {
    const char* element;
    QAccessibleInterface* iface;
    QAccessible::Role role;
    QString name;
    QString text;  // through the Text interface; null: the element has none
  };
  const Case cases[] = {
      {"heading", accessible(*heading), QAccessible::Heading, qs(installingHeading), qs(installingHeading)},
      {"detail", accessible(*detail), QAccessible::StaticText, qs(installingDetail), qs(installingDetail)},
      // Supplementary: no name a client could keep while the text moves on every second.
      {"elapsed", accessible(*elapsed), QAccessible::StaticText, QString(), qs("Elapsed: 0m 5s")},
      {"spinner", accessible(*spinner), QAccessible::ProgressBar, qs("Update progress"), QString()},
      {"button", accessible(*button), QAccessible::Button, qs("Close status"), QString()},
      {"window", QAccessible::queryAccessibleInterface(windowWidget()), QAccessible::Window,
       qs("Updating Orvandale to 4.2"), QString()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.element);
    ASSERT_NE(c.iface, nullptr);
    EXPECT_EQ(c.iface->role(), c.role);
    EXPECT_EQ(c.iface->text(QAccessible::Name), c.name);
    QAccessibleTextInterface* text = c.iface->textInterface();
    if (c.text.isNull()) {
      EXPECT_EQ(text, nullptr);
    } else {
      ASSERT_NE(text, nullptr);
      EXPECT_EQ(text->text(0, text->characterCount()), c.text);
    }
  }

  EXPECT_EQ(QAccessible::queryAccessibleInterface(windowWidget())->text(QAccessible::Description),
            qs("Status of the Orvandale update"));
  const QAccessible::State spinnerState = accessible(*spinner)->state();
  EXPECT_TRUE(spinnerState.busy);
  EXPECT_TRUE(spinnerState.checkStateMixed) << "indeterminate";
  EXPECT_FALSE(spinnerState.invisible);
  const QAccessible::State buttonState = accessible(*button)->state();
  EXPECT_TRUE(buttonState.invisible) << "the hidden button is not shown to assistive technology either";
  EXPECT_FALSE(buttonState.focused);
  EXPECT_FALSE(buttonState.defaultButton);
}

TEST_F(AccessibilityTest, OnceTheUpdateNeedsAttentionTheSpinnerRestsAndTheButtonIsFocusedAndDefault) {
  showAttention("Disk full");
  QCoreApplication::processEvents();

  EXPECT_EQ(accessible(*heading)->text(QAccessible::Name), qs(attentionHeading));
  EXPECT_EQ(accessible(*heading)->role(), QAccessible::Heading);
  EXPECT_EQ(textOf(*detail)->text(0, -1), qs("Disk full"));
  const QAccessible::State spinnerState = accessible(*spinner)->state();
  EXPECT_FALSE(spinnerState.busy);
  EXPECT_TRUE(spinnerState.checkStateMixed);
  const QAccessible::State buttonState = accessible(*button)->state();
  EXPECT_FALSE(buttonState.invisible);
  EXPECT_TRUE(buttonState.focused);
  EXPECT_TRUE(buttonState.defaultButton);
  EXPECT_EQ(QApplication::focusWidget(), pushButton());
}

TEST_F(AccessibilityTest, LabelsReadTheirWholeTextThroughTheTextInterface) {
  struct Case {
    const char* what;
    std::string text;
    bool wrapping;
    QString readable;
  };
  const std::string huge(20 * 1024 * 1024, 'w');
  const Case cases[] = {
      {"more than three lines can show: all of it, not the elided lines",
       "This is taking longer than expected. You can keep waiting or close this status window. Closing it does not "
       "cancel the update. And then some more words, so that three lines cannot hold all of it at this width.",
       true,
       qs("This is taking longer than expected. You can keep waiting or close this status window. Closing it does "
          "not cancel the update. And then some more words, so that three lines cannot hold all of it at this "
          "width.")},
      {"line breaks of a wrapping label stay", "Disk full.\nFree 2 GB.", true, qs("Disk full.\nFree 2 GB.")},
      {"a one-line label reads its breaks as blanks", "Disk full.\nFree 2 GB.", false, qs("Disk full. Free 2 GB.")},
      {"markup is text", "<b>not bold</b> \xc3\xa9", true, qs("<b>not bold</b> \xc3\xa9")},
      {"a huge text is cut to a bounded length", huge, true, QString(4096, QLatin1Char('w'))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::shared_ptr<Label>& label = c.wrapping ? detail : heading;
    label->setText(c.text);
    QAccessibleTextInterface* text = textOf(*label);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->characterCount(), c.readable.size());
    EXPECT_EQ(text->text(0, text->characterCount()), c.readable);
    EXPECT_EQ(text->text(0, -1), c.readable);
    EXPECT_EQ(text->text(4, 8), c.readable.mid(4, 4));
    EXPECT_EQ(text->selectionCount(), 0);
    EXPECT_EQ(accessible(*label)->text(QAccessible::Name), c.readable);
  }
}

TEST_F(AccessibilityTest, CharactersHaveTheirPlaceOnScreenAndPlacesTheirCharacter) {
  struct Case {
    const char* text;
    bool rightToLeft;
  };
  const Case cases[] = {
      {"Disk full. Free two gigabytes of space and try the update again, then wait a while.", false},
      // A short right-to-left line stands against the right edge, its first character rightmost.
      {"\xd7\x94\xd7\x94\xd7\x95\xd7\xa8\xd7\x93\xd7\x94 \xd7\xa0\xd7\x9b\xd7\xa9\xd7\x9c\xd7\x94.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    detail->setText(c.text);
    settleLayouts(windowWidget());
    QWidget* label = widgetOf(*detail);
    QAccessibleTextInterface* text = textOf(*detail);
    const QRect onScreen(label->mapToGlobal(QPoint(0, 0)), label->size());
    const int last = text->characterCount() - 1;
    for (int offset : {0, 5, last}) {
      SCOPED_TRACE(offset);
      const QRect rect = text->characterRect(offset);
      ASSERT_FALSE(rect.isEmpty());
      EXPECT_TRUE(onScreen.contains(rect.center()));
      EXPECT_EQ(text->offsetAtPoint(rect.center()), offset);
    }
    const QRect first = text->characterRect(0);
    if (c.rightToLeft) {
      EXPECT_GT(first.left(), onScreen.center().x()) << "drawn at the right";
      EXPECT_GT(first.left(), text->characterRect(last).left()) << "read from right to left";
    } else {
      EXPECT_EQ(first.left(), onScreen.left());
    }
    EXPECT_TRUE(text->characterRect(text->characterCount()).isEmpty());
    EXPECT_EQ(text->offsetAtPoint(onScreen.bottomRight() + QPoint(5, 5)), -1);
  }
}

TEST_F(AccessibilityTest, EachHeadingChangeIsAnnouncedOnceAfterThePollWithTheDetailOnlyWhenAttentionIsNeeded) {
  showProgress("Restarting Orvandale\xe2\x80\xa6", "The update is installed. Preparing your workspace\xe2\x80\xa6");
  EXPECT_TRUE(announcements().empty()) << "announced before the poll had set everything";
  QCoreApplication::processEvents();
  ASSERT_EQ(announcements().size(), 1u);
  EXPECT_EQ(announcements()[0], std::make_pair(qs("Restarting Orvandale\xe2\x80\xa6"), QString()));
  ASSERT_NE(currentAnnouncement(*windowWidget()), nullptr);
  EXPECT_FALSE(currentAnnouncement(*windowWidget())->state().invisible);

  // The same texts again, as every poll sets them: nothing more is said.
  showProgress("Restarting Orvandale\xe2\x80\xa6", "The update is installed. Preparing your workspace\xe2\x80\xa6");
  QCoreApplication::processEvents();
  EXPECT_EQ(announcements().size(), 1u);

  showAttention("Disk full. Free 2 GB and try again.");
  QCoreApplication::processEvents();
  ASSERT_EQ(announcements().size(), 2u);
  EXPECT_EQ(announcements()[1], std::make_pair(qs(attentionHeading), qs("Disk full. Free 2 GB and try again.")));

  // The earlier announcement stopped showing before the new one showed; the window holds one.
  std::vector<QAccessible::Event> order;
  for (const Recorded& event : recorded()) {
    if (event.role == QAccessible::Notification) order.push_back(event.type);
  }
  const std::vector<QAccessible::Event> expected = {QAccessible::ObjectHide, QAccessible::ObjectCreated,
                                                    QAccessible::ObjectShow,  // restarting
                                                    QAccessible::ObjectHide, QAccessible::ObjectCreated,
                                                    QAccessible::ObjectShow};  // attention
  EXPECT_EQ(order, expected);
  QAccessibleInterface* window = QAccessible::queryAccessibleInterface(windowWidget());
  QAccessibleInterface* shown = currentAnnouncement(*windowWidget());
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->role(), QAccessible::Notification);
  EXPECT_EQ(shown->parent(), window);
  EXPECT_EQ(window->child(window->indexOfChild(shown)), shown);
  EXPECT_EQ(window->child(window->childCount() - 1), shown);
}

TEST_F(AccessibilityTest, AHeadingChangeTellsItsNewTextAndAnnouncesItAfterTheFocusMoved) {
  showAttention("Disk full");
  QCoreApplication::processEvents();

  auto at = [](QAccessible::Event type, QAccessible::Role role) {
    for (std::size_t i = 0; i < recorded().size(); ++i) {
      if (recorded()[i].type == type && recorded()[i].role == role) return static_cast<int>(i);
    }
    return -1;
  };
  const int renamed = at(QAccessible::NameChanged, QAccessible::Heading);
  const int textChanged = at(QAccessible::TextUpdated, QAccessible::Heading);
  const int focused = at(QAccessible::Focus, QAccessible::Button);
  const int shown = at(QAccessible::ObjectShow, QAccessible::Notification);
  ASSERT_GE(renamed, 0);
  ASSERT_GE(textChanged, 0);
  ASSERT_GE(focused, 0) << "the button took no focus";
  ASSERT_GE(shown, 0);
  EXPECT_EQ(recorded()[renamed].name, qs(attentionHeading));
  // The screen reader speaks the focus move first; the announcement after it is not cut off.
  EXPECT_LT(focused, shown);
}

TEST_F(AccessibilityTest, TheElapsedLineAndTheTurningSpinnerSendNoEvent) {
  QWidget* wheel = widgetOf(*spinner);
  ASSERT_TRUE(dynamic_cast<SpinnerWidget&>(*wheel).isTurning());
  // Wait for frames actually drawn, not for a time: the paints of the turning wheel.
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  wheel->installEventFilter(&counter);
  for (const char* text : {"Elapsed: 0m 6s", "Elapsed: 0m 7s", "Elapsed: 1m 0s"}) {
    elapsed->setText(text);
    EXPECT_EQ(textOf(*elapsed)->text(0, -1), qs(text)) << "read on demand, always current";
  }
  EXPECT_TRUE(QTest::qWaitFor([&] { return counter.paints >= 4; }, 20000)) << "the spinner did not turn";
  wheel->removeEventFilter(&counter);

  std::vector<int> types;
  for (const Recorded& event : recorded()) types.push_back(event.type);
  EXPECT_TRUE(types.empty()) << "first event sent: 0x" << std::hex << (types.empty() ? 0 : types.front());
}

TEST_F(AccessibilityTest, TheSpinnerTellsWhenItStartsAndStopsBeingBusyOnce) {
  spinner->startAnimation();  // turning already: no change
  spinner->stopAnimation();
  spinner->stopAnimation();
  spinner->startAnimation();

  std::vector<bool> busyAfter;
  for (const Recorded& event : recorded()) {
    ASSERT_EQ(event.type, QAccessible::StateChanged);
    ASSERT_EQ(event.object, widgetOf(*spinner));
    EXPECT_TRUE(event.changed.busy);
    busyAfter.push_back(event.changed.busy);
  }
  EXPECT_EQ(busyAfter.size(), 2u);
  EXPECT_TRUE(accessible(*spinner)->state().busy);
}

TEST_F(AccessibilityTest, NothingIsAnnouncedForAWindowNotOnScreen) {
  windowWidget()->hide();
  showProgress("Restarting Orvandale\xe2\x80\xa6", "The update is installed.");
  QCoreApplication::processEvents();
  EXPECT_TRUE(announcements().empty());
  // The last announcement made while the window was shown stays, but is not shown either.
  QAccessibleInterface* last = currentAnnouncement(*windowWidget());
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->text(QAccessible::Name), qs(installingHeading));
  EXPECT_TRUE(last->state().invisible);
}

TEST_F(AccessibilityTest, ReturnEnterAndSpacePressTheShownButtonAndNoKeyDoesAnythingBefore) {
  QWidget* target = windowWidget();
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space, Qt::Key_Escape}) {
    QTest::keyClick(QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : target, key);
  }
  EXPECT_EQ(presses, 0) << "a key did something while the button was hidden";

  showAttention("Disk full");
  ASSERT_EQ(QApplication::focusWidget(), pushButton());
  struct Case {
    Qt::Key key;
    int presses;
  };
  const Case cases[] = {{Qt::Key_Return, 1}, {Qt::Key_Enter, 1}, {Qt::Key_Space, 1}, {Qt::Key_Escape, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(QKeySequence(c.key).toString().toStdString());
    presses = 0;
    QTest::keyClick(QApplication::focusWidget(), c.key);
    EXPECT_EQ(presses, c.presses);
    EXPECT_TRUE(target->isVisible()) << "a key closed the window";
  }
}

}  // namespace
}  // namespace orvandale::ui::qt

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvandale::ui::qt::silenceQtMessages();
  return RUN_ALL_TESTS();
}
