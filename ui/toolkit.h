#pragma once

// The window toolkit as the program sees it: the few operations it needs from a desktop
// toolkit, with the same meaning whichever implementation stands behind them. The real one is
// on Qt 6 Widgets (ui/qt); the in-memory one (ui/memory) records every call for the tests.
//
// Every call is made on the main thread. Views are shared: whoever holds a view (the
// controller, a stack view, a content view) keeps it alive, as views are retained in a view
// tree. Delegates are held weakly and never kept alive by the toolkit.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvandale::ui {

class Uncopyable {
 public:
  Uncopyable(const Uncopyable&) = delete;
  Uncopyable& operator=(const Uncopyable&) = delete;

 protected:
  Uncopyable() = default;
  ~Uncopyable() = default;
};

/// The system font at a size in points (one point is one pixel at device pixel ratio 1).
struct Font {
  enum class Weight { regular, bold };
  Weight weight = Weight::regular;
  double size = 13;

  bool operator==(const Font&) const = default;
};

enum class TextColor { label, secondaryLabel };
enum class Orientation { horizontal, vertical };
/// How a stack view lines up its views across its orientation. `center` is a stack's default;
/// `leading` puts every view at the leading edge at its own width (used in vertical stacks).
enum class Alignment { center, leading };
enum class SpinnerStyle { bar, spinning };
enum class ActivationPolicy { regular, accessory };

/// Anything that can stand in a stack view or a content view.
class View : Uncopyable {
 public:
  virtual ~View() = default;
};

/// A static text label: single-line, or wrapping onto several lines.
class Label : public View {
 public:
  virtual void setText(std::string_view text) = 0;
  /// The text last set.
  virtual std::string text() const = 0;
  virtual void setFont(Font font) = 0;
  /// At most `lines` lines are shown; the last one shown ends in "…" when text is cut off.
  virtual void setMaximumNumberOfLines(int lines) = 0;
  virtual void setTextColor(TextColor color) = 0;
};

/// A progress indicator. Created as a determinate bar that does not animate.
class Spinner : public View {
 public:
  virtual void setStyle(SpinnerStyle style) = 0;
  virtual void setIndeterminate(bool indeterminate) = 0;
  /// Starts turning (an indeterminate indicator only); starting a turning one changes nothing.
  virtual void startAnimation() = 0;
  virtual void stopAnimation() = 0;
};

/// A push button. Its action runs on every click while it is visible.
class Button : public View {
 public:
  virtual void setAction(std::function<void()> action) = 0;
  /// A hidden button is neither drawn nor clickable and takes no room in a stack view.
  virtual void setHidden(bool hidden) = 0;
};

/// Lines up views in a row or a column, in the order given.
class StackView : public View {
 public:
  virtual void setOrientation(Orientation orientation) = 0;
  virtual void setAlignment(Alignment alignment) = 0;
  virtual void setSpacing(double spacing) = 0;
};

/// An edge of a view and of the content view that contains it.
enum class Edge { leading, trailing, top };

/// `view`'s `edge` equals the same edge of the content view plus `constant` points.
struct EdgeConstraint {
  std::shared_ptr<View> view;
  Edge edge;
  double constant;
};

/// The view that fills a window's content area.
class ContentView : Uncopyable {
 public:
  virtual ~ContentView() = default;
  virtual void addSubview(std::shared_ptr<View> view) = 0;
  /// Activates the constraints together. A view with no constraint on an edge keeps its own
  /// size along it: nothing ties a view to the bottom edge unless a constraint says so.
  virtual void activateConstraints(std::span<const EdgeConstraint> constraints) = 0;
  /// The content view and all its visible subviews drawn over its bounds at the screen's
  /// device pixel ratio, encoded as PNG with the encoder's defaults; nothing if that fails.
  virtual std::optional<std::string> drawPng() = 0;
};

/// Asked and told by a window about closes by the user.
class WindowDelegate {
 public:
  /// Asked before a close by the user; false keeps the window open.
  virtual bool windowShouldClose() = 0;
  /// Told as the window closes.
  virtual void windowWillClose() = 0;

 protected:
  ~WindowDelegate() = default;
};

struct WindowStyle {
  bool titled = true;
  bool closable = true;
  bool miniaturizable = true;
  bool resizable = false;

  bool operator==(const WindowStyle&) const = default;
};

/// A top-level window with a title bar. Created off screen.
class Window : Uncopyable {
 public:
  virtual ~Window() = default;
  virtual void setTitle(std::string_view title) = 0;
  virtual void setDelegate(std::weak_ptr<WindowDelegate> delegate) = 0;
  /// False keeps the window and its views alive after it closes.
  virtual void setReleasedWhenClosed(bool released) = 0;
  /// Centres the window on the screen.
  virtual void center() = 0;
  /// The view that fills the content area; may be absent.
  virtual ContentView* contentView() = 0;
  /// Shows the window, makes it the key window and puts it in front.
  virtual void makeKeyAndOrderFront() = 0;
  /// Lays out and draws what is pending, now.
  virtual void displayIfNeeded() = 0;
  /// The window system's number for this window.
  virtual std::int64_t windowNumber() = 0;
};

/// A repeating timer. It fires until the process ends; letting go of it stops it.
class Timer : Uncopyable {
 public:
  virtual ~Timer() = default;
};

/// Told once, by the running event loop, that the application has finished launching.
class ApplicationDelegate {
 public:
  virtual void applicationDidFinishLaunching() = 0;

 protected:
  ~ApplicationDelegate() = default;
};

/// The application object: event loop, activation, termination, and the factories of windows,
/// views and timers.
class Application : Uncopyable {
 public:
  virtual ~Application() = default;

  virtual void setActivationPolicy(ActivationPolicy policy) = 0;
  virtual void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) = 0;
  /// Runs the event loop. The delegate is told `applicationDidFinishLaunching` once, from the
  /// loop; the call returns after `terminate`.
  virtual void run() = 0;
  /// Makes this the active application, even while another one is active.
  virtual void activateIgnoringOtherApps() = 0;
  /// Ends the application: the event loop returns once the current callback has returned, and
  /// no timer, button, close or launch callback reaches the program after this call.
  virtual void terminate() = 0;

  /// A window whose content area is `width` x `height` points.
  virtual std::unique_ptr<Window> makeWindow(double width, double height, WindowStyle style) = 0;
  virtual std::shared_ptr<Label> makeLabel(std::string_view text) = 0;
  virtual std::shared_ptr<Label> makeWrappingLabel(std::string_view text) = 0;
  virtual std::shared_ptr<Spinner> makeSpinner() = 0;
  virtual std::shared_ptr<Button> makeButton(std::string_view title) = 0;
  /// A horizontal stack of `views`, in order, with the toolkit's default spacing.
  virtual std::shared_ptr<StackView> makeStackView(std::vector<std::shared_ptr<View>> views) = 0;
  /// Fires `action` on the main thread every `interval` until the process ends or the
  /// returned timer is let go of.
  virtual std::unique_ptr<Timer> scheduleRepeatingTimer(std::chrono::milliseconds interval,
                                                        std::function<void()> action) = 0;
};

}  // namespace orvandale::ui
