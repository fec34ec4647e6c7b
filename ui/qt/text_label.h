#pragma once

#include <QList>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <vector>

class QTextLayout;

namespace orvandale::ui::qt {

/// A static plain-text label drawn by itself: one line, or wrapped onto as many lines as its
/// width needs, at most `maximumLines` of them with "…" ending the last one when text is cut.
/// Text is never taken as markup. Each paragraph is shaped and drawn in its own direction by
/// QTextLayout, so right-to-left and mixed text reads as it should; a right-to-left paragraph
/// stands against the right edge. Only a prefix of a very long text is laid out, so a huge
/// text costs no more than the lines it can show, and a text is shaped once per width it is
/// shown at: changes elsewhere in the window never shape it again.
///
/// Why a widget of our own: QLabel has no line limit, and eliding its last shown line would
/// mean laying the text out a second time on every resize; the limit with "…" at the logical
/// end of the cut line is what this class adds to QTextLayout, which does the rest.
class TextLabel final : public QWidget {
 public:
  TextLabel(const QString& text, bool wrapping, QWidget* parent);
  ~TextLabel() override;

  void setText(const QString& text);
  const QString& text() const { return text_; }
  void setMaximumLines(int lines);  // 0: no limit
  int maximumLines() const { return maximumLines_; }
  void setSecondary(bool secondary);
  bool isSecondary() const { return secondary_; }
  bool isWrapping() const { return wrapping_; }

  /// One line as the label shows it at some width.
  struct ShownLine {
    QString text;               // in logical order, "…" included when the line is cut
    bool rightToLeft = false;   // the direction of the paragraph it belongs to
    bool elided = false;        // the line ends in "…" because text was cut after it
    QRectF bounds;              // where its glyphs stand, in the label's coordinates
    QRectF end;                 // where its last character (in logical order) stands: "…" when elided
  };
  /// The lines the label shows at `width`, after the line limit and eliding.
  QList<ShownLine> shownLineDetails(int width) const;
  /// Where the character at `index` of shown line `line` stands at the label's width, in the
  /// label's coordinates, as drawn; an empty rectangle when there is no such character.
  QRectF characterRect(int line, int index) const;
  /// The index within shown line `line` of the character drawn at `x`, or -1 when none is.
  int characterAt(int line, qreal x) const;
  /// The texts of the lines the label shows at `width`.
  QStringList shownLines(int width) const;
  /// The height of one line of text: the font's height and a little leading.
  int lineHeight() const;
  /// How many times the label has broken its text into lines (each time shapes the text).
  int layoutPasses() const { return layoutPasses_; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  bool hasHeightForWidth() const override;
  int heightForWidth(int width) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  struct Line;
  struct Layout;
  QString laidOutText() const;
  const Layout& layoutAt(int width) const;
  std::unique_ptr<Layout> layOut(int width) const;
  void textChanged();

  QString text_;
  bool wrapping_;
  int maximumLines_ = 0;
  bool secondary_ = false;
  // A layout pass asks for a few widths over and over (the size hint's and the real one);
  // each stays laid out until the text, the font or the line limit changes.
  mutable std::vector<std::unique_ptr<Layout>> layouts_;
  int givenWidth_ = 0;
  mutable QSize cachedSizeHint_;
  mutable int layoutPasses_ = 0;
};

}  // namespace orvandale::ui::qt
