// One launch of the controller on the in-memory toolkit, whose first poll reads a status.json
// holding any bytes at all (bytes that are no JSON object or array tell nothing, and before
// any report was read whole that is an empty one), then publishes: display.json in place. Input: one byte of conditions, then the bytes of
// status.json:
//   bit 0  the parent application is gone
//   bit 1  the update has run past the long wait (600.5 s; otherwise 65 s)
//   bit 2  the session asks for snapshots ("capture": true)
// After the poll the exchange directory holds only the program's own files, each whole and
// as the window shows it; nothing outside the directory has changed, and a symlink planted at
// installing.png still points where it did.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

#include "app/update_progress.h"
#include "exchange/receipt.h"
#include "exchange/status.h"
#include "fuzz/scratch.h"
#include "platform/manual_platform.h"
#include "progress/phase_rules.h"
#include "progress/publication.h"
#include "ui/memory/memory_toolkit.h"

namespace {

namespace fs = std::filesystem;
namespace fuzz = orvandale::fuzz;
using orvandale::UpdateProgress;

constexpr double startSeconds = 1'700'000'000.0;
constexpr std::size_t longestFileName = 255;
constexpr const char* victimContent = "untouched";

struct Layout {
  fs::path root;      // holds only the exchange directory and the one outside it
  fs::path exchange;  // the program's exchange directory
  fs::path outside;   // must never change
};

const Layout& layout() {
  static const Layout made = [] {
    Layout paths{fuzz::scratchDirectory(), fuzz::scratchDirectory() / "exchange", fuzz::scratchDirectory() / "outside"};
    fs::create_directory(paths.exchange);
    fs::create_directory(paths.outside);
    fuzz::writeBytes(paths.outside / "victim", victimContent);
    return paths;
  }();
  return made;
}

// The phase the poll acts on, by the library's whole parse of status.json.
std::string phaseOf(std::string_view status) {
  const nlohmann::json whole = fuzz::wholeParse(status);
  return orvandale::progress::phaseOf(whole.is_object() ? orvandale::exchange::statusFromObject(whole)
                                                        : orvandale::exchange::StatusReport{});
}

void checkOutsideUntouched(const Layout& paths) {
  fuzz::check(fuzz::entryNames(paths.root) == std::set<std::string>{"exchange", "outside"},
              "nothing is written beside the exchange directory");
  fuzz::check(fuzz::entryNames(paths.outside) == std::set<std::string>{"victim"}, "nothing is written outside it");
  fuzz::check(fuzz::readBytes(paths.outside / "victim") == victimContent, "a file outside is never changed");
  fuzz::check(fs::is_symlink(paths.exchange / "installing.png") &&
                  fs::read_symlink(paths.exchange / "installing.png") == paths.outside / "victim",
              "a symlink at a snapshot's name stays as it was");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t conditions = size > 0 ? data[0] : 0;
  const std::string_view status = size > 0 ? fuzz::textOf(data + 1, size - 1) : std::string_view();
  const bool parentGone = (conditions & 1) != 0;
  const bool longWait = (conditions & 2) != 0;
  const bool capture = (conditions & 4) != 0;

  const Layout& paths = layout();
  fuzz::emptyDirectory(paths.exchange);
  fs::create_symlink(paths.outside / "victim", paths.exchange / "installing.png");
  fuzz::writeBytes(paths.exchange / "session.json",
                   std::string(R"({"version":"4.1.0","parentPid":321,"startedAt":1700000000000,"capture":)") +
                       (capture ? "true" : "false") + "}");
  fuzz::writeBytes(paths.exchange / "status.json", status);

  const std::string phase = phaseOf(status);
  const std::string snapshot = orvandale::progress::snapshotName(phase);
  // A phase naming a path of its own must not get a file there.
  const fs::path elsewhere = paths.exchange / snapshot;
  std::error_code unused;
  const bool elsewhereExisted = phase.find('/') != std::string::npos && fs::exists(elsewhere, unused);

  orvandale::ui::memory::MemoryToolkit toolkit;
  orvandale::platform::ManualPlatform platform;
  platform.clock = startSeconds + (longWait ? 600.5 : 65.0);
  platform.parentAlive = !parentGone;
  {
    auto created = UpdateProgress::create(toolkit, platform, paths.exchange);
    auto* controller = std::get_if<std::shared_ptr<UpdateProgress>>(&created);
    fuzz::check(controller != nullptr, "the session loads");
    toolkit.setDelegate(*controller);
    toolkit.run();  // the launch, and its poll

    fuzz::check(fuzz::readBytes(paths.exchange / "ready.json") == R"({"pid":4242,"windowId":101})",
                "ready.json is whole");
    std::set<std::string> allowed = {"session.json", "status.json", "ready.json", "installing.png"};
    if (phase == "complete") {
      fuzz::check(toolkit.terminated, "complete ends the program");
      fuzz::check(fuzz::readBytes(paths.exchange / "finished.json") == R"({"phase":"complete"})",
                  "finished.json is whole");
      allowed.insert("finished.json");
    } else {
      fuzz::check(!toolkit.terminated, "only complete ends the program");
      bool found = false;
      const nlohmann::json display =
          nlohmann::json::parse(fuzz::readBytes(paths.exchange / "display.json", &found), nullptr, false);
      fuzz::check(found && display.is_object() && display.size() == 4, "display.json is whole");
      const bool attention = phase == "error" || (phase == "preparing" && parentGone);
      fuzz::check(display.value("phase", nlohmann::json()) == phase, "display.json holds the phase as read");
      fuzz::check(display.value("canClose", nlohmann::json()) == (attention || longWait),
                  "display.json holds whether closing is allowed");
      fuzz::check(display.value("heading", nlohmann::json()) == toolkit.labels.at(0)->shownText,
                  "display.json holds the heading shown");
      fuzz::check(display.value("detail", nlohmann::json()) == toolkit.labels.at(1)->shownText,
                  "display.json holds the detail shown");
      allowed.insert("display.json");

      const bool snapshotPossible = capture && orvandale::exchange::isPlainFileName(snapshot) &&
                                    snapshot.size() <= longestFileName && snapshot != "installing.png";
      if (snapshotPossible) {
        fuzz::check(fuzz::readBytes(paths.exchange / snapshot) == toolkit.windows.at(0)->contentView()->drawPng(),
                    "the snapshot shows the window as the poll left it");
        allowed.insert(snapshot);
      }
    }
    const std::set<std::string> present = fuzz::entryNames(paths.exchange);
    for (const std::string& name : present) {
      fuzz::check(allowed.count(name) == 1, "the exchange directory holds only the program's own files");
    }
  }
  checkOutsideUntouched(paths);
  if (phase.find('/') != std::string::npos && !elsewhereExisted) {
    fuzz::check(!fs::exists(elsewhere, unused), "a phase naming another directory gets no snapshot there");
  }
  return 0;
}
