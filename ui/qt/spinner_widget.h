#pragma once

#include <QBasicTimer>
#include <QColor>
#include <QPixmap>
#include <QWidget>

#include <array>

namespace orvandale::ui::qt {

/// A progress indicator drawn by itself: a wheel of spokes that turns while animating, or a
/// thin bar. It repaints only while it turns and is on screen, about twelve times a second.
class SpinnerWidget final : public QWidget {
 public:
  explicit SpinnerWidget(QWidget* parent);

  void setSpinning(bool spinning);
  bool isSpinning() const { return spinning_; }
  void setIndeterminate(bool indeterminate);
  bool isIndeterminate() const { return indeterminate_; }
  void startAnimation();
  void stopAnimation();
  /// Animation was started and not stopped (it turns whenever it is on screen).
  bool isAnimating() const { return animating_; }
  /// The timer that advances the wheel is running.
  bool isTurning() const { return turner_.isActive(); }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void updateTurning();
  // The wheel as it looks at `step` (or stopped, for -1), drawn once and then only copied.
  const QPixmap& frame(int step);

  bool spinning_ = false;
  bool indeterminate_ = false;
  bool animating_ = false;
  bool onScreen_ = false;
  int step_ = 0;
  QBasicTimer turner_;
  std::array<QPixmap, 13> frames_;  // twelve steps of the turning wheel, then the stopped one
  QColor framesInk_;
  qreal framesRatio_ = 0;
  QSize framesSize_;
};

}  // namespace orvandale::ui::qt
