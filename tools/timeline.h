#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvandale::simulate {

/// One step of an updater's timeline: write a status, or act, then wait `hold` seconds.
struct Step {
  enum class Kind {
    status,           ///< rewrite status.json with `phase` (absent: no "phase" member) and `message`
    endParent,        ///< end the stand-in parent application
    removeDirectory,  ///< remove the exchange directory with everything in it
  };
  Kind kind = Kind::status;
  double hold = 0;  // seconds to wait after the step
  std::optional<std::string> phase;
  std::optional<std::string> message;

  bool operator==(const Step&) const = default;
};

/// What a run has to show beyond the protocol's own rules, checked on what the program
/// published.
struct Expectation {
  std::string phase;
  std::optional<std::string> heading;
  std::optional<std::string> detail;
  std::optional<bool> canClose;
  std::string why;  // said when the expectation is not met
};

struct Scenario {
  std::string name;
  std::string description;
  std::vector<Step> steps;
  std::chrono::seconds startedAgo{0};  // "startedAt" this long before the run starts
  bool standInParent = false;          // a parent process of the tool's own, which a step may end
  std::vector<Expectation> expectations;
};

/// The named scenarios, the default one ("normal") first.
const std::vector<Scenario>& scenarios();
const Scenario* findScenario(std::string_view name);

struct TimelineError {
  int line;  // 1-based; 0 for the file as a whole
  std::string what;
};

/// Reads a timeline file's text. One step a line: `<seconds> <phase> [message]`, where the
/// phase is a bare word, or a JSON string for anything else ("" for the empty phase); `-`
/// writes a status.json without a phase; `!end-parent` and `!remove-directory` act instead
/// of writing. The message is the rest of the line. Lines whose first character other than
/// a blank is `#` are comments; blank lines are skipped.
std::variant<std::vector<Step>, TimelineError> parseTimeline(std::string_view text);

/// The step as a timeline line would say it, for messages.
std::string describe(const Step& step);

/// `text` as a JSON string, for messages: quoted and escaped, invalid UTF-8 replaced.
std::string jsonString(std::string_view text);

}  // namespace orvandale::simulate
