#include "tools/timeline.h"

#include <gtest/gtest.h>

namespace orvandale::simulate {

void PrintTo(const Step& step, std::ostream* out) { *out << step.hold << " s, " << describe(step); }

namespace {

Step status(double hold, std::optional<std::string> phase, std::optional<std::string> message = std::nullopt) {
  return Step{Step::Kind::status, hold, std::move(phase), std::move(message)};
}

TEST(TimelineTest, ReadsOneStepALine) {
  const auto read = parseTimeline(
      "# an update that fails once\n"
      "\n"
      "2    preparing\n"
      "  1.5\tinstalling   \n"
      "3 error The disk is full: free 2 GB #3, then retry.\n"
      "0.25 \"two words\" with a message\n"
      "1 \"\"\n"
      "1 \"caf\\u00e9 \\\"quoted\\\"\"\n"
      "1 -\n"
      "1 - message without a phase\n"
      "2 !end-parent\n"
      "2 !remove-directory\r\n"
      "0 complete");
  ASSERT_TRUE(std::holds_alternative<std::vector<Step>>(read)) << std::get<TimelineError>(read).what;
  EXPECT_EQ(std::get<std::vector<Step>>(read),
            (std::vector<Step>{
                status(2, "preparing"),
                status(1.5, "installing"),
                status(3, "error", "The disk is full: free 2 GB #3, then retry."),
                status(0.25, "two words", "with a message"),
                status(1, ""),
                status(1, "café \"quoted\""),
                status(1, std::nullopt),
                status(1, std::nullopt, "message without a phase"),
                Step{Step::Kind::endParent, 2, {}, {}},
                Step{Step::Kind::removeDirectory, 2, {}, {}},
                status(0, "complete"),
            }));
}

TEST(TimelineTest, NamesTheLineOfEveryMistake) {
  const struct {
    const char* text;
    int line;
    const char* what;
  } cases[] = {
      {"", 0, "no steps"},
      {"# only a comment\n\n", 0, "no steps"},
      {"soon installing", 1, "not a number of seconds"},
      {"1 preparing\n-2 installing", 2, "not a number of seconds"},
      {"2s installing", 1, "not a number of seconds"},
      {"nan installing", 1, "not a number of seconds"},
      {"inf installing", 1, "not a number of seconds"},
      {"3", 1, "a phase or an action must follow"},
      {"1 \"open", 1, "no closing quote"},
      {"1 \"bad \\x escape\"", 1, "not a valid JSON string"},
      {"1 !end-parent now", 1, "takes no message"},
      {"1 !reboot", 1, "unknown action"},
      {"1 \xff\xfe", 1, "not UTF-8"},
      {"1 error \xc3\x28", 1, "not UTF-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto read = parseTimeline(c.text);
    ASSERT_TRUE(std::holds_alternative<TimelineError>(read));
    EXPECT_EQ(std::get<TimelineError>(read).line, c.line);
    EXPECT_NE(std::get<TimelineError>(read).what.find(c.what), std::string::npos) << std::get<TimelineError>(read).what;
  }
}

TEST(TimelineTest, EveryScenarioEndsInCompletionAndIsFoundByName) {
  ASSERT_EQ(scenarios().front().name, "normal");
  for (const Scenario& scenario : scenarios()) {
    SCOPED_TRACE(scenario.name);
    EXPECT_EQ(findScenario(scenario.name), &scenario);
    ASSERT_FALSE(scenario.steps.empty());
    EXPECT_EQ(scenario.steps.back().phase, "complete");
    EXPECT_FALSE(scenario.expectations.empty());
  }
  EXPECT_EQ(findScenario("Normal"), nullptr);
}

}  // namespace
}  // namespace orvandale::simulate
