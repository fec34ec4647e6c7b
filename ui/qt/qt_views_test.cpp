// The Qt toolkit layer against Qt itself, on the offscreen platform: what each operation
// leaves in the widgets.

#include <gtest/gtest.h>

#include <QBoxLayout>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPushButton>
#include <QTest>

#include "tests/support/counting_delegate.h"
#include "ui/qt/qt_application.h"
#include "ui/qt/qt_views.h"

namespace orvandale::ui::qt {
namespace {

using Delegate = orvandale::testing::CountingDelegate;

constexpr const char* longText =
    "This is taking longer than expected. You can keep waiting or close this status window. Closing it does not "
    "cancel the update. And then some more words, so that three lines cannot hold all of it at this width at all.";

class QtViewsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application = std::make_unique<QtApplication>("qt_tests");
    application->setActivationPolicy(ActivationPolicy::accessory);
  }
  void TearDown() override { application.reset(); }

  // Runs the event loop for `milliseconds`.
  static void spin(int milliseconds) { QTest::qWait(milliseconds); }

  std::unique_ptr<QtApplication> application;
};

TEST_F(QtViewsTest, WindowHasAFixedContentAreaAndTheTitleBarOfItsStyle) {
  auto window = application->makeWindow(500, 230, WindowStyle{true, true, true, false});
  auto& qtWindow = dynamic_cast<QtWindow&>(*window);
  QWidget* widget = qtWindow.widget();
  window->setTitle("Updating Orvandale to 4.1 \xe2\x80\xa6");

  EXPECT_EQ(widget->windowTitle(), QString::fromUtf8("Updating Orvandale to 4.1 …"));
  EXPECT_EQ(widget->size(), QSize(500, 230));
  EXPECT_EQ(widget->minimumSize(), QSize(500, 230));
  EXPECT_EQ(widget->maximumSize(), QSize(500, 230));
  const Qt::WindowFlags flags = widget->windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_EQ(widget->contextMenuPolicy(), Qt::NoContextMenu);
  EXPECT_FALSE(widget->isVisible());
  EXPECT_NE(window->contentView(), nullptr);

  window->center();
  window->makeKeyAndOrderFront();
  EXPECT_TRUE(widget->isVisible());
  window->displayIfNeeded();
  EXPECT_NE(window->windowNumber(), 0);
  EXPECT_EQ(window->windowNumber(), static_cast<std::int64_t>(widget->winId()));
}

TEST_F(QtViewsTest, LabelsKeepTheirTextFontAndColour) {
  auto heading = application->makeLabel("Preparing update…");
  auto detail = application->makeWrappingLabel("x");
  heading->setFont(Font{Font::Weight::bold, 20});
  detail->setFont(Font{Font::Weight::regular, 14});
  detail->setTextColor(TextColor::secondaryLabel);
  detail->setText("<b>not markup</b> \xc3\xa9");

  TextLabel* headingLabel = dynamic_cast<QtLabel&>(*heading).label();
  TextLabel* detailLabel = dynamic_cast<QtLabel&>(*detail).label();
  EXPECT_EQ(heading->text(), "Preparing update…");
  EXPECT_EQ(headingLabel->text(), QString::fromUtf8("Preparing update…"));
  EXPECT_FALSE(headingLabel->isWrapping());
  EXPECT_EQ(headingLabel->font().pixelSize(), 20);
  EXPECT_TRUE(headingLabel->font().bold());
  EXPECT_EQ(detailLabel->font().pixelSize(), 14);
  EXPECT_FALSE(detailLabel->font().bold());
  EXPECT_TRUE(detailLabel->isWrapping());
  EXPECT_TRUE(detailLabel->isSecondary());
  EXPECT_FALSE(headingLabel->isSecondary());
  EXPECT_EQ(detail->text(), "<b>not markup</b> \xc3\xa9");
  EXPECT_EQ(detailLabel->shownLines(444), QStringList{QString::fromUtf8("<b>not markup</b> é")});
}

