#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/timeline.h"

namespace orvandale::simulate {

/// Checks what the program does against the exchange directory protocol, event by event as
/// the updater sees them, and keeps every breach it finds in words.
class ProtocolCheck {
 public:
  ProtocolCheck(int programPid, bool capture);

  /// The updater rewrote status.json with this phase (none: no "phase" member).
  void statusWritten(const std::optional<std::string>& phase);

  /// A new ready.json, display.json or finished.json with these bytes. Returns the parsed
  /// content, or a discarded value when it is no JSON object.
  nlohmann::json readyAppeared(const std::string& bytes);
  nlohmann::json displayAppeared(const std::string& bytes);
  void finishedAppeared(const std::string& bytes);

  /// The program ended with `status` (128 + signal when a signal ended it), having printed
  /// `output` on stdout and stderr together.
  void programEnded(int status, std::string_view output);

  /// What the program printed on stdout and stderr together, when the tool had to end it: the
  /// program must print nothing, ever.
  void outputSeen(std::string_view output);

  /// At the end of a run: the snapshot files written during it, and what the scenario
  /// expects the program to have published.
  void finish(const std::set<std::string>& snapshots, const std::vector<Expectation>& expectations);

  void breach(std::string what) { breaches_.push_back(std::move(what)); }
  const std::vector<std::string>& breaches() const { return breaches_; }
  const std::vector<nlohmann::json>& publications() const { return displays_; }
  bool readySeen() const { return ready_; }
  bool finishedSeen() const { return finished_; }

 private:
  int programPid_;
  bool capture_;
  std::set<std::string> writtenPhases_{"preparing"};  // no status.json, or no phase, reads as "preparing"
  bool completeWritten_ = false;
  bool ready_ = false;
  bool finished_ = false;
  bool closingAllowed_ = false;
  std::vector<nlohmann::json> displays_;
  std::vector<std::string> breaches_;
};

}  // namespace orvandale::simulate
