#include "ui/qt/normal_state.h"

#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include "ui/qt/qt_application.h"

namespace orvandale::ui::qt {

namespace {

using namespace std::chrono_literals;

constexpr Qt::WindowStates screenFilling = Qt::WindowMaximized | Qt::WindowFullScreen;

// Why this exists: Qt 6.4 draws the title bar itself on a compositor that leaves decorations
// to the client (weston, GNOME), and its maximise button is there whatever the window's
// flags say. The button asks the compositor for the maximised state, and the compositor
// answers with a configure at the output's size, which xdg-shell requires the client to obey
// exactly; Qt bounds the size by the window's fixed size instead, and the compositor ends
// the connection with a protocol error. So from the moment the maximised state is asked for,
// the size bounds are lifted and the configured size is obeyed; the normal state is asked
// back as soon as the compositor has seen the window in the maximised one, and the fixed size
// returns when the compositor has applied the normal state. A full-screen state may be
// smaller than the output, so it is merely left the same way.
class NormalStateKeeper final : public QObject {
 public:
  explicit NormalStateKeeper(QWidget* window) : QObject(window), window_(window), size_(window->size()) {
    window->installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == window_ && event->type() == QEvent::Show && handle_ == nullptr) attach(window_->windowHandle());
    // The compositor gives a state back only once the surface has been committed in it, and
    // the commit goes out with the window's paint: the normal state is asked for after it.
    if (watched == window_ && event->type() == QEvent::Paint && askNormalAfterPaint_) {
      askNormalAfterPaint_ = false;
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
  enum class Phase {
    normal,   // at the fixed size
    asked,    // the maximised state was asked for; the compositor's answer is awaited
    leaving,  // in a state that fills the screen; the normal state is being asked back
  };

  void attach(QWindow* handle) {
    if (handle == nullptr) return;
    handle_ = handle;
    handle->installEventFilter(this);
    // Emitted while the request is still on its way to the compositor, so the bounds are
    // gone before its answer can be applied.
    QObject::connect(handle, &QWindow::windowStateChanged, this, [this](Qt::WindowState state) {
      if (state != Qt::WindowMaximized || phase_ != Phase::normal) return;
      phase_ = Phase::asked;
      releaseSize();
      // A compositor that declines a fixed-size window the state sends no answer; configures
      // it sent before the request may still arrive meanwhile, and they are no answer either.
      QTimer::singleShot(5s, this, [this] {
        if (phase_ != Phase::asked) return;
        phase_ = Phase::normal;
        restoreSize();
      });
    });
  }

  void applied(Qt::WindowStates states) {
    if (states & screenFilling) {
      if (states & Qt::WindowMaximized) releaseSize();
      phase_ = Phase::leaving;
      askNormalAfterPaint_ = true;
      window_->update();
    } else if (phase_ == Phase::leaving) {
      phase_ = Phase::normal;
      askNormalAfterPaint_ = false;
      restoreSize();
    }
  }

  void releaseSize() {
    if (released_) return;
    released_ = true;
    window_->setMinimumSize(0, 0);
    window_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  }

  void restoreSize() {
    if (!released_) return;
    released_ = false;
    window_->setFixedSize(size_);
  }

  QWidget* window_;
  QPointer<QWindow> handle_;
  QSize size_;
  Phase phase_ = Phase::normal;
  bool released_ = false;
  bool askNormalAfterPaint_ = false;
};

}  // namespace

void keepNormalStateOnWayland(QWidget* window) {
  if (window == nullptr || !onWayland()) return;
  new NormalStateKeeper(window);  // a child of the window, which owns it
}

}  // namespace orvandale::ui::qt