TEST_F(QtViewsTest, AWrappingLabelShowsAtMostItsLinesAndElidesTheLast) {
  auto detail = application->makeWrappingLabel(longText);
  detail->setFont(Font{Font::Weight::regular, 14});
  TextLabel* label = dynamic_cast<QtLabel&>(*detail).label();

  const QStringList unlimited = label->shownLines(444);
  ASSERT_GT(unlimited.size(), 3) << "the text must need more than three lines for this test";
  detail->setMaximumNumberOfLines(3);
  const QStringList shown = label->shownLines(444);
  ASSERT_EQ(shown.size(), 3);
  EXPECT_EQ(shown[0], unlimited[0]);
  EXPECT_TRUE(shown[2].endsWith(QChar(0x2026))) << shown[2].toStdString();
  const QFontMetrics metrics(label->font());
  for (const QString& line : shown) EXPECT_LE(metrics.horizontalAdvance(line), 444) << line.toStdString();
  EXPECT_GT(label->lineHeight(), metrics.height());
  EXPECT_EQ(label->heightForWidth(444), 3 * label->lineHeight());

  detail->setText("Short.");
  EXPECT_EQ(label->shownLines(444), QStringList{"Short."});
  detail->setText("");
  EXPECT_EQ(label->heightForWidth(444), label->lineHeight()) << "an empty label keeps one line's height";

  // A text far longer than anything three lines can show is laid out in no time.
  detail->setText(std::string(20 * 1024 * 1024, 'w'));
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(label->shownLines(444).size(), 3);
  EXPECT_LT(clock.elapsed(), 2000);
}

TEST_F(QtViewsTest, SpinnerTurnsOnlyWhileAnimatingAndOnScreen) {
  auto window = application->makeWindow(500, 230, {});
  auto spinner = application->makeSpinner();
  SpinnerWidget* widget = dynamic_cast<QtSpinner&>(*spinner).spinner();
  window->contentView()->addSubview(spinner);

  spinner->startAnimation();
  EXPECT_FALSE(widget->isAnimating()) << "a determinate indicator does not animate";
  spinner->setStyle(SpinnerStyle::spinning);
  spinner->setIndeterminate(true);
  spinner->startAnimation();
  EXPECT_TRUE(widget->isAnimating());
  EXPECT_FALSE(widget->isTurning()) << "off screen it does not repaint";
  EXPECT_EQ(widget->sizeHint(), QSize(32, 32));

  window->makeKeyAndOrderFront();
  EXPECT_TRUE(widget->isTurning());
  spinner->stopAnimation();
  EXPECT_FALSE(widget->isTurning());
  spinner->startAnimation();
  EXPECT_TRUE(widget->isTurning());
  dynamic_cast<QtWindow&>(*window).widget()->hide();
  EXPECT_FALSE(widget->isTurning());
}

TEST_F(QtViewsTest, ColumnPinnedToTheEdgesKeepsEachViewAtItsOwnWidth) {
  auto window = application->makeWindow(500, 230, {});
  auto spinner = application->makeSpinner();
  spinner->setStyle(SpinnerStyle::spinning);
  auto heading = application->makeLabel("Installing update…");
  heading->setFont(Font{Font::Weight::bold, 20});
  auto detail = application->makeWrappingLabel(longText);
  detail->setFont(Font{Font::Weight::regular, 14});
  detail->setMaximumNumberOfLines(3);
  auto elapsed = application->makeLabel("Elapsed: 0m 0s");
  auto button = application->makeButton("Close status");

  auto row = application->makeStackView({spinner, heading});
  row->setOrientation(Orientation::horizontal);
  row->setSpacing(14);
  auto column = application->makeStackView({row, detail, elapsed, button});
  column->setOrientation(Orientation::vertical);
  column->setAlignment(Alignment::leading);
  column->setSpacing(16);
  ContentView& content = *window->contentView();
  content.addSubview(column);
  const EdgeConstraint pins[] = {{column, Edge::leading, 28}, {column, Edge::trailing, -28}, {column, Edge::top, 26}};
  content.activateConstraints(pins);
  window->makeKeyAndOrderFront();
  settleLayouts(dynamic_cast<QtWindow&>(*window).widget());

  QWidget* columnWidget = widgetOf(*column);
  EXPECT_EQ(columnWidget->geometry().topLeft(), QPoint(28, 26));
  EXPECT_EQ(columnWidget->width(), 444);
  EXPECT_LT(columnWidget->height(), 230 - 26) << "the column is as tall as its contents, not pinned to the bottom";

  QWidget* buttonWidget = widgetOf(*button);
  QWidget* detailWidget = widgetOf(*detail);
  QWidget* rowWidget = widgetOf(*row);
  EXPECT_TRUE(buttonWidget->isVisible());
  EXPECT_EQ(buttonWidget->x(), 0);
  EXPECT_LT(buttonWidget->width(), 200) << "the button keeps its own width";
  EXPECT_EQ(detailWidget->x(), 0);
  EXPECT_EQ(detailWidget->width(), 444) << "a long detail takes the column's width";
  EXPECT_EQ(detailWidget->height(), 3 * dynamic_cast<QtLabel&>(*detail).label()->lineHeight());
  EXPECT_EQ(detailWidget->y(), rowWidget->geometry().bottom() + 1 + 16);
  EXPECT_EQ(widgetOf(*heading)->x(), widgetOf(*spinner)->geometry().right() + 1 + 14);

  // A drawing right after a text change shows the new layout, not the one before.
  detail->setText("One line.");
  ASSERT_TRUE(content.drawPng().has_value());
  EXPECT_EQ(detailWidget->height(), dynamic_cast<QtLabel&>(*detail).label()->lineHeight());
  detail->setText(longText);
  ASSERT_TRUE(content.drawPng().has_value());
  EXPECT_EQ(detailWidget->height(), 3 * dynamic_cast<QtLabel&>(*detail).label()->lineHeight());

  // A hidden button takes no room, and the column shrinks by its height and spacing.
  const int withButton = columnWidget->height();
  button->setHidden(true);
  settleLayouts(dynamic_cast<QtWindow&>(*window).widget());
  EXPECT_FALSE(buttonWidget->isVisible());
  EXPECT_EQ(columnWidget->height(), withButton - buttonWidget->height() - 16);
}

