// The detail label with the texts updaters really write, in the window's own column: which lines
// it shows, in which direction, and where the text is cut. Run on the offscreen platform with the
// fonts scripts/install-deps installs (DejaVu for Latin, Arabic and Hebrew; WenQuanYi Micro Hei
// for Chinese; Noto Color Emoji).

#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QImage>
#include <QPixmap>
#include <QRegularExpression>

#include <memory>
#include <string>

#include "ui/qt/qt_application.h"
#include "ui/qt/qt_views.h"
#include "ui/qt/status_window_fixture.h"

namespace orvandale::ui::qt {
namespace {

constexpr int columnWidth = 500 - 2 * 28;
const QChar ellipsis(0x2026);

std::string repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

// The window's column as the program builds it: heading row, detail, elapsed line, button.
class TextLabelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application = std::make_unique<QtApplication>("qt_tests");
    auto built = testing::buildStatusWindow(*application, "Installing update…", "");
    window = std::move(built.window);
    spinner = built.spinner;
    heading = built.heading;
    detail = built.detail;
    elapsed = built.elapsed;
    button = built.button;
    elapsed->setText("Elapsed: 0m 9s");
    window->makeKeyAndOrderFront();
    settle();
  }
  void TearDown() override {
    window.reset();
    application.reset();
  }

  void settle() { settleLayouts(dynamic_cast<QtWindow&>(*window).widget()); }
  TextLabel* label(const std::shared_ptr<Label>& view) const { return dynamic_cast<QtLabel&>(*view).label(); }

  std::unique_ptr<QtApplication> application;
  std::unique_ptr<Window> window;
  std::shared_ptr<Spinner> spinner;
  std::shared_ptr<Label> heading, detail, elapsed;
  std::shared_ptr<Button> button;
};

TEST_F(TextLabelTest, TheTestFontsAreInstalled) {
  // Without them the texts below would be drawn as boxes and their widths would mean little.
  EXPECT_FALSE(QFontDatabase::families(QFontDatabase::Arabic).isEmpty());
  EXPECT_FALSE(QFontDatabase::families(QFontDatabase::Hebrew).isEmpty());
  EXPECT_FALSE(QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty());
  EXPECT_TRUE(QFontDatabase::families().contains(QStringLiteral("Noto Color Emoji")));
}

enum class Direction { leftToRight, rightToLeft };

struct TextCase {
  const char* name;
  std::string text;
  int lines;             // how many lines the label shows
  bool elided;           // the last one ends in "…"
  Direction direction;   // of every shown line
  const char* firstLine; // the first shown line exactly, when the case is about it
};

// "Mise à jour téléchargée." with each accent as a combining mark after its letter.
constexpr const char* decomposed = "Mise a\xcc\x80 jour te\xcc\x81" "le\xcc\x81" "charge\xcc\x81" "e.";

const TextCase textCases[] = {
    {"short first line", "Error:\nThe download could not be verified because its checksum did not match.", 3, false,
     Direction::leftToRight, "Error:"},
    {"several line breaks", "Step 1 done\nStep 2 done\nStep 3 failed: the disk is full\nStep 4 skipped: nothing to "
     "install\nStep 5 skipped: nothing to restart\nStep 6 skipped", 3, true, Direction::leftToRight, "Step 1 done"},
    // The last line takes the rest of the text; here it all fits, so nothing is cut.
    {"line breaks, the rest fits on the last line", "Step 1 done\nStep 2 done\nStep 3 failed\nStep 4 skipped", 3, false,
     Direction::leftToRight, "Step 1 done"},
    {"a break right after a full line",
     "Downloading the update package from the mirror closest to you\nStep 2 failed: the mirror closed the connection "
     "before the whole package had arrived, and a retry failed as well.",
     3, true, Direction::leftToRight, nullptr},
    {"long URL without spaces",
     "https://downloads.orvandale.example/releases/stable/linux/x86_64/" + repeated("0123456789abcdef", 12) +
         "/orvandale-4.2.0.tar.zst",
     3, true, Direction::leftToRight, nullptr},
    {"Arabic", "تعذّر التحقق من التنزيل لأن المجموع الاختباري لا يطابق.", 1, false, Direction::rightToLeft, nullptr},
    {"Arabic, cut", repeated("تعذّر التحقق من التنزيل لأن المجموع الاختباري لا يطابق. ", 8), 3, true,
     Direction::rightToLeft, nullptr},
    {"Hebrew", "ההורדה נכשלה כי סכום הביקורת אינו תואם.", 1, false, Direction::rightToLeft, nullptr},
    {"Hebrew with English inside", "שגיאה: הקובץ orvandale-4.2.0.tar.zst לא נמצא בשרת.", 1, false,
     Direction::rightToLeft, nullptr},
    {"English with Hebrew inside", "Could not open שגיאה בהורדה (error 42), retrying.", 1, false,
     Direction::leftToRight, nullptr},
    {"Chinese", repeated("无法验证下载的文件，因为校验和不匹配。", 6), 3, true, Direction::leftToRight, nullptr},
    {"emoji", repeated("\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb", 1200), 3, true, Direction::leftToRight,
     nullptr},
    {"combining marks", "a" + repeated("\xcc\x81", 6000), 1, false, Direction::leftToRight, nullptr},
    {"decomposed accents", decomposed, 1, false, Direction::leftToRight, decomposed},
    {"2,000 characters", repeated("update ", 285) + "tail.", 3, true, Direction::leftToRight, nullptr},
};

