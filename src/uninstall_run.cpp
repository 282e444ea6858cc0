#include "uninstall_run.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <string>

#include "program_folder.h"
#include "settings_key.h"
#include "someone_could_see.h"

namespace {

struct ApplicationEntry {
  int baseFolderId;                // shell folder id (CSIDL) of the folder it lives in
  const wchar_t* folderName;       // its program folder, inside that base folder
  const wchar_t* desktopShortcut;  // its shortcut on the all-users desktop, or null
};

constexpr ApplicationEntry kApplications[] = {
    {CSIDL_PROGRAM_FILES, L"OrvantoServer", L"OrvantoServer.lnk"},
    {CSIDL_PROGRAM_FILESX86, L"ovt-server", nullptr},
};

constexpr char kCaption[] = "Orvanto Server";
constexpr char kAllUninstalled[] = "All applications have been uninstalled";
constexpr char kSomeFilesRemain[] = "Some files could not be removed";
constexpr char kNothingInstalled[] = "No application installed";

// 1 whatever happened: deployment tools and scripts written for this uninstaller take 1 to
// mean that it ran. The message box tells the outcome.
constexpr int kExitCode = 1;

// Fills `path` with a shell folder's location followed by `name`. False when either step
// fails: the join then leaves the buffer unusable (Wine empties it), and a row with no
// path of its own must touch nothing.
bool BuildPath(int shellFolderId, const wchar_t* name, wchar_t (&path)[MAX_PATH]) {
  if (SHGetFolderPathW(nullptr, shellFolderId, nullptr, SHGFP_TYPE_CURRENT, path) < 0) return false;
  return PathAppendW(path, name) != FALSE;
}

}  // namespace

int RunUninstall() {
  bool anyFound = false;
  bool anyLeftBehind = false;
  wchar_t path[MAX_PATH] = {};

  for (const ApplicationEntry& application : kApplications) {
    if (!BuildPath(application.baseFolderId, application.folderName, path)) continue;
    const std::wstring folder(path);
    if (!RemoveFolderTree(folder)) {
      // Not listed, so nothing else of this application is touched. A folder that is
      // there all the same (the user may not read it) is no sign that it is not installed.
      if (IsFolderStillThere(folder)) anyLeftBehind = true;
      continue;
    }
    anyFound = true;
    if (IsFolderStillThere(folder)) anyLeftBehind = true;

    RemoveSettingsSubkeys();

    if (application.desktopShortcut != nullptr &&
        BuildPath(CSIDL_COMMON_DESKTOPDIRECTORY, application.desktopShortcut, path)) {
      DeleteFileW(path);
    }
  }

  // Where no one could press OK the run ends here, its work done: a box would wait for ever.
  if (!SomeoneCouldSee(ThisProcessSurroundings())) return kExitCode;
  const char* message = anyLeftBehind ? kSomeFilesRemain : anyFound ? kAllUninstalled : kNothingInstalled;
  // One box for every outcome, information icon included, so that tools reading it see one
  // style; the text carries the outcome. MB_DEFBUTTON2 is kept from the style value 0x140
  // the box has always had: with one button Windows makes OK the default anyway.
  MessageBoxA(nullptr, message, kCaption, MB_OK | MB_ICONINFORMATION | MB_DEFBUTTON2);
  return kExitCode;
}
