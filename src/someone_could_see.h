// Whether a person could see the message box and press its button. Deployment tools start
// the program where no one can (a service's window station in session 0); a box there
// would keep the process waiting for ever.
#pragma once

#include <windows.h>

#include <optional>

// What Windows says of where this process runs; empty where it would not say.
struct ProcessSurroundings {
  std::optional<bool> isStationVisible;  // its window station has WSF_VISIBLE
  std::optional<DWORD> sessionId;
};

// No one could see it in a window station that is not shown on a screen, nor in session 0,
// where no one signs in since Windows Vista (a service allowed to interact with the desktop
// has a visible window station there). Where Windows would not say, the box is shown.
bool SomeoneCouldSee(const ProcessSurroundings& surroundings);

ProcessSurroundings ThisProcessSurroundings();
