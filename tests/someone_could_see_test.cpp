// Where the message box is shown, from a table of what Windows says of the process.
#include "someone_could_see.h"

#include <gtest/gtest.h>

namespace {

TEST(SomeoneCouldSee, OnlyInAVisibleWindowStationOutsideSessionZeroOrWhereWindowsWouldNotSay) {
  const struct {
    ProcessSurroundings surroundings;
    bool shown;
  } rows[] = {
      {{true, 1}, true},          // signed in at the screen or over Remote Desktop
      {{false, 1}, false},        // a window station not shown on any screen
      {{false, 0}, false},        // a service's, where deployment tools run it
      {{true, 0}, false},         // a service allowed to interact with the desktop
      {{std::nullopt, 1}, true},  // not told: shown
      {{true, std::nullopt}, true},
      {{std::nullopt, std::nullopt}, true},
      {{std::nullopt, 0}, false},
      {{false, std::nullopt}, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(SomeoneCouldSee(row.surroundings), row.shown)
        << testing::PrintToString(row.surroundings.isStationVisible) << " "
        << testing::PrintToString(row.surroundings.sessionId);
  }
}

}  // namespace
