#include "someone_could_see.h"

bool SomeoneCouldSee(const ProcessSurroundings& surroundings) {
  // An empty optional compares unequal to any value: an unanswered question shows the box.
  return surroundings.isStationVisible != false && surroundings.sessionId != DWORD{0};
}

ProcessSurroundings ThisProcessSurroundings() {
  ProcessSurroundings surroundings;
  USEROBJECTFLAGS flags = {};
  // The process's own window station, which its caller must not close (GetProcessWindowStation).
  if (GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, nullptr)) {
    surroundings.isStationVisible = (flags.dwFlags & WSF_VISIBLE) != 0;
  }
  DWORD session = 0;
  if (ProcessIdToSessionId(GetCurrentProcessId(), &session)) surroundings.sessionId = session;
  return surroundings;
}
