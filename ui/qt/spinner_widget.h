#pragma once

#include <QBasicTimer>
#include <QWidget>

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

  bool spinning_ = false;
  bool indeterminate_ = false;
  bool animating_ = false;
  bool onScreen_ = false;
  int step_ = 0;
  QBasicTimer turner_;
};

}  // namespace orvandale::ui::qt
