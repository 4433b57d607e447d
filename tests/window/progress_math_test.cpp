// What the progress bar draws, in both windows: the filled width and the text.
#include "window/progress_math.h"

#include <gtest/gtest.h>

#include <set>

namespace torv2::window {
namespace {

struct WidthCase {
  int width;
  int position;
  int filled;
};

class FilledWidthIs : public ::testing::TestWithParam<WidthCase> {};

TEST_P(FilledWidthIs, WidthTimesFractionTruncated) {
  const WidthCase& c = GetParam();
  EXPECT_EQ(FilledWidth(c.width, c.position, 0, 100), c.filled);
}

INSTANTIATE_TEST_SUITE_P(
    Bar, FilledWidthIs,
    ::testing::Values(WidthCase{187, 0, 0}, WidthCase{187, 50, 93},  // 93.5 truncated
                      WidthCase{187, 100, 187}, WidthCase{187, 1, 1}, WidthCase{325, 50, 162},
                      WidthCase{100, 29, 28},  // 0.29 × 100 falls just below 29
                      WidthCase{187, 29, 54}, WidthCase{187, 57, 106}, WidthCase{187, 58, 108},
                      WidthCase{325, 99, 321},
                      // Outside the range: drawn as an empty or a full bar.
                      WidthCase{187, -5, 0}, WidthCase{187, 130, 187}, WidthCase{187, 150, 187},
                      WidthCase{187, 2'000'000'000, 187}, WidthCase{0, 50, 0}));

TEST(FilledWidth, EmptyRangeFillsNothing) {
  EXPECT_EQ(FilledWidth(187, 50, 100, 100), 0);
  EXPECT_EQ(FilledWidth(187, 50, 100, 0), 0);
}

struct TextCase {
  const char* label;
  int position;
  const char* text;
};

class ProgressTextIs : public ::testing::TestWithParam<TextCase> {};

TEST_P(ProgressTextIs, LabelDashPercentInThreeColumns) {
  const TextCase& c = GetParam();
  EXPECT_EQ(ProgressText(c.label, c.position, 0, 100), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Bar, ProgressTextIs,
    ::testing::Values(TextCase{"Down", 7, "Down -   7%"}, TextCase{"Down", 100, "Down - 100%"},
                      TextCase{"Verify", 0, "Verify -   0%"}, TextCase{"Down", 42, "Down -  42%"},
                      // f × 100.0 in double precision lands just below these and is truncated.
                      TextCase{"Down", 29, "Down -  28%"}, TextCase{"Verify", 57, "Verify -  56%"},
                      TextCase{"Verify", 58, "Verify -  57%"}, TextCase{"", 50, " -  50%"},
                      // Outside the range the percentage is held to 0..100.
                      TextCase{"Down", -5, "Down -   0%"}, TextCase{"Down", 130, "Down - 100%"}));

TEST(ProgressText, EveryOtherPositionShowsItself) {
  const std::set<int> off = {29, 57, 58};
  for (int position = 0; position <= 100; ++position) {
    if (off.contains(position)) continue;
    char expected[16];
    std::snprintf(expected, sizeof expected, "Down - %3d%%", position);
    EXPECT_EQ(ProgressText("Down", position, 0, 100), expected) << position;
    EXPECT_EQ(PercentShown(position, 0, 100), position);
  }
  EXPECT_EQ(PercentShown(50, 100, 100), 0);  // an empty range shows nothing done
}

}  // namespace
}  // namespace torv2::window
