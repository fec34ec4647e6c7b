#include "app/update_progress.h"

#include "progress/texts.h"

namespace orvandale {

namespace {

constexpr const char* closeButtonTitle = "Close status";

}  // namespace

UpdateProgress::UpdateProgress(Token, Services services, std::filesystem::path exchangeDirectory) : services_(services) {
  ui::Application& application = services_.application;
  window = application.makeWindow(500, 230, ui::WindowStyle{.titled = true, .closable = true, .miniaturizable = true, .resizable = false});
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

void UpdateProgress::writeReceipt(std::string_view name, const exchange::Receipt& values) {
  exchange::writeReceiptFile(directory, name, values);
}

void UpdateProgress::applicationDidFinishLaunching() {}

bool UpdateProgress::windowShouldClose() { return canClose; }

void UpdateProgress::windowWillClose() {}

}  // namespace orvandale
