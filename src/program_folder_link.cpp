// A program folder moved elsewhere, with a link left in its place, is removed where it now
// is, if the path rules allow that target (MayWalkLinkTarget); any other link is not walked
// and nothing is touched. The folder is walked from the very handle whose final path the
// rules judged. Opening through the link tells: only "not found" (ERROR_FILE_NOT_FOUND:
// the target's folder is there, its last name is not) means the target is gone, and then
// the link is removed. A drive that is not there, a folder above the target missing
// (ERROR_PATH_NOT_FOUND), a target the account may not open, a link loop
// (ERROR_CANT_RESOLVE_FILENAME), a link type Windows will not follow or a junction
// RedirectionGuard refuses tell nothing. A link goes whatever its target holds
// (RemoveDirectoryW's documentation), so it goes only once its target is gone, by the same
// rule: while anything of the moved folder stays, the program folder is still there to find
// and to say so, and a second run finishes the job.
#include "program_folder_link.h"

#include <windows.h>

#include "entry_handles.h"
#include "folder_tree.h"
#include "path_rules.h"

namespace {

// The final path of what `handle` is open on: "\\?\C:\..." or "\\?\UNC\server\share\...".
// Empty when Windows cannot give it (ERROR_PATH_NOT_FOUND for a volume without a drive
// letter, GetFinalPathNameByHandleW's documentation).
std::wstring FinalPath(HANDLE handle) {
  std::wstring finalPath(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(handle, finalPath.data(), static_cast<DWORD>(finalPath.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return L"";
    if (length < finalPath.size()) return finalPath.substr(0, length);
    finalPath.resize(length);  // the size it needs, terminator included
  }
}

// Whether the folder at `path` (a final path) is gone: its last name missing from a folder
// that is there.
bool IsGone(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

// Deletes the link at `path` through a handle that is the link itself, if it opens as one.
void DeleteLink(const std::wstring& path, DeletionMode& mode) {
  const OpenedEntry link = OpenAt(path, false, OpenFor::kDeleting);
  if (link.handle && IsLinkItself(link.attributes)) DeleteThrough(link.handle.get(), mode);
}

}  // namespace

bool RemoveThroughLink(const std::wstring& path, DeletionMode& mode) {
  OpenedEntry target = OpenAt(path, true, OpenFor::kWalking);
  if (!target.handle) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    DeleteLink(path, mode);
    return true;
  }
  // The link's own folder is resolved too, so that a link or short name on the way to it
  // cannot hide that the target is that folder or above it.
  const std::wstring targetPath = FinalPath(target.handle.get());
  const OpenedEntry linkFolder = OpenAt(FolderAbove(path), true, OpenFor::kNaming);
  if (!MayWalkLinkTarget(path, linkFolder.handle ? FinalPath(linkFolder.handle.get()) : L"", targetPath) ||
      KindOf(target.attributes, target.attributes) != EntryKind::kFolder ||
      !EmptyAndDelete(std::move(target.handle), mode)) {
    return false;
  }
  if (IsGone(targetPath)) DeleteLink(path, mode);
  return true;
}
