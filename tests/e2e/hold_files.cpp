// Holds a file open the way another program would while the uninstaller runs: opened
// without sharing, so that nobody can delete it. Prints "holding" once it is open, and
// lets go when its standard input ends.
//
//   hold-files.exe FILE
#include <windows.h>

#include <cstdio>

#include "scoped_handles.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const UniqueFileHandle file(CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return 1;
  std::puts("holding");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
}
