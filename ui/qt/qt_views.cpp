#include "ui/qt/qt_views.h"

#include <QBoxLayout>
#include <QBuffer>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <cmath>

#include "ui/qt/normal_state.h"
#include "ui/qt/pinned_layout.h"
#include "ui/qt/qt_application.h"
#include "ui/qt/spinner_widget.h"
#include "ui/qt/text_label.h"

namespace orvandale::ui::qt {

namespace {

QString qString(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

int pixels(double points) { return static_cast<int>(std::lround(points)); }

}  // namespace

QWidget* widgetOf(const View& view) { return dynamic_cast<const QtView&>(view).widget(); }

void settleLayouts(QWidget* root) {
  if (root == nullptr) return;
  // Inner layouts first: a layout's size hints come from the widgets it holds, and the
  // layout requests that an activation posts for the layout around it would otherwise wait
  // for the next turn of the event loop. Reversed pre-order puts every widget after its own
  // descendants.
  QList<QWidget*> widgets = root->findChildren<QWidget*>();
  widgets.prepend(root);
  for (auto widget = widgets.crbegin(); widget != widgets.crend(); ++widget) {
    if (QLayout* layout = (*widget)->layout()) layout->activate();
  }
}

// Labels

QtLabel::QtLabel(std::string_view text, bool wrapping, QWidget* parent)
    : label_(new TextLabel(qString(text), wrapping, parent)), text_(text) {}

void QtLabel::setText(std::string_view text) {
  if (text == text_) return;
  text_ = text;
  if (label_) label_->setText(qString(text));
}

std::string QtLabel::text() const { return text_; }

void QtLabel::setFont(Font font) {
  if (!label_) return;
  QFont qfont = QGuiApplication::font();
  qfont.setPixelSize(pixels(font.size));
  qfont.setBold(font.weight == Font::Weight::bold);
  label_->setFont(qfont);
}

void QtLabel::setMaximumNumberOfLines(int lines) {
  if (label_) label_->setMaximumLines(lines);
}

void QtLabel::setTextColor(TextColor color) {
  if (label_) label_->setSecondary(color == TextColor::secondaryLabel);
}

QWidget* QtLabel::widget() const { return label_; }

// Spinner

QtSpinner::QtSpinner(QWidget* parent) : spinner_(new SpinnerWidget(parent)) {}

void QtSpinner::setStyle(SpinnerStyle style) {
  if (spinner_) spinner_->setSpinning(style == SpinnerStyle::spinning);
}

void QtSpinner::setIndeterminate(bool indeterminate) {
  if (spinner_) spinner_->setIndeterminate(indeterminate);
}

void QtSpinner::startAnimation() {
  if (spinner_) spinner_->startAnimation();
}

void QtSpinner::stopAnimation() {
  if (spinner_) spinner_->stopAnimation();
}

QWidget* QtSpinner::widget() const { return spinner_; }

// Button

QtButton::QtButton(const QtApplication& application, std::string_view title, QWidget* parent)
    : application_(application), button_(new QPushButton(qString(title), parent)) {
  button_->setAutoDefault(false);
}

void QtButton::setAction(std::function<void()> action) {
  if (!button_) return;
  QObject::disconnect(button_, &QPushButton::clicked, nullptr, nullptr);
  QObject::connect(button_, &QPushButton::clicked, button_, [&application = application_, action = std::move(action)] {
    if (action && !application.terminated()) action();
  });
}

void QtButton::setHidden(bool hidden) {
  if (!button_) return;
  const bool appearing = !hidden && button_->isHidden();
  button_->setHidden(hidden);
  if (!appearing) return;
  // The window's only control, shown when there is something the user may do: it takes the
  // keyboard focus (at once, or when its window is next activated) and is the default button,
  // so Return and Enter press it as Space does. Until then no key does anything.
  button_->setDefault(true);
  button_->setFocus(Qt::OtherFocusReason);
}

QWidget* QtButton::widget() const { return button_; }

// Stack view

QtStackView::QtStackView(std::vector<std::shared_ptr<View>> views, QWidget* parent)
    : views_(std::move(views)), stack_(new QWidget(parent)), layout_(new QBoxLayout(QBoxLayout::LeftToRight, stack_)) {
  layout_->setContentsMargins(0, 0, 0, 0);
  layout_->setSpacing(8);
  for (const auto& view : views_) layout_->addWidget(widgetOf(*view));
  alignViews();
}

void QtStackView::setOrientation(Orientation orientation) {
  orientation_ = orientation;
  if (layout_) layout_->setDirection(orientation == Orientation::vertical ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
  alignViews();
}

void QtStackView::setAlignment(Alignment alignment) {
  alignment_ = alignment;
  alignViews();
}

void QtStackView::setSpacing(double spacing) {
  if (layout_) layout_->setSpacing(pixels(spacing));
}

void QtStackView::alignViews() {
  if (!layout_) return;
  // Across a column, leading alignment keeps each view at its own width against the leading
  // edge; centred views keep their own size too. Only a view that asks for all the breadth
  // it can get (a wrapping label) is given the stack's breadth.
  const bool vertical = orientation_ == Orientation::vertical;
  Qt::Alignment across;
  if (alignment_ == Alignment::leading) {
    across = vertical ? Qt::AlignLeft : Qt::AlignTop;
  } else {
    across = vertical ? Qt::AlignHCenter : Qt::AlignVCenter;
  }
  const Qt::Orientations acrossDirection = vertical ? Qt::Horizontal : Qt::Vertical;
  for (const auto& view : views_) {
    QWidget* widget = widgetOf(*view);
    const bool fills = widget->sizePolicy().expandingDirections() & acrossDirection;
    layout_->setAlignment(widget, fills ? Qt::Alignment() : across);
  }
}

QWidget* QtStackView::widget() const { return stack_; }

// Content view

QtContentView::QtContentView(QWidget* content) : content_(content), layout_(new PinnedLayout(content)) {}

void QtContentView::addSubview(std::shared_ptr<View> view) {
  QWidget* child = widgetOf(*view);
  child->setParent(content_);
  if (content_->isVisible()) child->show();
  subviews_.push_back(std::move(view));
}

void QtContentView::activateConstraints(std::span<const EdgeConstraint> constraints) {
  for (const EdgeConstraint& constraint : constraints) {
    const PinnedLayout::Edge edge = constraint.edge == Edge::leading    ? PinnedLayout::Edge::leading
                                    : constraint.edge == Edge::trailing ? PinnedLayout::Edge::trailing
                                                                        : PinnedLayout::Edge::top;
    layout_->pin(widgetOf(*constraint.view), edge, pixels(constraint.constant));
  }
  layout_->activate();
}

std::optional<std::string> QtContentView::drawPng() {
  if (!content_) return std::nullopt;
  settleLayouts(content_);
  const QPixmap pixmap = content_->grab();
  if (pixmap.isNull()) return std::nullopt;
  QByteArray png;
  QBuffer buffer(&png);
  if (!buffer.open(QIODevice::WriteOnly) || !pixmap.save(&buffer, "PNG") || png.isEmpty()) return std::nullopt;
  return std::string(png.constData(), static_cast<std::size_t>(png.size()));
}

// Window

WindowWidget::WindowWidget(std::function<bool()> shouldClose, std::function<void()> willClose)
    : QWidget(nullptr, Qt::Window), shouldClose_(std::move(shouldClose)), willClose_(std::move(willClose)) {}

void WindowWidget::closeEvent(QCloseEvent* event) {
  if (!shouldClose_()) {
    event->ignore();
    return;
  }
  event->accept();
  willClose_();
}

// Before a window is shown its frame is unknown, and a window centred by its content area
// alone ends up with the frame's title bar pushing it below the centre. The window manager
// tells the frame when it frames the window; the move that follows puts the frame itself in
// the middle. It happens once: a window the user has moved is theirs to place.
void WindowWidget::centerFramed() {
  centeringFrame_ = !isVisible() || frameGeometry().size() == size();
  moveFrameToCenter();
}

void WindowWidget::moveFrameToCenter() {
  QScreen* placed = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  if (placed == nullptr) return;
  // Only the frame's size matters: frameGeometry's position is where the frame was last seen.
  QRect frame = frameGeometry();
  frame.moveCenter(placed->availableGeometry().center());
  move(frame.topLeft());
}

void WindowWidget::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (centeringFrame_ && isVisible() && frameGeometry().size() != size()) {
    centeringFrame_ = false;
    moveFrameToCenter();
  }
}

QtWindow::QtWindow(const QtApplication& application, int width, int height, WindowStyle style)
    : application_(application),
      widget_(std::make_unique<WindowWidget>([this] { return shouldClose(); }, [this] { willClose(); })) {
  Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint;
  if (style.titled) flags |= Qt::WindowTitleHint;
  if (style.closable) flags |= Qt::WindowCloseButtonHint;
  if (style.miniaturizable) flags |= Qt::WindowMinimizeButtonHint;
  if (style.resizable) flags |= Qt::WindowMaximizeButtonHint;
  widget_->setWindowFlags(flags);
  if (style.resizable) {
    widget_->resize(width, height);
  } else {
    widget_->setFixedSize(width, height);
    keepNormalStateOnWayland(widget_.get());
  }
  if (application_.activationPolicy() == ActivationPolicy::accessory) {
    widget_->setContextMenuPolicy(Qt::NoContextMenu);
  }
  content_ = std::make_unique<QtContentView>(widget_.get());
}

// The content view's subviews go before the widget that holds their widgets.
QtWindow::~QtWindow() { content_.reset(); }

void QtWindow::setTitle(std::string_view title) {
  if (widget_) widget_->setWindowTitle(qString(title));
}

void QtWindow::setDelegate(std::weak_ptr<WindowDelegate> delegate) { delegate_ = std::move(delegate); }

void QtWindow::setReleasedWhenClosed(bool released) { releasedWhenClosed_ = released; }

void QtWindow::center() {
  if (widget_) widget_->centerFramed();
}

ContentView* QtWindow::contentView() { return widget_ ? content_.get() : nullptr; }

void QtWindow::makeKeyAndOrderFront() {
  if (!widget_) return;
  widget_->show();
  widget_->raise();
  widget_->activateWindow();
}

void QtWindow::displayIfNeeded() {
  if (!widget_) return;
  settleLayouts(widget_.get());
  widget_->repaint();
}

// X11 gives every window a number of the whole display, its id. Wayland has no such number:
// a window is known only to the compositor and the client that made it, and what Qt returns
// as its id means nothing outside this process, so the window number there is 0, which no
// X11 window has.
std::int64_t QtWindow::windowNumber() {
  if (!widget_ || onWayland()) return 0;
  return static_cast<std::int64_t>(widget_->winId());
}

bool QtWindow::shouldClose() {
  if (application_.terminated()) return false;
  auto delegate = delegate_.lock();
  return !delegate || delegate->windowShouldClose();
}

void QtWindow::willClose() {
  if (auto delegate = delegate_.lock()) delegate->windowWillClose();
  if (releasedWhenClosed_ && widget_) {
    content_.reset();
    widget_.release()->deleteLater();
  }
}

// Timer

QtTimer::QtTimer(const QtApplication& application, std::chrono::milliseconds interval, std::function<void()> action)
    : timer_(std::make_unique<QTimer>()) {
  timer_->setInterval(interval);
  QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [&application, action = std::move(action)] {
    if (!application.terminated()) action();
  });
  timer_->start();
}

QtTimer::~QtTimer() = default;

}  // namespace orvandale::ui::qt
