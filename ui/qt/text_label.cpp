#include "ui/qt/text_label.h"

#include <QEvent>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>
#include <QTextOption>

#include <algorithm>
#include <cmath>
#include <utility>

#include "ui/qt/accessibility.h"

namespace orvandale::ui::qt {

namespace {

// More characters than any line limit of a few lines can show at any readable width.
constexpr int charactersPerShownLine = 2048;
constexpr int unlimitedLayoutLength = 1 << 20;
// Widths a label is asked for between two changes of its text: the size hint's and the one it
// is given, and a spare for a resize in between.
constexpr std::size_t rememberedWidths = 4;
// A single-line label is one line however wide; no text this label shows comes near this.
constexpr qreal unboundedWidth = 1 << 24;
const QChar ellipsis(0x2026);

// The text up to `limit` characters, never ending inside a surrogate pair.
QString prefix(const QString& text, int limit) {
  if (text.size() <= limit) return text;
  if (limit > 0 && text.at(limit - 1).isHighSurrogate()) --limit;
  return text.left(limit);
}

QString withoutLineBreaks(QString text) {
  text.replace(QChar::LineSeparator, QLatin1Char(' '));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  return text;
}

// `alignRight`: the layout stands against the right edge of its line width, as a right-to-left
// paragraph does in a label of a given width (a single-line label is as wide as its text).
std::unique_ptr<QTextLayout> makeLayout(const QString& text, const QFont& font, bool rightToLeft, bool wrapping,
                                        bool alignRight) {
  auto layout = std::make_unique<QTextLayout>(text, font);
  QTextOption option;
  option.setWrapMode(wrapping ? QTextOption::WrapAtWordBoundaryOrAnywhere : QTextOption::NoWrap);
  option.setTextDirection(rightToLeft ? Qt::RightToLeft : Qt::LeftToRight);
  option.setAlignment(Qt::AlignAbsolute | (alignRight ? Qt::AlignRight : Qt::AlignLeft));
  layout->setTextOption(option);
  // The shaped glyphs stay with the layout, so drawing it again never shapes it again.
  layout->setCacheEnabled(true);
  return layout;
}

}  // namespace

struct TextLabel::Line {
  QTextLayout* layout;
  int index;
  bool rightToLeft;
  bool elided;
};

struct TextLabel::Layout {
  int width;
  std::vector<std::unique_ptr<QTextLayout>> paragraphs;
  std::vector<Line> lines;
};

TextLabel::TextLabel(const QString& text, bool wrapping, QWidget* parent)
    : QWidget(parent), text_(text), wrapping_(wrapping) {
  if (wrapping_) {
    // A wrapping label takes the whole breadth it is offered, whatever its text: its lines
    // then break at the same width however short its first paragraph is.
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
  } else {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  }
}

TextLabel::~TextLabel() = default;

void TextLabel::setText(const QString& text) {
  if (text == text_) return;  // same text: nothing to lay out or draw again
  const QString previous = std::exchange(text_, text);
  textChanged();
  labelTextChanged(*this, previous);
}

void TextLabel::textChanged() {
  layouts_.clear();
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
  QString shown = prefix(text_, limit);
  // Every way of ending a paragraph ends one here; U+009C would otherwise be taken by Qt's
  // eliding as the mark between alternative texts.
  shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  shown.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  shown.replace(QChar(0x9c), QChar::ReplacementCharacter);
  if (!wrapping_) shown = withoutLineBreaks(shown);
  return shown;
}

// A little more leading than the font's own, as body text on a desktop has.
int TextLabel::lineHeight() const { return qRound(QFontMetrics(font()).height() * 1.15); }

const TextLabel::Layout& TextLabel::layoutAt(int width) const {
  // A single line is the same at any width.
  if (!wrapping_) width = 0;
  width = std::max(width, 1);
  auto found = std::find_if(layouts_.begin(), layouts_.end(), [width](const auto& layout) { return layout->width == width; });
  if (found != layouts_.end()) {
    // The most recently used width goes last; the least recently used is the one let go.
    std::rotate(found, found + 1, layouts_.end());
    return *layouts_.back();
  }
  if (layouts_.size() == rememberedWidths) layouts_.erase(layouts_.begin());
  layouts_.push_back(layOut(width));
  return *layouts_.back();
}

std::unique_ptr<TextLabel::Layout> TextLabel::layOut(int width) const {
  ++layoutPasses_;
  auto result = std::make_unique<Layout>();
  result->width = width;
  const QString shown = laidOutText();
  const QStringList paragraphs = shown.split(QLatin1Char('\n'));
  const qreal lineWidth = wrapping_ ? width : unboundedWidth;
  const QFontMetricsF metrics(font());
  const int height = lineHeight();

  // Each line's baseline stands one line height below the last, whatever fonts it falls back on.
  auto place = [&](QTextLine& line) {
    const qreal baseline = metrics.ascent() + static_cast<qreal>(result->lines.size()) * height;
    line.setPosition(QPointF(0, baseline - line.ascent()));
  };

  for (qsizetype p = 0; p < paragraphs.size(); ++p) {
    const QString& paragraph = paragraphs[p];
    // The paragraph's own direction, from its first strong character (left to right when none).
    const bool rightToLeft = paragraph.isRightToLeft();
    // A paragraph stands against the edge it starts from.
    auto layout = makeLayout(paragraph, font(), rightToLeft, wrapping_, rightToLeft && wrapping_);
    layout->beginLayout();
    bool full = false;
    for (;;) {
      QTextLine line = layout->createLine();
      if (!line.isValid()) break;
      line.setLineWidth(lineWidth);
      const bool lastAllowed = maximumLines_ > 0 && static_cast<int>(result->lines.size()) == maximumLines_ - 1;
      const bool moreFollows = line.textStart() + line.textLength() < paragraph.size() || p + 1 < paragraphs.size();
      if (lastAllowed && moreFollows) {
        // The last line that may be shown takes the rest of the text, cut at its logical end.
        QStringList rest{paragraph.mid(line.textStart())};
        rest.append(paragraphs.mid(p + 1));
        const QString elided = metrics.elidedText(withoutLineBreaks(rest.join(QLatin1Char(' '))), Qt::ElideRight, lineWidth);
        // One line, aligned like its paragraph within the label's width.
        auto last = makeLayout(elided, font(), rightToLeft, false, rightToLeft);
        last->beginLayout();
        QTextLine lastLine = last->createLine();
        lastLine.setLineWidth(lineWidth);
        place(lastLine);
        last->endLayout();
        result->lines.push_back(Line{last.get(), 0, rightToLeft, elided.endsWith(ellipsis)});
        result->paragraphs.push_back(std::move(last));
        full = true;
        break;
      }
      place(line);
      result->lines.push_back(Line{layout.get(), line.lineNumber(), rightToLeft, false});
      if (maximumLines_ > 0 && static_cast<int>(result->lines.size()) == maximumLines_) {
        full = true;
        break;
      }
    }
    layout->endLayout();
    result->paragraphs.push_back(std::move(layout));
    if (full) break;
  }
  return result;
}

QList<TextLabel::ShownLine> TextLabel::shownLineDetails(int width) const {
  QList<ShownLine> shown;
  for (const Line& line : layoutAt(width).lines) {
    const QTextLine textLine = line.layout->lineAt(line.index);
    ShownLine details;
    // The blank or line separator a line breaks at stays behind on it but is not shown.
    details.text = line.layout->text().mid(textLine.textStart(), textLine.textLength());
    while (details.text.endsWith(QLatin1Char(' ')) || details.text.endsWith(QChar::LineSeparator)) details.text.chop(1);
    details.rightToLeft = line.rightToLeft;
    details.elided = line.elided;
    details.bounds = textLine.naturalTextRect();
    if (!details.text.isEmpty()) {
      const int after = textLine.textStart() + static_cast<int>(details.text.size());
      const int at = line.layout->previousCursorPosition(after);
      const qreal edge1 = textLine.cursorToX(at);
      const qreal edge2 = textLine.cursorToX(after);
      details.end = QRectF(std::min(edge1, edge2), details.bounds.top(), std::abs(edge2 - edge1), details.bounds.height());
    }
    shown.append(details);
  }
  if (shown.isEmpty()) shown.append(ShownLine{});
  return shown;
}

QRectF TextLabel::characterRect(int line, int index) const {
  const Layout& layout = layoutAt(width());
  if (line < 0 || line >= static_cast<int>(layout.lines.size()) || index < 0) return {};
  const Line& shown = layout.lines[static_cast<std::size_t>(line)];
  const QTextLine textLine = shown.layout->lineAt(shown.index);
  if (index >= textLine.textLength()) return {};
  const int at = textLine.textStart() + index;
  const qreal edge1 = textLine.cursorToX(at);
  const qreal edge2 = textLine.cursorToX(shown.layout->nextCursorPosition(at));
  return QRectF(std::min(edge1, edge2), line * lineHeight(), std::abs(edge2 - edge1), lineHeight());
}

int TextLabel::characterAt(int line, qreal x) const {
  const Layout& layout = layoutAt(width());
  if (line < 0 || line >= static_cast<int>(layout.lines.size())) return -1;
  const Line& shown = layout.lines[static_cast<std::size_t>(line)];
  const QTextLine textLine = shown.layout->lineAt(shown.index);
  const QRectF drawn = textLine.naturalTextRect();
  if (x < drawn.left() || x >= drawn.right()) return -1;
  return textLine.xToCursor(x, QTextLine::CursorOnCharacter) - textLine.textStart();
}

QStringList TextLabel::shownLines(int width) const {
  QStringList lines;
  for (const ShownLine& line : shownLineDetails(width)) lines.append(line.text);
  return lines;
}

QSize TextLabel::sizeHint() const {
  if (cachedSizeHint_.isValid()) return cachedSizeHint_;
  if (wrapping_) {
    // A wrapping label would like the width it has been given (before that, a width for
    // reading): the layouts around it then never ask for its lines at a width it does not get.
    const int width = givenWidth_ > 0 ? givenWidth_ : QFontMetrics(font()).averageCharWidth() * 40;
    cachedSizeHint_ = QSize(width, heightForWidth(width));
  } else {
    const Layout& layout = layoutAt(0);
    const qreal natural = layout.lines.empty() ? 0 : layout.lines.front().layout->lineAt(0).naturalTextWidth();
    cachedSizeHint_ = QSize(static_cast<int>(std::ceil(natural)) + 1, lineHeight());
  }
  return cachedSizeHint_;
}

QSize TextLabel::minimumSizeHint() const {
  if (!wrapping_) return sizeHint();
  return {QFontMetrics(font()).averageCharWidth() * 4, lineHeight()};
}

bool TextLabel::hasHeightForWidth() const { return wrapping_; }

int TextLabel::heightForWidth(int width) const {
  if (!wrapping_) return lineHeight();
  return static_cast<int>(std::max<std::size_t>(layoutAt(width).lines.size(), 1)) * lineHeight();
}

void TextLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QColor color = palette().color(QPalette::WindowText);
  if (secondary_) color.setAlphaF(0.55f);
  painter.setPen(color);
  // Each line is drawn as its layout made it: in its own direction, from glyphs shaped once.
  for (const Line& line : layoutAt(width()).lines) line.layout->lineAt(line.index).draw(&painter, QPointF(0, 0));
}

void TextLabel::resizeEvent(QResizeEvent* event) {
  if (wrapping_ && width() != givenWidth_) {
    givenWidth_ = width();
    cachedSizeHint_ = QSize();
  }
  QWidget::resizeEvent(event);
}

void TextLabel::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange) textChanged();
  QWidget::changeEvent(event);
}

}  // namespace orvandale::ui::qt
