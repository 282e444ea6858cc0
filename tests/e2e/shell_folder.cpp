// Prints where the shell puts the folders the uninstaller looks in, as SHGetFolderPathW
// reports them to any program: one line per CSIDL number given.
//
//   shell-folder.exe CSIDL...
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: shell-folder.exe CSIDL...\n", stderr);
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    wchar_t path[MAX_PATH] = {};
    const int folderId = std::atoi(argv[i]);
    if (SHGetFolderPathW(nullptr, folderId, nullptr, SHGFP_TYPE_CURRENT, path) < 0) {
      std::fprintf(stderr, "shell-folder: no folder for CSIDL %s\n", argv[i]);
      status = 1;
      continue;
    }
    // The test drivers read this as UTF-8; the folder names they use are plain ASCII.
    char line[MAX_PATH * 3] = {};
    WideCharToMultiByte(CP_UTF8, 0, path, -1, line, sizeof line, nullptr, nullptr);
    std::printf("%s\n", line);
  }
  return status;
}
