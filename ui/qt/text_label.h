#pragma once

#include <QString>
#include <QWidget>

namespace orvandale::ui::qt {

/// A static plain-text label drawn by itself: one line, or wrapped onto as many lines as its
/// width needs, at most `maximumLines` of them with "…" ending the last one when text is cut.
/// Text is never taken as markup. Only a prefix of a very long text is laid out, so a huge
/// text costs no more than the lines it can show.
class TextLabel final : public QWidget {
 public:
  TextLabel(const QString& text, bool wrapping, QWidget* parent);

  void setText(const QString& text);
  const QString& text() const { return text_; }
  void setMaximumLines(int lines);  // 0: no limit
  int maximumLines() const { return maximumLines_; }
  void setSecondary(bool secondary);
  bool isSecondary() const { return secondary_; }
  bool isWrapping() const { return wrapping_; }

  /// The lines the label shows at `width`, after the line limit and eliding.
  QStringList shownLines(int width) const;
  /// The height of one line of text: the font's height and a little leading.
  int lineHeight() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  bool hasHeightForWidth() const override;
  int heightForWidth(int width) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QString laidOutText() const;
  QStringList layOut(int width) const;
  void textChanged();

  QString text_;
  bool wrapping_;
  int maximumLines_ = 0;
  bool secondary_ = false;
  // Layout asks for the same width many times over; the lines are laid out once per width.
  mutable int cachedWidth_ = -1;
  mutable QStringList cachedLines_;
  mutable QSize cachedSizeHint_;
};

}  // namespace orvandale::ui::qt
