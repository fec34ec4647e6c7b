#include "ui/qt/spinner_widget.h"

#include <QPainter>
#include <QTimerEvent>

#include <algorithm>

#include "ui/qt/accessibility.h"

namespace orvandale::ui::qt {

namespace {

constexpr int spokes = 12;
constexpr int frameMilliseconds = 1000 / spokes;  // one turn a second
constexpr int wheelSize = 32;

}  // namespace

SpinnerWidget::SpinnerWidget(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SpinnerWidget::setSpinning(bool spinning) {
  spinning_ = spinning;
  updateGeometry();
  updateTurning();
  update();
}

void SpinnerWidget::setIndeterminate(bool indeterminate) {
  indeterminate_ = indeterminate;
  updateTurning();
  update();
}

void SpinnerWidget::startAnimation() {
  if (!indeterminate_ || animating_) return;
  animating_ = true;
  updateTurning();
  update();
  spinnerBusyChanged(*this);
}

void SpinnerWidget::stopAnimation() {
  if (!animating_) return;
  animating_ = false;
  updateTurning();
  update();
  spinnerBusyChanged(*this);
}

void SpinnerWidget::updateTurning() {
  const bool turn = animating_ && spinning_ && onScreen_;
  if (turn && !turner_.isActive()) {
    turner_.start(frameMilliseconds, Qt::CoarseTimer, this);
  } else if (!turn && turner_.isActive()) {
    turner_.stop();
  }
}

QSize SpinnerWidget::sizeHint() const { return spinning_ ? QSize(wheelSize, wheelSize) : QSize(160, 6); }

void SpinnerWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (!spinning_) {
    painter.setRenderHint(QPainter::Antialiasing);
    QColor track = palette().color(QPalette::WindowText);
    track.setAlphaF(0.15f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(track);
    painter.drawRoundedRect(QRectF(rect()), height() / 2.0, height() / 2.0);
    return;
  }

  painter.drawPixmap(0, 0, frame(animating_ ? step_ : -1));
}

const QPixmap& SpinnerWidget::frame(int step) {
  const QColor ink = palette().color(QPalette::WindowText);
  const qreal ratio = devicePixelRatioF();
  if (ink != framesInk_ || ratio != framesRatio_ || size() != framesSize_) {
    frames_ = {};
    framesInk_ = ink;
    framesRatio_ = ratio;
    framesSize_ = size();
  }
  QPixmap& pixmap = frames_[static_cast<std::size_t>(step < 0 ? spokes : step)];
  if (!pixmap.isNull()) return pixmap;

  pixmap = QPixmap(size() * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const double side = std::min(width(), height());
  const double outer = side / 2.0 * 0.92;
  const double inner = outer * 0.52;
  QPen pen(ink, side * 0.085, Qt::SolidLine, Qt::RoundCap);
  painter.translate(width() / 2.0, height() / 2.0);
  for (int spoke = 0; spoke < spokes; ++spoke) {
    // While turning, the spoke at `step` is the darkest and the ones behind it fade; a
    // stopped wheel shows all spokes alike.
    const int behind = (step - spoke + spokes) % spokes;
    const float alpha = step >= 0 ? 1.0f - 0.75f * static_cast<float>(behind) / spokes : 0.35f;
    QColor color = ink;
    color.setAlphaF(alpha);
    pen.setColor(color);
    painter.setPen(pen);
    painter.drawLine(QPointF(0, -inner), QPointF(0, -outer));
    painter.rotate(360.0 / spokes);
  }
  return pixmap;
}

void SpinnerWidget::timerEvent(QTimerEvent* event) {
  if (event->timerId() != turner_.timerId()) {
    QWidget::timerEvent(event);
    return;
  }
  step_ = (step_ + 1) % spokes;
  update();
}

void SpinnerWidget::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  onScreen_ = true;
  updateTurning();
}

void SpinnerWidget::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // Also sent when the window is minimised, which keeps the widget "visible" to Qt.
  onScreen_ = false;
  updateTurning();
}

}  // namespace orvandale::ui::qt
