#pragma once

// The toolkit layer's windows, views and timers on Qt 6 Widgets. Each element wraps a widget
// that belongs to the Qt object tree: a view's widget is a child of the application's holding
// widget until it is placed in a stack or a window, then of that. The wrappers refer to their
// widgets through QPointer, so a wrapper outliving its widget does nothing rather than crash.

#include <QBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

#include "ui/qt/pinned_layout.h"
#include "ui/qt/spinner_widget.h"
#include "ui/qt/text_label.h"
#include "ui/toolkit.h"

class QTimer;

namespace orvandale::ui::qt {

class QtApplication;

/// A view with a widget behind it.
class QtView {
 public:
  virtual QWidget* widget() const = 0;

 protected:
  ~QtView() = default;
};

/// The widget behind `view`, which must come from this toolkit.
QWidget* widgetOf(const View& view);

class QtLabel final : public Label, public QtView {
 public:
  QtLabel(std::string_view text, bool wrapping, QWidget* parent);
  void setText(std::string_view text) override;
  std::string text() const override;
  void setFont(Font font) override;
  void setMaximumNumberOfLines(int lines) override;
  void setTextColor(TextColor color) override;
  QWidget* widget() const override;
  TextLabel* label() const { return label_; }

 private:
  QPointer<TextLabel> label_;
  std::string text_;  // the text last set, byte for byte
};

class QtSpinner final : public Spinner, public QtView {
 public:
  explicit QtSpinner(QWidget* parent);
  void setStyle(SpinnerStyle style) override;
  void setIndeterminate(bool indeterminate) override;
  void startAnimation() override;
  void stopAnimation() override;
  QWidget* widget() const override;
  SpinnerWidget* spinner() const { return spinner_; }

 private:
  QPointer<SpinnerWidget> spinner_;
};

class QtButton final : public Button, public QtView {
 public:
  QtButton(const QtApplication& application, std::string_view title, QWidget* parent);
  void setAction(std::function<void()> action) override;
  /// Showing the button also gives it the keyboard focus and makes it the default button.
  void setHidden(bool hidden) override;
  QWidget* widget() const override;
  QPushButton* button() const { return button_; }

 private:
  const QtApplication& application_;
  QPointer<QPushButton> button_;
};

class QtStackView final : public StackView, public QtView {
 public:
  QtStackView(std::vector<std::shared_ptr<View>> views, QWidget* parent);
  void setOrientation(Orientation orientation) override;
  void setAlignment(Alignment alignment) override;
  void setSpacing(double spacing) override;
  QWidget* widget() const override;
  QBoxLayout* layout() const { return layout_; }

 private:
  void alignViews();

  std::vector<std::shared_ptr<View>> views_;
  QPointer<QWidget> stack_;
  QPointer<QBoxLayout> layout_;
  Orientation orientation_ = Orientation::horizontal;
  Alignment alignment_ = Alignment::center;
};

class QtContentView final : public ContentView {
 public:
  explicit QtContentView(QWidget* content);
  void addSubview(std::shared_ptr<View> view) override;
  void activateConstraints(std::span<const EdgeConstraint> constraints) override;
  std::optional<std::string> drawPng() override;
  QWidget* widget() const { return content_; }

 private:
  QPointer<QWidget> content_;
  QPointer<PinnedLayout> layout_;
  std::vector<std::shared_ptr<View>> subviews_;
};

/// The top-level widget of a window; it is also the window's content view.
class WindowWidget final : public QWidget {
 public:
  WindowWidget(std::function<bool()> shouldClose, std::function<void()> willClose);

  /// Centres the window, frame included, on its screen's available area; once the window
  /// manager has framed the window, centres it again with the frame it really got.
  void centerFramed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;

 private:
  void moveFrameToCenter();

  std::function<bool()> shouldClose_;
  std::function<void()> willClose_;
  bool centeringFrame_ = false;
};

class QtWindow final : public Window {
 public:
  QtWindow(const QtApplication& application, int width, int height, WindowStyle style);
  ~QtWindow() override;
  void setTitle(std::string_view title) override;
  void setDelegate(std::weak_ptr<WindowDelegate> delegate) override;
  void setReleasedWhenClosed(bool released) override;
  void center() override;
  ContentView* contentView() override;
  void makeKeyAndOrderFront() override;
  void displayIfNeeded() override;
  std::int64_t windowNumber() override;
  WindowWidget* widget() const { return widget_.get(); }

 private:
  bool shouldClose();
  void willClose();

  const QtApplication& application_;
  std::unique_ptr<WindowWidget> widget_;
  std::unique_ptr<QtContentView> content_;
  std::weak_ptr<WindowDelegate> delegate_;
  bool releasedWhenClosed_ = true;
};

class QtTimer final : public Timer {
 public:
  QtTimer(const QtApplication& application, std::chrono::milliseconds interval, std::function<void()> action);
  ~QtTimer() override;
  QTimer* timer() const { return timer_.get(); }

 private:
  std::unique_ptr<QTimer> timer_;
};

/// Brings every layout in `root` up to date now, so that what is drawn next matches the texts
/// just set rather than waiting for the event loop.
void settleLayouts(QWidget* root);

}  // namespace orvandale::ui::qt
