// ReportThrottle: a repeating report reaches the log at most once a minute,
// and the next one that does says how many were held back.

#include "ReportThrottle.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace zan {

namespace {

TEST(ReportThrottle, RepeatsWithinTheWindowAreHeldBackAndCountedOnTheNextReport)
{
    struct Step {
        int64_t atMs;
        const char* text;
        std::optional<std::string> expected;
    };
    const Step steps[] = {
        {0, "connect failed\n", "connect failed\n"},
        {1000, "connect failed\n", std::nullopt},
        {59999, "connect failed\n", std::nullopt},
        {30000, "other\n", "other\n"},  // another text has a window of its own
        {60000, "connect failed\n", "connect failed (2 repeats not shown)\n"},
        {61000, "connect failed\n", std::nullopt},
        {120000, "connect failed\n", "connect failed (1 repeat not shown)\n"},
        {180000, "connect failed\n", "connect failed\n"},  // nothing held back since
        {185000, "no line feed", "no line feed"},
        {186000, "no line feed", std::nullopt},
        {245000, "no line feed", "no line feed (1 repeat not shown)"},
        // A clock that stepped back opens a new window rather than holding
        // the text back until it catches up.
        {1000, "no line feed", "no line feed"},
    };
    ReportThrottle throttle;
    for (const Step& step : steps) {
        EXPECT_EQ(throttle.Admit(step.text, step.atMs), step.expected) << step.text << " at " << step.atMs;
    }
}

TEST(ReportThrottle, ManyDistinctTextsDoNotGrowWithoutBound)
{
    ReportThrottle throttle;
    for (size_t i = 0; i < ReportThrottle::kMaxTexts * 3; ++i) {
        EXPECT_TRUE(throttle.Admit("text " + std::to_string(i), 0).has_value());
    }
    // Forgotten texts pass again; the throttle never holds a new text back.
    EXPECT_TRUE(throttle.Admit("text 0", 1).has_value());
}

}  // namespace

} // namespace zan
