#pragma once

// The toolkit layer in memory: no window system, every call recorded in order as a line such
// as `label#2.setText(Installing update…)`, every element's state kept for a test to read, and
// the toolkit's callbacks (timer, button, close box, launch) driven by the test. It must
// outlive every element it makes.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/toolkit.h"

namespace orvandale::ui::memory {

class MemoryToolkit;

class MemoryLabel final : public Label {
 public:
  MemoryLabel(MemoryToolkit& toolkit, std::string name, std::string_view text, bool wrapping);
  void setText(std::string_view text) override;
  std::string text() const override;
  void setFont(Font font) override;
  void setMaximumNumberOfLines(int lines) override;
  void setTextColor(TextColor color) override;

  const std::string name;
  const bool wrapping;
  std::string shownText;
  Font font{};
  int maximumNumberOfLines = 0;  // 0: no limit
  TextColor textColor = TextColor::label;

 private:
  MemoryToolkit& toolkit_;
};

class MemorySpinner final : public Spinner {
 public:
  MemorySpinner(MemoryToolkit& toolkit, std::string name);
  void setStyle(SpinnerStyle style) override;
  void setIndeterminate(bool indeterminate) override;
  void startAnimation() override;
  void stopAnimation() override;

  const std::string name;
  SpinnerStyle style = SpinnerStyle::bar;
  bool indeterminate = false;
  bool animating = false;

 private:
  MemoryToolkit& toolkit_;
};

class MemoryButton final : public Button {
 public:
  MemoryButton(MemoryToolkit& toolkit, std::string name, std::string_view title);
  void setAction(std::function<void()> action) override;
  void setHidden(bool hidden) override;

  const std::string name;
  const std::string title;
  std::function<void()> action;
  bool hidden = false;

 private:
  MemoryToolkit& toolkit_;
};

class MemoryStackView final : public StackView {
 public:
  MemoryStackView(MemoryToolkit& toolkit, std::string name, std::vector<std::shared_ptr<View>> views);
  void setOrientation(Orientation orientation) override;
  void setAlignment(Alignment alignment) override;
  void setSpacing(double spacing) override;

  const std::string name;
  const std::vector<std::shared_ptr<View>> views;
  Orientation orientation = Orientation::horizontal;
  Alignment alignment = Alignment::center;
  double spacing = 8;

 private:
  MemoryToolkit& toolkit_;
};

class MemoryContentView final : public ContentView {
 public:
  MemoryContentView(MemoryToolkit& toolkit, std::string name);
  void addSubview(std::shared_ptr<View> view) override;
  void activateConstraints(std::span<const EdgeConstraint> constraints) override;
  /// Not an image: a text that lists what a drawing would show, one visible element a line.
  std::optional<std::string> drawPng() override;

  const std::string name;
  std::vector<std::shared_ptr<View>> subviews;
  std::vector<EdgeConstraint> constraints;

 private:
  MemoryToolkit& toolkit_;
};

class MemoryWindow final : public Window {
 public:
  MemoryWindow(MemoryToolkit& toolkit, std::string name, double width, double height, WindowStyle style);
  ~MemoryWindow() override;
  void setTitle(std::string_view title) override;
  void setDelegate(std::weak_ptr<WindowDelegate> delegate) override;
  void setReleasedWhenClosed(bool released) override;
  void center() override;
  ContentView* contentView() override;
  void makeKeyAndOrderFront() override;
  void displayIfNeeded() override;
  std::int64_t windowNumber() override;

  const std::string name;
  const double width;
  const double height;
  const WindowStyle style;
  std::string title;
  std::weak_ptr<WindowDelegate> delegate;
  bool releasedWhenClosed = true;
  bool centered = false;
  bool visible = false;
  int draws = 0;
  const std::int64_t number;

 private:
  MemoryToolkit& toolkit_;
  std::unique_ptr<MemoryContentView> content_;
};

class MemoryTimer final : public Timer {
 public:
  MemoryTimer(MemoryToolkit& toolkit, std::string name, std::chrono::milliseconds interval,
              std::function<void()> action);
  ~MemoryTimer() override;

  const std::string name;
  const std::chrono::milliseconds interval;
  const std::function<void()> action;

 private:
  MemoryToolkit& toolkit_;
};

class MemoryToolkit final : public Application {
 public:
  MemoryToolkit() = default;

  void setActivationPolicy(ActivationPolicy policy) override;
  void setDelegate(std::weak_ptr<ApplicationDelegate> delegate) override;
  /// Tells the delegate `applicationDidFinishLaunching` and returns: later callbacks come from
  /// the test's drivers below.
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

  // Drivers: what the event loop would deliver. None of them reaches the program after
  // `terminate`, as with the real toolkit.

  /// Fires every live timer once, in the order they were scheduled.
  void fireTimers();
  /// The user clicks `button`: its action runs if it is visible.
  void click(MemoryButton& button);
  /// The user asks to close `window` with its close box. True when it closed.
  bool requestClose(MemoryWindow& window);

  // Faults a test can switch on before the element concerned is made or used.
  bool contentViewMissing = false;  // windows made from now on have no content view
  bool drawingFails = false;        // drawPng gives nothing

  /// Every call made on the toolkit and its elements, in order, while `recording`.
  std::vector<std::string> calls;
  bool recording = true;  // a benchmark switches it off, so that it measures the program only
  /// Told of every call as it is recorded: a test can look at the world at that moment.
  std::function<void(const std::string& call)> observer;

  ActivationPolicy activationPolicy = ActivationPolicy::regular;
  std::weak_ptr<ApplicationDelegate> delegate;
  bool activated = false;
  bool terminated = false;

  // Every element made so far, in the order made. Windows and timers are listed while alive.
  std::vector<std::shared_ptr<MemoryLabel>> labels;
  std::vector<std::shared_ptr<MemorySpinner>> spinners;
  std::vector<std::shared_ptr<MemoryButton>> buttons;
  std::vector<std::shared_ptr<MemoryStackView>> stackViews;
  std::vector<MemoryWindow*> windows;
  std::vector<MemoryTimer*> timers;

  /// The calls recorded since the `mark`-th one.
  std::vector<std::string> callsSince(std::size_t mark) const;

  void record(std::string call);
  /// The name under which `view` appears in the calls.
  static std::string nameOf(const View& view);

 private:
  friend class MemoryWindow;
  friend class MemoryTimer;
  std::string nextName(const char* kind);
  std::map<std::string, int, std::less<>> made_;  // elements made so far, by kind
  std::int64_t nextWindowNumber_ = 101;
};

}  // namespace orvandale::ui::memory
