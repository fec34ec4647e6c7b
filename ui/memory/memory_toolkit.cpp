#include "ui/memory/memory_toolkit.h"

#include <algorithm>
#include <sstream>

namespace orvandale::ui::memory {

namespace {

std::string number(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

std::string flag(bool value) { return value ? "true" : "false"; }

std::string describe(Font font) {
  return std::string(font.weight == Font::Weight::bold ? "bold " : "regular ") + number(font.size);
}

std::string describe(WindowStyle style) {
  std::string out;
  if (style.titled) out += " titled";
  if (style.closable) out += " closable";
  if (style.miniaturizable) out += " miniaturizable";
  if (style.resizable) out += " resizable";
  return out.empty() ? out : out.substr(1);
}

const char* edgeName(Edge edge) {
  switch (edge) {
    case Edge::leading: return "leading";
    case Edge::trailing: return "trailing";
    case Edge::top: return "top";
  }
  return "?";
}

void drawInto(const View& view, std::string& out) {
  if (const auto* label = dynamic_cast<const MemoryLabel*>(&view)) {
    out += "label " + label->shownText + "\n";
  } else if (const auto* spinner = dynamic_cast<const MemorySpinner*>(&view)) {
    out += spinner->animating ? "spinner turning\n" : "spinner still\n";
  } else if (const auto* button = dynamic_cast<const MemoryButton*>(&view)) {
    if (!button->hidden) out += "button " + button->title + "\n";
  } else if (const auto* stack = dynamic_cast<const MemoryStackView*>(&view)) {
    for (const auto& inner : stack->views) drawInto(*inner, out);
  }
}

}  // namespace

MemoryLabel::MemoryLabel(MemoryToolkit& toolkit, std::string name, std::string_view text, bool wrapping)
    : name(std::move(name)), wrapping(wrapping), shownText(text), toolkit_(toolkit) {}

void MemoryLabel::setText(std::string_view text) {
  shownText = text;
  if (toolkit_.recording) toolkit_.record(name + ".setText(" + shownText + ")");
}

std::string MemoryLabel::text() const { return shownText; }

void MemoryLabel::setFont(Font value) {
  font = value;
  toolkit_.record(name + ".setFont(" + describe(value) + ")");
}

void MemoryLabel::setMaximumNumberOfLines(int lines) {
  maximumNumberOfLines = lines;
  toolkit_.record(name + ".setMaximumNumberOfLines(" + std::to_string(lines) + ")");
}

void MemoryLabel::setTextColor(TextColor color) {
  textColor = color;
  toolkit_.record(name + ".setTextColor(" + (color == TextColor::secondaryLabel ? "secondaryLabel" : "label") + ")");
}

MemorySpinner::MemorySpinner(MemoryToolkit& toolkit, std::string name) : name(std::move(name)), toolkit_(toolkit) {}

void MemorySpinner::setStyle(SpinnerStyle value) {
  style = value;
  toolkit_.record(name + ".setStyle(" + (value == SpinnerStyle::spinning ? "spinning" : "bar") + ")");
}

void MemorySpinner::setIndeterminate(bool value) {
  indeterminate = value;
  toolkit_.record(name + ".setIndeterminate(" + flag(value) + ")");
}

void MemorySpinner::startAnimation() {
  if (indeterminate) animating = true;
  if (toolkit_.recording) toolkit_.record(name + ".startAnimation()");
}

void MemorySpinner::stopAnimation() {
  animating = false;
  if (toolkit_.recording) toolkit_.record(name + ".stopAnimation()");
}

MemoryButton::MemoryButton(MemoryToolkit& toolkit, std::string name, std::string_view title)
    : name(std::move(name)), title(title), toolkit_(toolkit) {}

void MemoryButton::setAction(std::function<void()> value) {
  action = std::move(value);
  toolkit_.record(name + ".setAction()");
}

void MemoryButton::setHidden(bool value) {
  hidden = value;
  if (toolkit_.recording) toolkit_.record(name + ".setHidden(" + flag(value) + ")");
}

MemoryStackView::MemoryStackView(MemoryToolkit& toolkit, std::string name, std::vector<std::shared_ptr<View>> views)
    : name(std::move(name)), views(std::move(views)), toolkit_(toolkit) {}

void MemoryStackView::setOrientation(Orientation value) {
  orientation = value;
  toolkit_.record(name + ".setOrientation(" + (value == Orientation::vertical ? "vertical" : "horizontal") + ")");
}

void MemoryStackView::setAlignment(Alignment value) {
  alignment = value;
  toolkit_.record(name + ".setAlignment(" + (value == Alignment::leading ? "leading" : "center") + ")");
}

void MemoryStackView::setSpacing(double value) {
  spacing = value;
  toolkit_.record(name + ".setSpacing(" + number(value) + ")");
}

MemoryContentView::MemoryContentView(MemoryToolkit& toolkit, std::string name)
    : name(std::move(name)), toolkit_(toolkit) {}

void MemoryContentView::addSubview(std::shared_ptr<View> view) {
  toolkit_.record(name + ".addSubview(" + MemoryToolkit::nameOf(*view) + ")");
  subviews.push_back(std::move(view));
}

void MemoryContentView::activateConstraints(std::span<const EdgeConstraint> added) {
  std::string list;
  for (const EdgeConstraint& constraint : added) {
    if (!list.empty()) list += ", ";
    list += MemoryToolkit::nameOf(*constraint.view) + "." + edgeName(constraint.edge) + " = " + number(constraint.constant);
    constraints.push_back(constraint);
  }
  toolkit_.record(name + ".activateConstraints(" + list + ")");
}

std::optional<std::string> MemoryContentView::drawPng() {
  toolkit_.record(name + ".drawPng()");
  if (toolkit_.drawingFails) return std::nullopt;
  std::string drawing = "drawing\n";
  for (const auto& view : subviews) drawInto(*view, drawing);
  return drawing;
}

MemoryWindow::MemoryWindow(MemoryToolkit& toolkit, std::string name, double width, double height, WindowStyle style)
    : name(std::move(name)),
      width(width),
      height(height),
      style(style),
      number(toolkit.nextWindowNumber_++),
      toolkit_(toolkit),
      content_(toolkit.contentViewMissing ? nullptr : std::make_unique<MemoryContentView>(toolkit, this->name + ".content")) {
  toolkit_.windows.push_back(this);
}

MemoryWindow::~MemoryWindow() { std::erase(toolkit_.windows, this); }

void MemoryWindow::setTitle(std::string_view value) {
  title = value;
  toolkit_.record(name + ".setTitle(" + title + ")");
}

void MemoryWindow::setDelegate(std::weak_ptr<WindowDelegate> value) {
  delegate = std::move(value);
  toolkit_.record(name + ".setDelegate()");
}

void MemoryWindow::setReleasedWhenClosed(bool value) {
  releasedWhenClosed = value;
  toolkit_.record(name + ".setReleasedWhenClosed(" + flag(value) + ")");
}

void MemoryWindow::center() {
  centered = true;
  toolkit_.record(name + ".center()");
}

ContentView* MemoryWindow::contentView() { return content_.get(); }

void MemoryWindow::makeKeyAndOrderFront() {
  visible = true;
  toolkit_.record(name + ".makeKeyAndOrderFront()");
}

void MemoryWindow::displayIfNeeded() {
  ++draws;
  toolkit_.record(name + ".displayIfNeeded()");
}

std::int64_t MemoryWindow::windowNumber() {
  toolkit_.record(name + ".windowNumber() -> " + std::to_string(number));
  return number;
}

MemoryTimer::MemoryTimer(MemoryToolkit& toolkit, std::string name, std::chrono::milliseconds interval,
                         std::function<void()> action)
    : name(std::move(name)), interval(interval), action(std::move(action)), toolkit_(toolkit) {
  toolkit_.timers.push_back(this);
}

MemoryTimer::~MemoryTimer() { std::erase(toolkit_.timers, this); }

void MemoryToolkit::setActivationPolicy(ActivationPolicy policy) {
  activationPolicy = policy;
  record(std::string("application.setActivationPolicy(") +
         (policy == ActivationPolicy::accessory ? "accessory" : "regular") + ")");
}

void MemoryToolkit::setDelegate(std::weak_ptr<ApplicationDelegate> value) {
  delegate = std::move(value);
  record("application.setDelegate()");
}

void MemoryToolkit::run() {
  record("application.run()");
  if (auto launched = delegate.lock(); launched && !terminated) launched->applicationDidFinishLaunching();
}

void MemoryToolkit::activateIgnoringOtherApps() {
  activated = true;
  record("application.activateIgnoringOtherApps()");
}

void MemoryToolkit::terminate() {
  terminated = true;
  record("application.terminate()");
}

std::unique_ptr<Window> MemoryToolkit::makeWindow(double width, double height, WindowStyle style) {
  auto window = std::make_unique<MemoryWindow>(*this, nextName("window"), width, height, style);
  record("application.makeWindow(" + number(width) + "x" + number(height) + ", " + describe(style) + ") -> " +
         window->name);
  return window;
}

std::shared_ptr<Label> MemoryToolkit::makeLabel(std::string_view text) {
  auto label = std::make_shared<MemoryLabel>(*this, nextName("label"), text, false);
  labels.push_back(label);
  record("application.makeLabel(" + std::string(text) + ") -> " + label->name);
  return label;
}

std::shared_ptr<Label> MemoryToolkit::makeWrappingLabel(std::string_view text) {
  auto label = std::make_shared<MemoryLabel>(*this, nextName("label"), text, true);
  labels.push_back(label);
  record("application.makeWrappingLabel(" + std::string(text) + ") -> " + label->name);
  return label;
}

std::shared_ptr<Spinner> MemoryToolkit::makeSpinner() {
  auto spinner = std::make_shared<MemorySpinner>(*this, nextName("spinner"));
  spinners.push_back(spinner);
  record("application.makeSpinner() -> " + spinner->name);
  return spinner;
}

std::shared_ptr<Button> MemoryToolkit::makeButton(std::string_view title) {
  auto button = std::make_shared<MemoryButton>(*this, nextName("button"), title);
  buttons.push_back(button);
  record("application.makeButton(" + std::string(title) + ") -> " + button->name);
  return button;
}

std::shared_ptr<StackView> MemoryToolkit::makeStackView(std::vector<std::shared_ptr<View>> views) {
  std::string list;
  for (const auto& view : views) list += (list.empty() ? "" : ", ") + nameOf(*view);
  auto stack = std::make_shared<MemoryStackView>(*this, nextName("stack"), std::move(views));
  stackViews.push_back(stack);
  record("application.makeStackView(" + list + ") -> " + stack->name);
  return stack;
}

std::unique_ptr<Timer> MemoryToolkit::scheduleRepeatingTimer(std::chrono::milliseconds interval,
                                                             std::function<void()> action) {
  auto timer = std::make_unique<MemoryTimer>(*this, nextName("timer"), interval, std::move(action));
  record("application.scheduleRepeatingTimer(" + std::to_string(interval.count()) + "ms) -> " + timer->name);
  return timer;
}

void MemoryToolkit::fireTimers() {
  const std::vector<MemoryTimer*> firing = timers;
  for (MemoryTimer* timer : firing) {
    if (terminated) return;
    // A timer let go of by an earlier firing in this round does not fire.
    if (std::find(timers.begin(), timers.end(), timer) != timers.end()) timer->action();
  }
}

void MemoryToolkit::click(MemoryButton& button) {
  if (terminated || button.hidden || !button.action) return;
  button.action();
}

bool MemoryToolkit::requestClose(MemoryWindow& window) {
  if (terminated || !window.visible) return false;
  if (!window.style.closable) return false;
  auto asked = window.delegate.lock();
  if (asked && !asked->windowShouldClose()) return false;
  window.visible = false;
  if (asked) asked->windowWillClose();
  return true;
}

std::vector<std::string> MemoryToolkit::callsSince(std::size_t mark) const {
  return {calls.begin() + static_cast<std::ptrdiff_t>(std::min(mark, calls.size())), calls.end()};
}

void MemoryToolkit::record(std::string call) {
  if (!recording) return;
  calls.push_back(std::move(call));
  if (observer) observer(calls.back());
}

std::string MemoryToolkit::nameOf(const View& view) {
  if (const auto* label = dynamic_cast<const MemoryLabel*>(&view)) return label->name;
  if (const auto* spinner = dynamic_cast<const MemorySpinner*>(&view)) return spinner->name;
  if (const auto* button = dynamic_cast<const MemoryButton*>(&view)) return button->name;
  if (const auto* stack = dynamic_cast<const MemoryStackView*>(&view)) return stack->name;
  return "view";
}

std::string MemoryToolkit::nextName(const char* kind) { return std::string(kind) + "#" + std::to_string(++made_[kind]); }

}  // namespace orvandale::ui::memory
