#include "ui/qt/normal_state.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QWidget>
#include <QWindow>

namespace orvandale::ui::qt {

namespace {

constexpr Qt::WindowStates screenFilling = Qt::WindowMaximized | Qt::WindowFullScreen;

// Why this exists: Qt 6.4 draws the title bar itself on a compositor that leaves decorations
// to the client (weston, GNOME), and its maximise button is there whatever the window's
// flags say. The button asks the compositor for the maximised state, and the compositor
// answers with a configure at the output's size that xdg-shell requires the client to obey
// exactly; Qt bounds the size by the window's fixed size instead, and the compositor ends
// the connection with a protocol error. So from the moment the maximised state is asked for,
// the size bounds are lifted, the configured size is obeyed, and the normal state is asked
// back at once; the fixed size returns when the compositor has applied the normal state.
// A full-screen state may be smaller than the output, so it is merely left again.
class NormalStateKeeper final : public QObject {
 public:
  explicit NormalStateKeeper(QWidget* window) : QObject(window), window_(window), size_(window->size()) {
    window->installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == window_ && event->type() == QEvent::Show && handle_ == nullptr) attach(window_->windowHandle());
    // The compositor takes a state back only once the surface has been committed in it, and
    // the commit goes out with the paint of the window: ask after it.
    if (watched == window_ && event->type() == QEvent::Paint && leave_) {
      leave_ = false;
      QMetaObject::invokeMethod(
          this, [this] { if (handle_) handle_->setWindowStates(Qt::WindowNoState); }, Qt::QueuedConnection);
    }
    // A spontaneous state change is one the compositor has configured and Qt has applied.
    if (watched == handle_ && event->type() == QEvent::WindowStateChange && event->spontaneous()) {
      applied(handle_->windowStates());
    }
    return false;
  }

 private:
  void attach(QWindow* handle) {
    if (handle == nullptr) return;
    handle_ = handle;
    handle->installEventFilter(this);
    // Emitted while the request is still on its way to the compositor, before its answer
    // can be applied with the bounds in place.
    QObject::connect(handle, &QWindow::windowStateChanged, this, [this](Qt::WindowState state) {
      if (state == Qt::WindowMaximized) releaseSize();
    });
  }

  void applied(Qt::WindowStates states) {
    if (states & screenFilling) {
      if (states & Qt::WindowMaximized) releaseSize();
      leave_ = true;
      window_->update();
    } else {
      leave_ = false;
      if (!released_) return;
      released_ = false;
      window_->setFixedSize(size_);
    }
  }

  void releaseSize() {
    if (released_) return;
    released_ = true;
    window_->setMinimumSize(0, 0);
    window_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  }

  QWidget* window_;
  QPointer<QWindow> handle_;
  QSize size_;
  bool released_ = false;
  bool leave_ = false;  // the normal state is to be asked for after the next paint
};

}  // namespace

void keepNormalStateOnWayland(QWidget* window) {
  if (window == nullptr || !QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) return;
  new NormalStateKeeper(window);  // a child of the window, which owns it
}

}  // namespace orvandale::ui::qt
