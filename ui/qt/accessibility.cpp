#include "ui/qt/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "ui/qt/qt_views.h"
#include "ui/qt/spinner_widget.h"
#include "ui/qt/text_label.h"

namespace orvandale::ui::qt {

namespace {

// A label shows at most a few lines; assistive technology gets its text up to this many
// characters, which is far more than any window line holds, so that a huge text never goes
// over the accessibility bus whole.
constexpr qsizetype readableLength = 4096;

enum class LabelKind { heading, body, supplementary };

SpinnerWidget* spinnerBeside(const QWidget& widget) {
  const QWidget* row = widget.parentWidget();
  if (row == nullptr) return nullptr;
  for (QObject* sibling : row->children()) {
    if (auto* spinner = dynamic_cast<SpinnerWidget*>(sibling)) return spinner;
  }
  return nullptr;
}

// The labels in `root`, in the order of the widget tree. (TextLabel has no meta-object of its
// own, so Qt's findChildren cannot tell it from other widgets.)
std::vector<TextLabel*> labelsIn(const QWidget& root) {
  std::vector<TextLabel*> labels;
  for (QWidget* widget : root.findChildren<QWidget*>()) {
    if (auto* label = dynamic_cast<TextLabel*>(widget)) labels.push_back(label);
  }
  return labels;
}

LabelKind kindOf(const TextLabel& label) {
  if (label.isSecondary()) return LabelKind::supplementary;
  if (spinnerBeside(label) != nullptr) return LabelKind::heading;
  return LabelKind::body;
}

// The text as the label reads to assistive technology: its whole text up to the limit, on one
// line when the label shows one line.
QString readableText(const TextLabel& label) {
  QString text = label.text().left(readableLength);
  if (text.size() == readableLength && text.back().isHighSurrogate()) text.chop(1);
  if (!label.isWrapping()) text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  return text;
}

// One shown line and where its characters start in the readable text.
struct ShownLine {
  int number = 0; // its place among the label's shown lines
  int start = 0;  // offset of its first character in the readable text
  QString text;   // the characters of the readable text it shows
  int top = 0;
};

// The shown lines of `label` matched to the offsets of its readable text. A line that ends in
// the "…" of eliding shows the text before it; lines not found in order end the list.
std::vector<ShownLine> shownLinesOf(const TextLabel& label, const QString& text) {
  std::vector<ShownLine> lines;
  int from = 0;
  int top = 0;
  const QStringList shown = label.shownLines(label.width());
  for (qsizetype i = 0; i < shown.size(); ++i) {
    QString line = shown[i];
    const bool last = i + 1 == shown.size();
    if (last && line.endsWith(QChar(0x2026)) && !text.mid(from).startsWith(line)) line.chop(1);
    const auto at = text.indexOf(line, from);
    if (at < 0) break;
    lines.push_back({static_cast<int>(i), static_cast<int>(at), line, top});
    from = static_cast<int>(at + line.size());
    top += label.lineHeight();
  }
  return lines;
}


class AccessibleTextLabel final : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit AccessibleTextLabel(TextLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  QAccessible::Role role() const override {
    return kindOf(label()) == LabelKind::heading ? QAccessible::Heading : QAccessible::StaticText;
  }

  QString text(QAccessible::Text type) const override {
    if (type != QAccessible::Name) return QAccessibleWidget::text(type);
    // A supplementary text changes on its own and sends no event, so no client may keep it
    // as a name; it is read through the Text interface, afresh each time.
    if (kindOf(label()) == LabelKind::supplementary) return {};
    return readableText(label());
  }

  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = true;
    return state;
  }

  // QAccessibleTextInterface: static text, nothing selected, the caret at the start.
  void selection(int, int* startOffset, int* endOffset) const override { *startOffset = *endOffset = 0; }
  int selectionCount() const override { return 0; }
  void addSelection(int, int) override {}
  void removeSelection(int) override {}
  void setSelection(int, int, int) override {}
  int cursorPosition() const override { return 0; }
  void setCursorPosition(int) override {}
  QString text(int startOffset, int endOffset) const override {
    const QString text = readableText(label());
    const auto start = std::clamp<qsizetype>(startOffset, 0, text.size());
    const auto end = endOffset < 0 ? text.size() : std::clamp<qsizetype>(endOffset, start, text.size());
    return text.mid(start, end - start);
  }
  int characterCount() const override { return static_cast<int>(readableText(label()).size()); }

