#pragma once

#include <QApplication>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <string>

#include "ui/toolkit.h"

namespace orvandale::ui::qt {

/// Drops every message Qt would print. A fatal one (such as no display to open) ends the
/// process at once with status 1, before anything is shown or written. Install it before the
/// application object is made.
void silenceQtMessages();

/// The program runs as a native Wayland client (Qt's wayland platform plugins).
bool onWayland();

/// The application object on QApplication. Qt sees no command-line option: the program takes
/// its one argument itself, and no option of Qt's may change what it does.
class QtApplication final : public Application {
 public:
  explicit QtApplication(const char* programPath);
  ~QtApplication() override;

  void setActivationPolicy(ActivationPolicy policy) override;
  void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override;
  void run() override;
  void activateIgnoringOtherApps() override;
  void terminate() override;

  std::unique_ptr<Window> makeWindow(double width, double height, WindowStyle style) override;
  std::shared_ptr<Label> makeLabel(std::string_view text) override;
  std::shared_ptr<Label> makeWrappingLabel(std::string_view text) override;
  std::shared_ptr<Spinner> makeSpinner() override;
  std::shared_ptr<Button> makeButton(std::string_view title) override;
  std::shared_ptr<StackView> makeStackView(std::vector<std::shared_ptr<View>> views) override;
  std::unique_ptr<Timer> scheduleRepeatingTimer(std::chrono::milliseconds interval,
                                                std::function<void()> action) override;

  /// After `terminate` no callback reaches the program any more.
  bool terminated() const { return terminated_; }
  ActivationPolicy activationPolicy() const { return policy_; }
  QApplication& qApplication() { return *application_; }

 private:
  std::string programPath_;
  int argc_ = 1;
  char* argv_[2] = {nullptr, nullptr};
  std::unique_ptr<QApplication> application_;
  // Views live here, hidden, from their creation until they are placed in a window.
  std::unique_ptr<QWidget> holding_;
  std::weak_ptr<ApplicationDelegate> delegate_;
  ActivationPolicy policy_ = ActivationPolicy::regular;
  bool terminated_ = false;
};

}  // namespace orvandale::ui::qt
