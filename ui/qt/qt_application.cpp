#include "ui/qt/qt_application.h"

#include <QIcon>
#include <QTimer>

#include <cstdlib>

#include "ui/qt/accessibility.h"
#include "ui/qt/qt_views.h"

namespace orvandale::ui::qt {

namespace {

void dropMessage(QtMsgType type, const QMessageLogContext&, const QString&) {
  // Qt aborts after a fatal message; the program ends quietly with status 1 instead.
  if (type == QtFatalMsg) std::_Exit(1);
}

}  // namespace

void silenceQtMessages() { qInstallMessageHandler(dropMessage); }

bool onWayland() { return QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }

namespace {

// The window waits most of its life with a spinner turning a dozen times a second, and each
// turn costs more in the event loop and in the copy to the screen than in drawing. Qt's own
// event dispatcher wakes less per timer than the GLib one, and for a window this small
// sending the changed pixels over the X connection is cheaper than a shared-memory image
// and the round trip that completes it. Either choice stays the user's when set already.
void preferLightTurns() {
  if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
  if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) qputenv("QT_XCB_NO_MITSHM", "1");
}

// The program's own icon, built in so that it shows whether or not the icon theme holds it.
QIcon programIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    icon.addFile(QStringLiteral(":/icons/%1x%1/apps/orvandale-update-progress.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace

QtApplication::QtApplication(const char* programPath) : programPath_(programPath != nullptr ? programPath : "") {
  argv_[0] = programPath_.data();
  preferLightTurns();
  QApplication::setApplicationName(QStringLiteral("OrvandaleUpdateProgress"));
  // The desktop entry that names the program for the shell: Wayland's app id, and on X11
  // the class Qt gives the window is the application's name, the entry's StartupWMClass.
  QGuiApplication::setDesktopFileName(QStringLiteral("OrvandaleUpdateProgress"));
  application_ = std::make_unique<QApplication>(argc_, argv_);
  installAccessibility();
  QApplication::setWindowIcon(programIcon());
  // Only the program's own termination ends it, never the closing of its window.
  QApplication::setQuitOnLastWindowClosed(false);
  holding_ = std::make_unique<QWidget>();
}

QtApplication::~QtApplication() {
  holding_.reset();
  application_.reset();
}

void QtApplication::setActivationPolicy(ActivationPolicy policy) {
  // An accessory takes no part in the desktop's menus: no menu bar, and no menu of its own
  // on its windows (set as they are made).
  policy_ = policy;
  QApplication::setAttribute(Qt::AA_DontUseNativeMenuBar, policy == ActivationPolicy::accessory);
}

void QtApplication::setDelegate(std::weak_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }

void QtApplication::run() {
  if (terminated_) return;
  QTimer::singleShot(0, application_.get(), [this] {
    if (terminated_) return;
    if (auto delegate = delegate_.lock()) delegate->applicationDidFinishLaunching();
  });
  QApplication::exec();
}

void QtApplication::activateIgnoringOtherApps() {
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->isVisible() && window != holding_.get()) window->activateWindow();
  }
}

void QtApplication::terminate() {
  terminated_ = true;
  QCoreApplication::exit(0);
}

std::unique_ptr<Window> QtApplication::makeWindow(double width, double height, WindowStyle style) {
  return std::make_unique<QtWindow>(*this, static_cast<int>(width), static_cast<int>(height), style);
}

std::shared_ptr<Label> QtApplication::makeLabel(std::string_view text) {
  return std::make_shared<QtLabel>(text, false, holding_.get());
}

std::shared_ptr<Label> QtApplication::makeWrappingLabel(std::string_view text) {
  return std::make_shared<QtLabel>(text, true, holding_.get());
}

std::shared_ptr<Spinner> QtApplication::makeSpinner() { return std::make_shared<QtSpinner>(holding_.get()); }

std::shared_ptr<Button> QtApplication::makeButton(std::string_view title) {
  return std::make_shared<QtButton>(*this, title, holding_.get());
}

std::shared_ptr<StackView> QtApplication::makeStackView(std::vector<std::shared_ptr<View>> views) {
  return std::make_shared<QtStackView>(std::move(views), holding_.get());
}

std::unique_ptr<Timer> QtApplication::scheduleRepeatingTimer(std::chrono::milliseconds interval,
                                                             std::function<void()> action) {
  return std::make_unique<QtTimer>(*this, interval, std::move(action));
}

}  // namespace orvandale::ui::qt
