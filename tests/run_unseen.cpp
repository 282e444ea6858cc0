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

namespace {

// Says why the program has no exit code to tell, and gives the status that means so.
int NoExitCode(const char* why) {
  std::printf("%s (error %lu)\n", why, GetLastError());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv);  // the Unicode entry point, which no header declares

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: run-unseen.exe SECONDS PROGRAM\n", stderr);
    return 2;
  }
  const UniqueAny<HWINSTA, CloseWindowStation> station(
      CreateWindowStationW(L"orvanto-unseen", 0, GENERIC_ALL, nullptr));
  USEROBJECTFLAGS flags = {};
  if (!station || !GetUserObjectInformationW(station.get(), UOI_FLAGS, &flags, sizeof flags, nullptr) ||
      (flags.dwFlags & WSF_VISIBLE) != 0) {
    return NoExitCode("set-up: no window station that is not visible");
  }
  // A desktop is made in the calling process's window station.
  HWINSTA own = GetProcessWindowStation();
  SetProcessWindowStation(station.get());
  const UniqueAny<HDESK, CloseDesktop> desktop(CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr));
  SetProcessWindowStation(own);
  std::wstring desktopName = L"orvanto-unseen\\Default";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktopName.data();
  PROCESS_INFORMATION started = {};
  std::wstring line = L"\"" + std::wstring(argv[2]) + L"\"";
  if (!desktop ||
      !CreateProcessW(argv[2], line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    return NoExitCode("set-up: not started");
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  const DWORD seconds = std::wcstoul(argv[1], nullptr, 10);
  if (WaitForSingleObject(process.get(), seconds * 1000) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 255);
    std::printf("still running after %lu s\n", seconds);
    return 1;
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  std::printf("%lu\n", exitCode);
  return 0;
}
