#pragma once

#include <QLayout>

#include <memory>
#include <optional>
#include <vector>

namespace orvandale::ui::qt {

/// Places each of its widgets by edge constraints to the leading, trailing and top edges of
/// the widget it lays out. An edge without a constraint is free: a widget pinned leading and
/// trailing gets the width between them, and its height is its own (for the width it gets),
/// whatever room there is below. The layout never sizes the widget it lays out.
class PinnedLayout final : public QLayout {
 public:
  explicit PinnedLayout(QWidget* parent);
  ~PinnedLayout() override;

  enum class Edge { leading, trailing, top };
  /// Pins `widget` (a child of the laid-out widget) `constant` pixels from the edge: positive
  /// goes right or down.
  void pin(QWidget* widget, Edge edge, int constant);

  void addItem(QLayoutItem* item) override;
  QLayoutItem* itemAt(int index) const override;
  QLayoutItem* takeAt(int index) override;
  int count() const override;
  QSize sizeHint() const override;
  QSize minimumSize() const override;
  void setGeometry(const QRect& rect) override;

 private:
  struct Entry {
    std::unique_ptr<QLayoutItem> item;
    std::optional<int> leading;
    std::optional<int> trailing;
    std::optional<int> top;
  };
  Entry& entryFor(QWidget* widget);
  std::vector<Entry> entries_;
};

}  // namespace orvandale::ui::qt
