#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "exchange/receipt.h"
#include "exchange/session.h"
#include "exchange/status.h"
#include "platform/platform.h"
#include "ui/toolkit.h"

namespace orvandale {

/// The status program's one controller: all of its state, the application's and the status
/// window's delegate, and the operations behind every callback. Everything runs on the main
/// thread, one callback at a time.
class UpdateProgress final : public ui::ApplicationDelegate,
                             public ui::WindowDelegate,
                             public std::enable_shared_from_this<UpdateProgress> {
 public:
  using Created = std::variant<std::shared_ptr<UpdateProgress>, exchange::SessionFailure>;

  /// Builds the controller for the exchange directory `directory`: creates the window (not
  /// shown) and its views, then loads session.json. Shows nothing, writes nothing, starts no
  /// timer. Fails, with nothing left behind, when session.json cannot be loaded.
  static Created create(ui::Application& application, platform::Platform& platform, std::filesystem::path directory);

  struct Services {
    ui::Application& application;
    platform::Platform& platform;
  };
  /// Only `create` can make the token, so only `create` constructs a controller.
  class Token {
    friend class UpdateProgress;
    explicit Token() = default;
  };
  UpdateProgress(Token, Services services, std::filesystem::path exchangeDirectory);
  UpdateProgress(const UpdateProgress&) = delete;
  UpdateProgress& operator=(const UpdateProgress&) = delete;

  /// Writes `values` as the JSON file `name` of the exchange directory, replacing it in one
  /// step. Never fails: it says whether the file is in place, and a caller that need not know
  /// carries on either way.
  bool writeReceipt(std::string_view name, const exchange::Receipt& values);

  /// One poll: the elapsed line, a fresh read of status.json (a file caught half written leaves
  /// the last report read whole in force), the phase rules, and then
  /// either the completion (finished.json and termination) or the publication of what the
  /// window shows. Never fails.
  void tick();

  /// Allows the user to close the window from now on and shows the close button.
  void allowClose();

  // ui::ApplicationDelegate
  /// Lays out and shows the window, writes ready.json, starts the poll timer and polls once.
  void applicationDidFinishLaunching() override;

  // ui::WindowDelegate
  /// Whether the user may close the window now: `canClose`.
  bool windowShouldClose() override;
  /// The window is closing (closing was allowed): ends the program.
  void windowWillClose() override;

  /// The close button's action: ends the program at once.
  void closeStatus();

 private:
  void store(const exchange::Session& session);
  /// Tells the updater what the window shows when the display key differs from the one last
  /// published: display.json, and once that is in place, with `capture` a snapshot of the
  /// content named after the phase.
  void publish(const std::string& phase);

  // The toolkit and the process services, handed in rather than global so that the tests
  // can stand in for both.
  Services services_;

  // The program's state. Only `timer`, `canClose`, `displayedPhase` and `lastReport` change
  // after construction; the others keep their value, or refer to the same object, until the end.
  std::filesystem::path directory;
  std::string version;
  std::int32_t parentPid = 0;
  double startedAt = 0;  // seconds since 1970-01-01 00:00:00 UTC
  bool capture = false;
  std::unique_ptr<ui::Window> window;
  std::shared_ptr<ui::Label> heading;
  std::shared_ptr<ui::Label> detail;
  std::shared_ptr<ui::Label> elapsed;
  std::shared_ptr<ui::Spinner> spinner;
  std::shared_ptr<ui::Button> closeButton;
  std::unique_ptr<ui::Timer> timer;
  bool canClose = false;
  std::string displayedPhase;  // the display key of the last display.json put in place
  exchange::StatusReport lastReport;  // the last status report read whole; empty before the first
};

}  // namespace orvandale
