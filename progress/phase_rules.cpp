#include "progress/phase_rules.h"

#include "progress/texts.h"

namespace orvandale::progress {

std::string phaseOf(const exchange::StatusReport& report) { return report.phase.value_or("preparing"); }

bool needsParentCheck(std::string_view phase) { return phase == "preparing"; }

Decision decide(std::string_view phase, const exchange::StatusReport& report, std::int64_t elapsedSeconds,
                bool parentAlive) {
  if (phase == "complete") return Decision{Decision::Rule::completion, {}, {}};

  if (phase == "error" || (needsParentCheck(phase) && !parentAlive)) {
    return Decision{Decision::Rule::attention, texts::attentionHeading, report.message.value_or(texts::fallbackDetail)};
  }

  Decision decision{Decision::Rule::progress, texts::preparingHeading, texts::preparingDetail};
  if (phase == "restarting") {
    decision.heading = texts::restartingHeading;
    decision.detail = texts::restartingDetail;
  } else if (phase == "installing") {
    decision.heading = texts::installingHeading;
    decision.detail = texts::installingDetail;
  }
  decision.longWait = elapsedSeconds >= longWaitSeconds;
  return decision;
}

}  // namespace orvandale::progress