// Every line stands inside the column and against the edge its paragraph starts from; its last
// character (the ellipsis when cut) stands at its logical end: right in left-to-right text,
// left in right-to-left text.
TEST_F(TextLabelTest, ShowsEachTextWithinThreeLinesInItsOwnDirection) {
  for (const TextCase& c : textCases) {
    SCOPED_TRACE(c.name);
    detail->setText(c.text);
    settle();
    TextLabel* detailLabel = label(detail);
    ASSERT_EQ(detailLabel->width(), columnWidth) << "the detail takes the column's whole width";
    const QList<TextLabel::ShownLine> lines = detailLabel->shownLineDetails(detailLabel->width());
    ASSERT_EQ(lines.size(), c.lines);
    EXPECT_EQ(detailLabel->height(), c.lines * detailLabel->lineHeight());
    if (c.firstLine != nullptr) {
      EXPECT_EQ(lines.front().text, QString::fromUtf8(c.firstLine));
    }

    for (qsizetype i = 0; i < lines.size(); ++i) {
      const TextLabel::ShownLine& line = lines[i];
      SCOPED_TRACE("line " + std::to_string(i) + ": " + line.text.toStdString());
      ASSERT_FALSE(line.text.isEmpty());
      EXPECT_FALSE(line.text.front().isSpace()) << "a shown line starts with a blank";
      EXPECT_EQ(line.elided, c.elided && i == lines.size() - 1);
      EXPECT_EQ(line.text.endsWith(ellipsis), line.elided);
      EXPECT_EQ(line.rightToLeft, c.direction == Direction::rightToLeft);
      EXPECT_GE(line.bounds.left(), -0.5);
      EXPECT_LE(line.bounds.right(), columnWidth + 0.5);
      if (line.rightToLeft) {
        EXPECT_NEAR(line.bounds.right(), columnWidth, 1.0) << "right-to-left text stands against the right edge";
        EXPECT_NEAR(line.end.left(), line.bounds.left(), 1.0) << "its logical end is at the left";
      } else {
        EXPECT_NEAR(line.bounds.left(), 0, 1.0);
        EXPECT_NEAR(line.end.right(), line.bounds.right(), 1.0) << "its logical end is at the right";
      }
      EXPECT_GT(line.end.width(), 0);
    }

    // A text that is not cut is shown whole: nothing but blanks and line breaks goes missing.
    if (!c.elided) {
      QString shown;
      for (const auto& line : lines) shown += line.text;
      const QRegularExpression blanks(QStringLiteral("\\s"));
      EXPECT_EQ(shown.remove(blanks), QString::fromStdString(c.text).remove(blanks));
    }
  }
}

TEST_F(TextLabelTest, ACutNeverSplitsACharacterSequence) {
  // A woman technologist: woman, zero-width joiner, laptop.
  const QString sequence = QString::fromUtf8("\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb");
  detail->setText(repeated(sequence.toStdString(), 1200));
  settle();
  const QList<TextLabel::ShownLine> lines = label(detail)->shownLineDetails(columnWidth);
  ASSERT_EQ(lines.size(), 3);
  for (qsizetype i = 0; i < lines.size(); ++i) {
    QString text = lines[i].text;
    if (lines[i].elided) text.chop(1);
    ASSERT_EQ(text.size() % sequence.size(), 0) << "line " << i;
    EXPECT_EQ(text, sequence.repeated(text.size() / sequence.size())) << "line " << i;
  }
}

// What the label draws matches the lines it reports: right-to-left ink ends at the right edge.
TEST_F(TextLabelTest, DrawsRightToLeftTextAgainstTheRightEdge) {
  detail->setText("ההורדה נכשלה.");
  settle();
  TextLabel* detailLabel = label(detail);
  const QImage image = detailLabel->grab().toImage();
  const qreal ratio = image.devicePixelRatio();
  int leftmost = image.width(), rightmost = -1;
  const QColor background = detailLabel->palette().color(QPalette::Window);
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixelColor(x, y) == background) continue;
      leftmost = std::min(leftmost, x);
      rightmost = std::max(rightmost, x);
    }
  }
  ASSERT_GE(rightmost, 0) << "nothing was drawn";
  const TextLabel::ShownLine line = detailLabel->shownLineDetails(detailLabel->width()).front();
  EXPECT_NEAR(rightmost / ratio, columnWidth, 3);
  EXPECT_NEAR(leftmost / ratio, line.bounds.left(), 3);
  EXPECT_GT(leftmost / ratio, columnWidth / 2) << "a short Hebrew line stays at the right";
}

// The elapsed line changes every second and the heading with each phase; the detail's text is
// shaped again only when it changes itself.
TEST_F(TextLabelTest, AnUnchangedTextIsNotLaidOutAgainWhenOtherLabelsChange) {
  const std::string texts[] = {
      "The download could not be verified.",
      "a" + repeated("\xcc\x81", 6000),
      repeated("\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb", 1200),
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 40));
    detail->setText(text);
    settle();
    ASSERT_TRUE(window->contentView()->drawPng().has_value());
    const int detailPasses = label(detail)->layoutPasses();
    const int elapsedPasses = label(elapsed)->layoutPasses();

    // The elapsed line alternates between two widths, as it does going from 9 s to 10 s.
    for (int second = 0; second < 12; ++second) {
      elapsed->setText("Elapsed: 1m " + std::to_string(second % 2 == 0 ? 9 : 10) + "s");
      settle();
      ASSERT_TRUE(window->contentView()->drawPng().has_value());
    }
    heading->setText("Update needs attention");
    button->setHidden(false);
    settle();
    ASSERT_TRUE(window->contentView()->drawPng().has_value());

    EXPECT_GT(label(elapsed)->layoutPasses(), elapsedPasses) << "the elapsed line did change";
    EXPECT_EQ(label(detail)->layoutPasses(), detailPasses) << "the unchanged detail was laid out again";
    heading->setText("Installing update…");
    button->setHidden(true);
  }
}

}  // namespace
}  // namespace orvandale::ui::qt
