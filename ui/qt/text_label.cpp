#include "ui/qt/text_label.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>
#include <QTextOption>

#include <cmath>
#include <utility>

#include "ui/qt/accessibility.h"

namespace orvandale::ui::qt {

namespace {

// More characters than any line limit of a few lines can show at any readable width.
constexpr int charactersPerShownLine = 2048;
constexpr int unlimitedLayoutLength = 1 << 20;

}  // namespace

TextLabel::TextLabel(const QString& text, bool wrapping, QWidget* parent)
    : QWidget(parent), text_(text), wrapping_(wrapping) {
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  if (wrapping_) {
    QSizePolicy policy = sizePolicy();
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
  }
}

void TextLabel::setText(const QString& text) {
  if (text == text_) return;  // same text: nothing to lay out or draw again
  const QString previous = std::exchange(text_, text);
  textChanged();
  labelTextChanged(*this, previous);
}

void TextLabel::textChanged() {
  cachedWidth_ = -1;
  cachedSizeHint_ = QSize();
  updateGeometry();
  update();
}

void TextLabel::setMaximumLines(int lines) {
  if (lines == maximumLines_) return;
  maximumLines_ = lines < 0 ? 0 : lines;
  textChanged();
}

void TextLabel::setSecondary(bool secondary) {
  if (secondary == secondary_) return;
  secondary_ = secondary;
  update();
}

QString TextLabel::laidOutText() const {
  const int limit = maximumLines_ > 0 ? maximumLines_ * charactersPerShownLine : unlimitedLayoutLength;
  QString shown = text_.left(limit);
  if (!wrapping_) {
    shown.replace(QLatin1Char('\n'), QLatin1Char(' '));
  } else {
    shown.replace(QLatin1Char('\n'), QChar::LineSeparator);
  }
  return shown;
}

// A little more leading than the font's own, as body text on a desktop has.
int TextLabel::lineHeight() const { return qRound(QFontMetrics(font()).height() * 1.15); }

QStringList TextLabel::shownLines(int width) const {
  if (width != cachedWidth_) {
    cachedLines_ = layOut(width);
    cachedWidth_ = width;
  }
  return cachedLines_;
}

QStringList TextLabel::layOut(int width) const {
  const QString shown = laidOutText();
  if (!wrapping_) return {shown};

  QTextLayout layout(shown, font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  QStringList lines;
  const int lineWidth = width > 0 ? width : 1;
  for (;;) {
    QTextLine line = layout.createLine();
    if (!line.isValid()) break;
    line.setLineWidth(lineWidth);
    if (maximumLines_ > 0 && lines.size() == maximumLines_ - 1) {
      // The last line that may be shown takes the rest of the text, elided at its end.
      QString rest = shown.mid(line.textStart());
      rest.replace(QChar::LineSeparator, QLatin1Char(' '));
      const QString elided = QFontMetrics(font()).elidedText(rest, Qt::ElideRight, lineWidth);
      lines.append(elided);
      break;
    }
    // The blank a line breaks at stays behind on it but is not part of what the line shows.
    QString text = shown.mid(line.textStart(), line.textLength()).remove(QChar::LineSeparator);
    while (text.endsWith(QLatin1Char(' '))) text.chop(1);
    lines.append(text);
  }
  layout.endLayout();
  if (lines.isEmpty()) lines.append(QString());
  return lines;
}

QSize TextLabel::sizeHint() const {
  if (cachedSizeHint_.isValid()) return cachedSizeHint_;
  const QFontMetrics metrics(font());
  QString firstLine = laidOutText();
  if (wrapping_) firstLine = firstLine.section(QChar::LineSeparator, 0, 0);
  const int width = metrics.horizontalAdvance(firstLine) + 1;
  cachedSizeHint_ = QSize(width, wrapping_ ? heightForWidth(width) : lineHeight());
  return cachedSizeHint_;
}

QSize TextLabel::minimumSizeHint() const {
  if (!wrapping_) return sizeHint();
  return {QFontMetrics(font()).averageCharWidth() * 4, lineHeight()};
}

bool TextLabel::hasHeightForWidth() const { return wrapping_; }

int TextLabel::heightForWidth(int width) const {
  if (!wrapping_) return lineHeight();
  return static_cast<int>(shownLines(width).size()) * lineHeight();
}

void TextLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QColor color = palette().color(QPalette::WindowText);
  if (secondary_) color.setAlphaF(0.55f);
  painter.setPen(color);
  painter.setFont(font());
  const QFontMetrics metrics(font());
  int baseline = metrics.ascent();
  for (const QString& line : shownLines(width())) {
    painter.drawText(0, baseline, line);
    baseline += lineHeight();
  }
}

void TextLabel::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) textChanged();
  QWidget::changeEvent(event);
}

}  // namespace orvandale::ui::qt
