#include "ui/qt/pinned_layout.h"

#include <QWidget>

#include <algorithm>

namespace orvandale::ui::qt {

PinnedLayout::PinnedLayout(QWidget* parent) : QLayout(parent) {
  setContentsMargins(0, 0, 0, 0);
  setSizeConstraint(QLayout::SetNoConstraint);
}

PinnedLayout::~PinnedLayout() = default;

PinnedLayout::Entry& PinnedLayout::entryFor(QWidget* widget) {
  for (Entry& entry : entries_) {
    if (entry.item->widget() == widget) return entry;
  }
  addWidget(widget);  // reaches addItem, which appends the entry
  return entries_.back();
}

void PinnedLayout::pin(QWidget* widget, Edge edge, int constant) {
  Entry& entry = entryFor(widget);
  switch (edge) {
    case Edge::leading: entry.leading = constant; break;
    case Edge::trailing: entry.trailing = constant; break;
    case Edge::top: entry.top = constant; break;
  }
  invalidate();
}

void PinnedLayout::addItem(QLayoutItem* item) { entries_.push_back(Entry{std::unique_ptr<QLayoutItem>(item), {}, {}, {}}); }

QLayoutItem* PinnedLayout::itemAt(int index) const {
  if (index < 0 || index >= count()) return nullptr;
  return entries_[static_cast<std::size_t>(index)].item.get();
}

QLayoutItem* PinnedLayout::takeAt(int index) {
  if (index < 0 || index >= count()) return nullptr;
  auto position = entries_.begin() + index;
  QLayoutItem* item = position->item.release();
  entries_.erase(position);
  return item;
}

int PinnedLayout::count() const { return static_cast<int>(entries_.size()); }

// The laid-out widget has a size of its own; the pinned widgets neither grow nor shrink it.
QSize PinnedLayout::sizeHint() const { return {0, 0}; }
QSize PinnedLayout::minimumSize() const { return {0, 0}; }

void PinnedLayout::setGeometry(const QRect& rect) {
  QLayout::setGeometry(rect);
  for (Entry& entry : entries_) {
    QLayoutItem& item = *entry.item;
    const QSize hint = item.sizeHint();
    const QRect current = item.geometry();

    int width = hint.width();
    if (entry.leading && entry.trailing) width = rect.width() - *entry.leading + *entry.trailing;
    width = std::max(width, 0);
    int x = current.x();
    if (entry.leading) {
      x = rect.left() + *entry.leading;
    } else if (entry.trailing) {
      x = rect.left() + rect.width() + *entry.trailing - width;
    }
    const int y = entry.top ? rect.top() + *entry.top : current.y();
    const int height = item.hasHeightForWidth() ? item.heightForWidth(width) : hint.height();
    item.setGeometry(QRect(x, y, width, std::max(height, 0)));
  }
}

}  // namespace orvandale::ui::qt