TEST_F(QtViewsTest, HiddenBeforeBeingPlacedStaysHiddenWhenTheWindowShows) {
  auto window = application->makeWindow(500, 230, {});
  auto button = application->makeButton("Close status");
  auto label = application->makeLabel("x");
  button->setHidden(true);
  auto column = application->makeStackView({label, button});
  column->setOrientation(Orientation::vertical);
  window->contentView()->addSubview(column);
  window->makeKeyAndOrderFront();
  EXPECT_TRUE(widgetOf(*label)->isVisible());
  EXPECT_FALSE(widgetOf(*button)->isVisible());
  button->setHidden(false);
  EXPECT_TRUE(widgetOf(*button)->isVisible());
}

TEST_F(QtViewsTest, DrawsTheContentIntoAPngOfItsSize) {
  auto window = application->makeWindow(500, 230, {});
  auto label = application->makeLabel("Snapshot");
  window->contentView()->addSubview(label);
  window->makeKeyAndOrderFront();
  const std::optional<std::string> png = window->contentView()->drawPng();
  ASSERT_TRUE(png.has_value());
  ASSERT_GE(png->size(), 8u);
  EXPECT_EQ(png->substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  QImage image;
  ASSERT_TRUE(image.loadFromData(reinterpret_cast<const uchar*>(png->data()), static_cast<int>(png->size()), "PNG"));
  EXPECT_EQ(image.size(), QSize(500, 230));
}

TEST_F(QtViewsTest, ButtonRunsItsActionOnClick) {
  auto button = application->makeButton("Close status");
  int clicks = 0;
  button->setAction([&clicks] { ++clicks; });
  QPushButton* widget = dynamic_cast<QtButton&>(*button).button();
  EXPECT_EQ(widget->text(), "Close status");
  widget->click();
  EXPECT_EQ(clicks, 1);
  button->setHidden(true);
  EXPECT_TRUE(widget->isHidden());
}

TEST_F(QtViewsTest, CloseAsksTheDelegateAndARefusalKeepsTheWindow) {
  auto window = application->makeWindow(500, 230, {});
  auto delegate = std::make_shared<Delegate>();
  window->setDelegate(delegate);
  window->setReleasedWhenClosed(false);
  window->makeKeyAndOrderFront();
  QWidget* widget = dynamic_cast<QtWindow&>(*window).widget();

  EXPECT_FALSE(widget->close());
  EXPECT_EQ(delegate->asked, 1);
  EXPECT_EQ(delegate->closed, 0);
  EXPECT_TRUE(widget->isVisible());

  delegate->allow = true;
  EXPECT_TRUE(widget->close());
  EXPECT_EQ(delegate->closed, 1);
  EXPECT_FALSE(widget->isVisible());
  EXPECT_EQ(dynamic_cast<QtWindow&>(*window).widget(), widget) << "not released when closed";
}

TEST_F(QtViewsTest, RunLaunchesFromTheLoopAndTerminateEndsItAndEveryCallback) {
  auto delegate = std::make_shared<Delegate>();
  int fired = 0;
  std::unique_ptr<Timer> timer;
  auto button = application->makeButton("b");
  int clicks = 0;
  button->setAction([&clicks] { ++clicks; });
  delegate->onLaunch = [&] {
    timer = application->scheduleRepeatingTimer(std::chrono::milliseconds(5), [&] {
      if (++fired == 3) application->terminate();
    });
  };
  application->setDelegate(delegate);
  application->run();  // returns only through terminate

  EXPECT_EQ(delegate->launched, 1);
  EXPECT_EQ(fired, 3);
  spin(50);
  EXPECT_EQ(fired, 3) << "a timer fired after termination";
  dynamic_cast<QtButton&>(*button).button()->click();
  EXPECT_EQ(clicks, 0) << "a click reached the program after termination";
}

}  // namespace
}  // namespace orvandale::ui::qt

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  orvandale::ui::qt::silenceQtMessages();
  return RUN_ALL_TESTS();
}
