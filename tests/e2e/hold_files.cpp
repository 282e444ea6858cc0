// Holds files open the way another program would while the uninstaller runs: opened
// without sharing, so that nobody can delete them. Prints "holding" once every file is
// open, and lets go when its standard input ends.
//
//   hold-files.exe FILE...
#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  std::vector<HANDLE> held;
  for (int i = 1; i < argc; ++i) {
    HANDLE file = CreateFileW(argv[i], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      fwprintf(stderr, L"hold-files: cannot open %ls (error %lu)\n", argv[i], GetLastError());
      return 2;
    }
    held.push_back(file);
  }
  std::puts("holding");
  std::fflush(stdout);
  char buffer[64];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
  }
  for (HANDLE file : held) CloseHandle(file);
  return 0;
}
