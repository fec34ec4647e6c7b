#include "tools/timeline.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>

#include "progress/texts.h"

namespace orvandale::simulate {

namespace {

Step status(double hold, std::optional<std::string> phase, std::optional<std::string> message = std::nullopt) {
  return Step{Step::Kind::status, hold, std::move(phase), std::move(message)};
}

namespace texts = progress::texts;

constexpr const char* diskFull = "The update could not be installed because the disk is full. Free some space, then try again.";

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Splits off the first blank-separated word; the rest keeps its inner blanks.
std::string_view firstWord(std::string_view& text) {
  text = trim(text);
  const auto end = text.find_first_of(" \t");
  std::string_view word = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : trim(text.substr(end));
  return word;
}

bool isUtf8(std::string_view text) {
  try {
    (void)nlohmann::json(std::string(text)).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

}  // namespace

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> all = {
      {"normal",
       "an update that goes through: preparing 2 s, installing 4 s, restarting 2 s, complete",
       {status(2, "preparing"), status(4, "installing"), status(2, "restarting"), status(0, "complete")},
       {},
       false,
       {{"installing", texts::installingHeading, std::nullopt, false, "the installing texts, closing not allowed"},
        {"restarting", texts::restartingHeading, std::nullopt, false, "the restarting texts"}}},
      {"error",
       "the installation fails with a message, is retried and completes; closing stays allowed after the error",
       {status(1.5, "preparing"), status(2, "installing"), status(3, "error", diskFull), status(2, "installing"),
        status(0, "complete")},
       {},
       false,
       {{"error", texts::attentionHeading, diskFull, true, "the error's message, closing allowed"},
        {"installing", texts::installingHeading, std::nullopt, true, "after an error closing stays allowed"}}},
      {"parent-gone",
       "the application being updated quits while the update is preparing",
       {status(2, "preparing"), Step{Step::Kind::endParent, 2.5, {}, {}}, status(0, "complete")},
       {},
       true,
       {{"preparing", texts::attentionHeading, texts::fallbackDetail, true,
         "the attention texts once the parent application is gone"}}},
      {"long-wait",
       "an update that started 601 s ago: the long-wait text, and closing allowed at once",
       {status(3, "installing"), status(0, "complete")},
       std::chrono::seconds(601),
       false,
       {{"installing", texts::installingHeading, texts::longWaitDetail, true,
         "the long-wait text with closing allowed"}}},
      {"unknown-phase",
       "the updater reports a phase the window does not know: it shows the preparing texts under that name",
       {status(1.5, "preparing"), status(2.5, "downloading"), status(1.5, "installing"), status(0, "complete")},
       {},
       false,
       {{"downloading", texts::preparingHeading, texts::preparingDetail, false,
         "an unknown phase is shown with the preparing texts and published under its own name"}}},
      {"vanishing-directory",
       "the exchange directory is removed while the program runs, then made again",
       {status(2, "installing"), Step{Step::Kind::removeDirectory, 2, {}, {}}, status(2, "restarting"),
        status(0, "complete")},
       {},
       false,
       {{"restarting", texts::restartingHeading, std::nullopt, false,
         "the program follows a directory that comes back"}}},
  };
  return all;
}

const Scenario* findScenario(std::string_view name) {
  for (const Scenario& scenario : scenarios()) {
    if (scenario.name == name) return &scenario;
  }
  return nullptr;
}

std::variant<std::vector<Step>, TimelineError> parseTimeline(std::string_view text) {
  std::vector<Step> steps;
  int number = 0;
  while (!text.empty()) {
    ++number;
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);

    std::string_view rest = trim(line);
    if (rest.empty() || rest.front() == '#') continue;

    const std::string_view seconds = firstWord(rest);
    double hold = 0;
    const auto [stop, error] = std::from_chars(seconds.data(), seconds.data() + seconds.size(), hold);
    if (error != std::errc() || stop != seconds.data() + seconds.size() || !std::isfinite(hold) || hold < 0) {
      return TimelineError{number, "\"" + std::string(seconds) + "\" is not a number of seconds (0 or more)"};
    }
    if (rest.empty()) return TimelineError{number, "a phase or an action must follow the seconds"};

    Step step;
    step.hold = hold;
    if (rest.front() == '"') {
      // A JSON string: the phase may hold blanks, be empty, or hold any character.
      std::size_t close = 1;
      while (close < rest.size() && rest[close] != '"') close += rest[close] == '\\' ? 2 : 1;
      if (close >= rest.size()) return TimelineError{number, "the quoted phase has no closing quote"};
      const auto phase = nlohmann::json::parse(rest.substr(0, close + 1), nullptr, false);
      if (!phase.is_string()) return TimelineError{number, "the quoted phase is not a valid JSON string"};
      step.phase = phase.get<std::string>();
      rest = trim(rest.substr(close + 1));
    } else {
      const std::string_view word = firstWord(rest);
      if (word == "!end-parent" || word == "!remove-directory") {
        if (!rest.empty()) return TimelineError{number, std::string(word) + " takes no message"};
        step.kind = word == "!end-parent" ? Step::Kind::endParent : Step::Kind::removeDirectory;
        steps.push_back(step);
        continue;
      }
      if (word.front() == '!') return TimelineError{number, "unknown action \"" + std::string(word) + "\""};
      if (word != "-") {
        if (!isUtf8(word)) return TimelineError{number, "the phase is not UTF-8 text"};
        step.phase = std::string(word);
      }
    }
    if (!rest.empty()) {
      if (!isUtf8(rest)) return TimelineError{number, "the message is not UTF-8 text"};
      step.message = std::string(rest);
    }
    steps.push_back(step);
  }
  if (steps.empty()) return TimelineError{0, "the timeline has no steps"};
  return steps;
}

std::string describe(const Step& step) {
  switch (step.kind) {
    case Step::Kind::endParent: return "end the parent application";
    case Step::Kind::removeDirectory: return "remove the exchange directory";
    case Step::Kind::status: break;
  }
  std::string text = step.phase ? jsonString(*step.phase) : std::string("(no phase)");
  if (step.message) text += " with message " + jsonString(*step.message);
  return text;
}

std::string jsonString(std::string_view text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace orvandale::simulate