  QRect characterRect(int offset) const override {
    const TextLabel& shown = label();
    const QString text = readableText(shown);
    for (const ShownLine& line : shownLinesOf(shown, text)) {
      const int index = offset - line.start;
      if (index < 0 || index >= line.text.size()) continue;
      // Where the label drew it: in its line's direction, against its paragraph's edge.
      const QRectF drawn = shown.characterRect(line.number, index);
      if (drawn.isEmpty()) return {};
      const QRect local(QPoint(qRound(drawn.left()), line.top),
                        QSize(std::max(1, qRound(drawn.width())), shown.lineHeight()));
      return QRect(shown.mapToGlobal(local.topLeft()), local.size());
    }
    return {};
  }

  int offsetAtPoint(const QPoint& point) const override {
    const TextLabel& shown = label();
    const QPoint local = shown.mapFromGlobal(point);
    if (!shown.rect().contains(local)) return -1;
    const QString text = readableText(shown);
    for (const ShownLine& line : shownLinesOf(shown, text)) {
      if (local.y() < line.top || local.y() >= line.top + shown.lineHeight()) continue;
      const int index = shown.characterAt(line.number, local.x());
      if (index < 0 || index >= line.text.size()) return -1;
      return line.start + index;
    }
    return -1;
  }

  void scrollToSubstring(int, int) override {}

  QString attributes(int, int* startOffset, int* endOffset) const override {
    *startOffset = 0;
    *endOffset = characterCount();
    return {};
  }

 private:
  const TextLabel& label() const { return *static_cast<TextLabel*>(widget()); }
};

class AccessibleSpinner final : public QAccessibleWidget {
 public:
  explicit AccessibleSpinner(SpinnerWidget* spinner) : QAccessibleWidget(spinner, QAccessible::ProgressBar) {}

  QString text(QAccessible::Text type) const override {
    if (type == QAccessible::Name) return QString::fromUtf8(spinnerAccessibleName);
    return QAccessibleWidget::text(type);
  }

  QAccessible::State state() const override {
    const auto& spinner = *static_cast<SpinnerWidget*>(widget());
    QAccessible::State state = QAccessibleWidget::state();
    // An indeterminate indicator has no value to tell; AT-SPI calls that "indeterminate",
    // which Qt spells as the mixed state.
    state.checkStateMixed = spinner.isIndeterminate();
    state.busy = spinner.isAnimating();
    state.readOnly = true;
    return state;
  }
};

// What a screen reader is told when a heading changes: a notification shown in the window.
// Each one is a new object, so no client can hold on to an earlier one's name or description.
class Announcement final : public QAccessibleInterface {
 public:
  Announcement(QWidget* window, QString name, QString description)
      : window_(window), name_(std::move(name)), description_(std::move(description)) {}

