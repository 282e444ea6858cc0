// Starts a program where no one can see it, as deployment tools start one as a service: on
// a desktop of a window station of its own, which is not shown on any screen. Waits for it
// at most SECONDS, and prints its exit code, or why there is none (it is then ended).
//
//   run-unseen.exe SECONDS PROGRAM
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "scoped_handles.h"

int wmain(int argc, wchar_t** argv);  // the Unicode entry point, which no header declares

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;  // run-unseen.exe SECONDS PROGRAM
  const UniqueAny<HWINSTA, CloseWindowStation> station(CreateWindowStationW(L"unseen", 0, GENERIC_ALL, nullptr));
  USEROBJECTFLAGS flags = {};
  // A desktop is made in the calling process's window station.
  HWINSTA own = GetProcessWindowStation();
  SetProcessWindowStation(station.get());
  const UniqueAny<HDESK, CloseDesktop> desktop(CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr));
  SetProcessWindowStation(own);
  std::wstring desktopName = L"unseen\\Default";
  std::wstring line = L"\"" + std::wstring(argv[2]) + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktopName.data();
  PROCESS_INFORMATION started = {};
  if (!desktop || !GetUserObjectInformationW(station.get(), UOI_FLAGS, &flags, sizeof flags, nullptr) ||
      (flags.dwFlags & WSF_VISIBLE) != 0 ||
      !CreateProcessW(argv[2], line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    std::printf("set-up: not started in a window station that is not visible (error %lu)\n", GetLastError());
    return 1;
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  const DWORD seconds = std::wcstoul(argv[1], nullptr, 10);
  DWORD exitCode = 0;
  const bool ended = WaitForSingleObject(process.get(), seconds * 1000) == WAIT_OBJECT_0;
  if (!ended || !GetExitCodeProcess(process.get(), &exitCode)) TerminateProcess(process.get(), 1);
  std::printf(ended ? "%lu\n" : "still running after %lu s\n", ended ? exitCode : seconds);
  return ended ? 0 : 1;
}
