// Where the message box is shown, from a table of what Windows says of the process: the
// box only where someone could see it, and where Windows would not say.
#include "someone_could_see.h"

#include <gtest/gtest.h>

namespace {

TEST(SomeoneCouldSee, OnlyInAVisibleWindowStationOutsideSessionZeroOrWhereWindowsWouldNotSay) {
  // {}: Windows would not say.
  const struct {
    std::optional<bool> isStationVisible;
    std::optional<DWORD> sessionId;
    bool shown;
  } rows[] = {{true, 1, true}, {false, 1, false}, {false, 0, false}, {true, 0, false},
              {{}, 1, true},   {true, {}, true},  {{}, 0, false},    {false, {}, false}};
  for (const auto& row : rows) {
    EXPECT_EQ(SomeoneCouldSee({row.isStationVisible, row.sessionId}), row.shown)
        << testing::PrintToString(row.isStationVisible) << " " << testing::PrintToString(row.sessionId);
  }
}

}  // namespace