  bool isValid() const override { return !window_.isNull(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return window_ ? window_->windowHandle() : nullptr; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(window_.data()); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QString text(QAccessible::Text type) const override {
    if (type == QAccessible::Name) return name_;
    if (type == QAccessible::Description) return description_;
    return {};
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override {
    const TextLabel* heading = window_ ? headingOf(*window_) : nullptr;
    if (heading == nullptr) return {};
    return QRect(heading->mapToGlobal(QPoint(0, 0)), heading->size());
  }
  QAccessible::Role role() const override { return QAccessible::Notification; }
  QAccessible::State state() const override {
    QAccessible::State state;
    state.invisible = !showing_ || window_.isNull() || !window_->isVisible();
    state.readOnly = true;
    return state;
  }

  void setShowing(bool showing) { showing_ = showing; }

 private:
  QPointer<QWidget> window_;
  QString name_;
  QString description_;
  bool showing_ = true;
};

// A status window: identified by its description, with its announcement as a child while it
// shows one. The interface lives as long as the window's widget, and owns the announcements.
class AccessibleStatusWindow final : public QAccessibleWidget {
 public:
  explicit AccessibleStatusWindow(QWidget* window) : QAccessibleWidget(window, QAccessible::Window) {}
  ~AccessibleStatusWindow() override {
    for (QAccessible::Id id : {shown_, hidden_}) {
      if (id != 0) QAccessible::deleteAccessibleInterface(id);
    }
  }

  QString text(QAccessible::Text type) const override {
    if (type == QAccessible::Description) return QString::fromUtf8(windowAccessibleDescription);
    return QAccessibleWidget::text(type);
  }

  int childCount() const override { return QAccessibleWidget::childCount() + (shown_ != 0 ? 1 : 0); }
  QAccessibleInterface* child(int index) const override {
    const int widgets = QAccessibleWidget::childCount();
    if (index == widgets && shown_ != 0) return QAccessible::accessibleInterface(shown_);
    return QAccessibleWidget::child(index);
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    if (child != nullptr && shown_ != 0 && child == QAccessible::accessibleInterface(shown_)) {
      return QAccessibleWidget::childCount();
    }
    return QAccessibleWidget::indexOfChild(child);
  }

  QAccessibleInterface* announcement() const { return shown_ != 0 ? QAccessible::accessibleInterface(shown_) : nullptr; }

  // Announces the heading once the event being handled is done, so that the texts, the
  // spinner and the focus set with it have all taken effect.
  void announceSoon() {
    if (pending_) return;
    pending_ = true;
    QTimer::singleShot(0, widget(), [window = widget()] {
      if (auto* self = dynamic_cast<AccessibleStatusWindow*>(QAccessible::queryAccessibleInterface(window))) {
        self->announce();
      }
    });
  }

 private:
  void announce() {
    pending_ = false;
    QWidget* window = widget();
    const TextLabel* heading = headingOf(*window);
    if (heading == nullptr || !window->isVisible()) return;
    // While the spinner beside the heading turns the update is under way, and the heading
    // says all; once it has stopped the window needs the user, and what it says below the
    // heading is told as well.
    QString description;
    const SpinnerWidget* spinner = spinnerBeside(*heading);
    if (spinner != nullptr && !spinner->isAnimating()) {
      QStringList body;
      for (const TextLabel* label : labelsIn(*window)) {
        if (kindOf(*label) == LabelKind::body && label->isVisible()) body << readableText(*label);
      }
      description = body.join(QLatin1Char(' '));
    }

    // The announcement before the last goes now; the last one stops showing but stays a
    // little longer, as a client may still be reading it.
    if (hidden_ != 0) QAccessible::deleteAccessibleInterface(std::exchange(hidden_, 0));
    if (shown_ != 0) {
      auto* previous = static_cast<Announcement*>(QAccessible::accessibleInterface(shown_));
      previous->setShowing(false);
      QAccessibleEvent hide(previous, QAccessible::ObjectHide);
      QAccessible::updateAccessibility(&hide);
      hidden_ = std::exchange(shown_, 0);
    }
    // QAccessible owns the registered interface until it is deleted through it.
    auto* next = new Announcement(window, readableText(*heading), description);
    shown_ = QAccessible::registerAccessibleInterface(next);
    QAccessibleEvent created(next, QAccessible::ObjectCreated);
    QAccessible::updateAccessibility(&created);
    QAccessibleEvent show(next, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&show);
  }

  bool pending_ = false;
  QAccessible::Id shown_ = 0;
  QAccessible::Id hidden_ = 0;
};

QAccessibleInterface* accessibleFor(const QString&, QObject* object) {
  if (auto* label = dynamic_cast<TextLabel*>(object)) return new AccessibleTextLabel(label);
  if (auto* spinner = dynamic_cast<SpinnerWidget*>(object)) return new AccessibleSpinner(spinner);
  if (auto* window = dynamic_cast<WindowWidget*>(object)) return new AccessibleStatusWindow(window);
  return nullptr;
}

}  // namespace

// Qt drops its factories with the application object, and installs a factory only once.
void installAccessibility() { QAccessible::installFactory(accessibleFor); }

void labelTextChanged(TextLabel& label, const QString& previous) {
  if (!QAccessible::isActive()) return;
  const LabelKind kind = kindOf(label);
  // The elapsed time changes every second; it is read when asked for and costs no event.
  if (kind == LabelKind::supplementary) return;

  QAccessibleEvent renamed(&label, QAccessible::NameChanged);
  QAccessible::updateAccessibility(&renamed);
  const QString before = previous.left(readableLength);
  QAccessibleTextUpdateEvent changed(&label, 0, before, readableText(label));
  QAccessible::updateAccessibility(&changed);

  if (kind != LabelKind::heading) return;
  if (auto* window = dynamic_cast<AccessibleStatusWindow*>(QAccessible::queryAccessibleInterface(label.window()))) {
    window->announceSoon();
  }
}

void spinnerBusyChanged(SpinnerWidget& spinner) {
  if (!QAccessible::isActive()) return;
  QAccessible::State busy;
  busy.busy = true;
  QAccessibleStateChangeEvent changed(&spinner, busy);
  QAccessible::updateAccessibility(&changed);
}

TextLabel* headingOf(const QWidget& widget) {
  for (TextLabel* label : labelsIn(*widget.window())) {
    if (kindOf(*label) == LabelKind::heading) return label;
  }
  return nullptr;
}

QAccessibleInterface* currentAnnouncement(const QWidget& window) {
  auto* status = dynamic_cast<AccessibleStatusWindow*>(QAccessible::queryAccessibleInterface(window.window()));
  return status != nullptr ? status->announcement() : nullptr;
}

}  // namespace orvandale::ui::qt
