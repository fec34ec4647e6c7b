#include "app/update_progress.h"

#include "exchange/status.h"
#include "progress/elapsed.h"
#include "progress/phase_rules.h"
#include "progress/publication.h"
#include "progress/texts.h"

namespace orvandale {

namespace {

constexpr const char* closeButtonTitle = "Close status";
constexpr const char* windowTitlePrefix = "Updating Orvandale to ";
constexpr auto pollInterval = std::chrono::milliseconds(500);

}  // namespace

UpdateProgress::UpdateProgress(Token, Services services, std::filesystem::path exchangeDirectory) : services_(services) {
  ui::Application& application = services_.application;
  window = application.makeWindow(
      500, 230, ui::WindowStyle{.titled = true, .closable = true, .miniaturizable = true, .resizable = false});
  heading = application.makeLabel(progress::texts::preparingHeading);
  detail = application.makeWrappingLabel(progress::texts::preparingDetail);
  elapsed = application.makeLabel("");
  spinner = application.makeSpinner();
  closeButton = application.makeButton(closeButtonTitle);
  timer = nullptr;
  canClose = false;
  displayedPhase.clear();
  directory = std::move(exchangeDirectory);
}

UpdateProgress::Created UpdateProgress::create(ui::Application& application, platform::Platform& platform,
                                               std::filesystem::path directory) {
  // Owned by a shared_ptr from the start: the poll timer and the delegates refer to it weakly.
  auto controller = std::make_shared<UpdateProgress>(Token{}, Services{application, platform}, std::move(directory));
  auto session = exchange::readSession(controller->directory);
  if (auto* failure = std::get_if<exchange::SessionFailure>(&session)) return *failure;
  controller->store(std::get<exchange::Session>(session));
  return controller;
}

void UpdateProgress::store(const exchange::Session& session) {
  version = session.version;
  parentPid = session.parentPid;
  startedAt = session.startedAt;
  capture = session.capture;
}

bool UpdateProgress::writeReceipt(std::string_view name, const exchange::Receipt& values) {
  return exchange::writeReceiptFile(directory, name, values);
}

void UpdateProgress::applicationDidFinishLaunching() {
  ui::Application& application = services_.application;
  const std::weak_ptr<UpdateProgress> weakSelf = weak_from_this();

  window->setTitle(windowTitlePrefix + version);
  window->setDelegate(weakSelf);
  window->setReleasedWhenClosed(false);
  window->center();

  heading->setFont(ui::Font{ui::Font::Weight::bold, 20});
  detail->setFont(ui::Font{ui::Font::Weight::regular, 14});
  detail->setMaximumNumberOfLines(3);
  elapsed->setTextColor(ui::TextColor::secondaryLabel);
  spinner->setStyle(ui::SpinnerStyle::spinning);
  spinner->setIndeterminate(true);
  spinner->startAnimation();
  closeButton->setAction([weakSelf] {
    if (auto self = weakSelf.lock()) self->closeStatus();
  });
  closeButton->setHidden(true);

  auto headingRow = application.makeStackView({spinner, heading});
  headingRow->setOrientation(ui::Orientation::horizontal);
  headingRow->setSpacing(14);
  auto mainColumn = application.makeStackView({headingRow, detail, elapsed, closeButton});
  mainColumn->setOrientation(ui::Orientation::vertical);
  mainColumn->setAlignment(ui::Alignment::leading);
  mainColumn->setSpacing(16);
  if (ui::ContentView* content = window->contentView()) {
    content->addSubview(mainColumn);
    // Pinned at the top and the sides only: the column is as tall as its contents.
    const ui::EdgeConstraint pins[] = {
        {mainColumn, ui::Edge::leading, 28},
        {mainColumn, ui::Edge::trailing, -28},
        {mainColumn, ui::Edge::top, 26},
    };
    content->activateConstraints(pins);
  }

  window->makeKeyAndOrderFront();
  application.activateIgnoringOtherApps();
  window->displayIfNeeded();

  // The window number is read only now that the window is on screen and drawn.
  writeReceipt("ready.json", {{"pid", std::int64_t{services_.platform.processIdentifier()}},
                              {"windowId", window->windowNumber()}});

  // The timer holds the controller weakly: a firing after the controller is gone does nothing.
  timer = application.scheduleRepeatingTimer(pollInterval, [weakSelf] {
    if (auto self = weakSelf.lock()) self->tick();
  });
  tick();
}

void UpdateProgress::tick() {
  // One clock reading serves the elapsed line and the long-wait rule alike.
  const std::int64_t seconds = progress::elapsedWholeSeconds(services_.platform.now() - startedAt);
  elapsed->setText(progress::elapsedText(seconds));

  if (std::optional<exchange::StatusReport> read = exchange::readStatus(directory)) lastReport = std::move(*read);
  const exchange::StatusReport& report = lastReport;
  const std::string phase = progress::phaseOf(report);
  const bool parentAlive = !progress::needsParentCheck(phase) || services_.platform.processExists(parentPid);
  const progress::Decision decision = progress::decide(phase, report, seconds, parentAlive);

  switch (decision.rule) {
    case progress::Decision::Rule::completion:
      writeReceipt("finished.json", {{"phase", "complete"}});
      // Nothing of the poll may run after the termination request.
      services_.application.terminate();
      return;
    case progress::Decision::Rule::attention:
      heading->setText(decision.heading);
      detail->setText(decision.detail);
      spinner->stopAnimation();
      allowClose();
      break;
    case progress::Decision::Rule::progress:
      spinner->startAnimation();
      heading->setText(decision.heading);
      detail->setText(decision.detail);
      if (decision.longWait) {
        detail->setText(progress::texts::longWaitDetail);
        allowClose();
      }
      break;
  }
  publish(phase);
}

void UpdateProgress::allowClose() {
  canClose = true;
  closeButton->setHidden(false);
}

void UpdateProgress::publish(const std::string& phase) {
  const std::string key = progress::displayKey(phase, canClose);
  if (key == displayedPhase) return;
  // The key counts as published only once display.json is in place, so a failed write is
  // tried again at the next poll. Nothing more is tried before that: a directory where
  // nothing can be written costs one failed file creation per poll, and no snapshot is drawn.
  if (!writeReceipt("display.json", progress::displayRecord(phase, heading->text(), detail->text(), canClose))) {
    return;
  }
  displayedPhase = key;

  // A phase that would name a file outside the exchange directory gets no snapshot.
  const std::string name = progress::snapshotName(phase);
  if (!capture || !exchange::isPlainFileName(name)) return;
  ui::ContentView* content = window->contentView();
  if (content == nullptr) return;
  const std::optional<std::string> png = content->drawPng();
  if (!png) return;
  exchange::writeSnapshotFile(directory, name, *png);
}

bool UpdateProgress::windowShouldClose() { return canClose; }

// Closing ends only this program: nothing is written and the update goes on.
void UpdateProgress::windowWillClose() { services_.application.terminate(); }

void UpdateProgress::closeStatus() { services_.application.terminate(); }

}  // namespace orvandale
