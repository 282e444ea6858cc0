// Removing a program folder with everything in it, for an uninstaller that an
// administrator runs, in folders that others may write to while it runs. The hazards, and
// what answers each:
//
// - Links inside the tree (junctions, symbolic links, mount points) lead anywhere on the
//   machine. Each entry's kind is decided once (EntryKind), a link if either its folder's
//   listing or its own handle says so; a link is never entered, and it is deleted only
//   through a handle that is the link itself, never one that may be its target.
// - A folder swapped for a link while the walk runs, between its listing and its use,
//   perhaps held still by an opportunistic lock on a file the walk is about to open. Only
//   the program folder is opened by its path; every entry below it is opened relative to
//   its folder's handle (NtCreateFile with RootDirectory), the name looked up in that
//   folder alone, and listed, judged and deleted through its own handle. No path that
//   runs through a folder of the tree is ever resolved again, so a link put in a folder's
//   place is met only as an entry, judged by its handle, and removed as a link.
// - A link in the program folder's place, left where the folder was moved from: walked
//   only where the path rules allow (MayWalkLinkTarget), from the very handle whose final
//   path they judged, and the link removed only once that folder is gone. A target that
//   cannot be opened tells nothing, unless only its last name is missing.
// - Names a plain path cannot reach (device names such as "nul", names ending in a dot or
//   a space, paths past MAX_PATH): the program folder's path is "\\?\", and names below it
//   reach the file system as the listing gave them.
// - Read-only entries, and names in use: see DeleteThrough.
//
// The walk is depth first on one thread, with an explicit stack rather than recursion, so
// that a deep tree cannot exhaust the thread's stack; each level holds one handle and one
// listing buffer, so what it holds is bounded by the depth.
#include "folder_tree.h"

#include <windows.h>

#include <vector>

#include "entry_handles.h"
#include "path_rules.h"

namespace {

// A folder being emptied: its handle, through which it is listed and then deleted, and its
// listing, read a buffer at a time. LONGLONG keeps the records' 8-byte alignment.
struct OpenFolder {
  UniqueFileHandle handle;
  std::vector<LONGLONG> listing = std::vector<LONGLONG>(512);
  DWORD next = 0;      // byte offset of the next record in `listing`
  bool isRead = true;  // every record in `listing` handled: the next one must be read
  bool isStarted = false;
};

// The next entry of the folder's listing, or null once it is read out or cannot be read.
FILE_FULL_DIR_INFO* NextEntry(OpenFolder& folder) {
  auto* records = reinterpret_cast<BYTE*>(folder.listing.data());
  if (folder.isRead) {
    const FILE_INFO_BY_HANDLE_CLASS from = folder.isStarted ? FileFullDirectoryInfo : FileFullDirectoryRestartInfo;
    const DWORD bytes = static_cast<DWORD>(folder.listing.size() * sizeof(LONGLONG));
    folder.isStarted = true;
    if (!GetFileInformationByHandleEx(folder.handle.get(), from, records, bytes)) return nullptr;
    folder.next = 0;
    folder.isRead = false;
  }
  auto* entry = reinterpret_cast<FILE_FULL_DIR_INFO*>(records + folder.next);
  folder.next += entry->NextEntryOffset;
  folder.isRead = entry->NextEntryOffset == 0;
  return entry;
}

bool IsDotOrDotDot(const FILE_FULL_DIR_INFO& entry) {
  const DWORD length = entry.FileNameLength / sizeof(wchar_t);
  return entry.FileName[0] == L'.' && (length == 1 || (length == 2 && entry.FileName[1] == L'.'));
}

// What a listing says of an entry. The field that holds its reparse tag (EaSize in a
// handle's listing, [MS-FSCC] FileFullDirectoryInformation; dwReserved0 in FindFirstFileW's)
// means that only when the entry has the reparse-point bit.
EntryAttributes Listed(DWORD attributes, DWORD tagField) {
  return {attributes, (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? tagField : 0};
}

// Empties the folder open as `top` and deletes it, each entry through its own handle.
// False, with nothing touched, when the folder cannot be listed.
bool EmptyAndDelete(UniqueFileHandle top, DeletionMode& mode) {
  std::vector<OpenFolder> openFolders;
  openFolders.push_back({std::move(top)});
  FILE_FULL_DIR_INFO* entry = NextEntry(openFolders.back());
  if (entry == nullptr && GetLastError() != ERROR_NO_MORE_FILES) return false;
  for (;; entry = NextEntry(openFolders.back())) {
    if (entry == nullptr) {
      // The folder's handle is closed before its parent's listing goes on: with the
      // deletion marked the old way, the folder goes only once its last handle is closed.
      DeleteThrough(openFolders.back().handle.get(), mode);
      openFolders.pop_back();
      if (openFolders.empty()) return true;
      continue;
    }
    if (IsDotOrDotDot(*entry)) continue;
    const EntryAttributes listed = Listed(entry->FileAttributes, entry->EaSize);
    const bool isFolder = (listed.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    UniqueFileHandle handle =
        OpenEntryBelow(openFolders.back().handle.get(), entry->FileName, entry->FileNameLength, isFolder);
    // A name listed as a plain file and opened as no folder and as itself is one entry of
    // this folder, whatever is there by now (a link put in its place included): deleting
    // it removes nothing else. Its attributes are not read, a request less for most entries.
    OpenedEntry opened = isFolder || (listed.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                             ? WithAttributes(std::move(handle))
                             : OpenedEntry{std::move(handle), listed};
    if (!opened.handle) continue;  // it stays, and so do the folders above it
    switch (KindOf(listed, opened.attributes)) {
      case EntryKind::kFolder: openFolders.push_back({std::move(opened.handle)}); break;
      case EntryKind::kLink:
        // Under Wine the handle is always the target's, so links stay there.
        if (IsLinkItself(opened.attributes)) DeleteThrough(opened.handle.get(), mode);
        break;
      case EntryKind::kFile: DeleteThrough(opened.handle.get(), mode); break;
    }
  }
}

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

// The final path of the folder at `path`, through every link on the way; empty when it
// cannot be opened or told. No access is asked for: the handle only names the folder.
std::wstring FinalPathAt(const std::wstring& path) {
  const UniqueFileHandle folder(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return folder ? FinalPath(folder.get()) : L"";
}

// Deletes the link at `path` through a handle that is the link itself; under Wine, whose
// handles on a Unix link are its target's, it stays.
void DeleteLink(const std::wstring& path, DeletionMode& mode) {
  const OpenedEntry link = OpenFolderAt(path, false);
  if (link.handle && IsLinkItself(link.attributes)) DeleteThrough(link.handle.get(), mode);
}

// A program folder that was moved elsewhere, with a link left in its place, is removed
// where it now is, if the path rules allow that target; any other link is not walked and
// nothing is touched. Opening through the link tells: only "not found"
// (ERROR_FILE_NOT_FOUND: the target's folder is there, its last name is not) means the
// target is gone, and then the link is removed. A drive that is not there, a folder above
// the target missing (ERROR_PATH_NOT_FOUND), a target the account may not open, a link
// loop (ERROR_CANT_RESOLVE_FILENAME), a link type Windows will not follow or a junction
// RedirectionGuard refuses tell nothing. A link goes whatever its target holds
// (RemoveDirectoryW's documentation), so it goes only once its target is gone: while
// anything of the moved folder stays, the program folder is still there to find and to say
// so, and a second run finishes the job.
bool RemoveThroughLink(const std::wstring& path, DeletionMode& mode) {
  OpenedEntry target = OpenFolderAt(path, true);
  if (!target.handle) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    DeleteLink(path, mode);
    return true;
  }
  // The link's own folder is resolved too, so that a link or short name on the way to it
  // cannot hide that the target is that folder or above it.
  const std::wstring targetPath = FinalPath(target.handle.get());
  if (!MayWalkLinkTarget(path, FinalPathAt(FolderAbove(path)), targetPath) ||
      KindOf(target.attributes, target.attributes) != EntryKind::kFolder ||
      !EmptyAndDelete(std::move(target.handle), mode)) {
    return false;
  }
  if (!IsFolderStillThere(targetPath)) DeleteLink(path, mode);
  return true;
}

}  // namespace

bool RemoveFolderTree(const std::wstring& folderPath) {
  // Anything but a folder below a root would be resolved against the current folder or
  // name a whole drive.
  if (!IsBelowRoot(folderPath)) return false;

  // A plain path goes through Win32's path parser, which turns names such as "nul",
  // "CON" or "com1.log" (any case, any extension) into devices, drops trailing dots and
  // spaces from names, and, unless the machine enables long paths, fails past MAX_PATH; a
  // "\\?\" path reaches the file system as it is ("Naming Files, Paths, and Namespaces").
  // The parser does not canonicalize it either, which is safe here: the path is canonical.
  const std::wstring path = ExtendedLengthPath(folderPath);
  // What the folder above lists the program folder as: under Wine the only word on a link.
  WIN32_FIND_DATAW self = {};
  if (!UniqueFindHandle(FindFirstFileW(path.c_str(), &self))) return false;
  const EntryAttributes listed = Listed(self.dwFileAttributes, self.dwReserved0);

  // Under Wine a Unix link's target may refuse to open where the link is there: the listing
  // alone sends it to be judged as a link.
  OpenedEntry top = OpenFolderAt(path, false);
  DeletionMode mode;
  switch (KindOf(listed, top.handle ? top.attributes : listed)) {
    case EntryKind::kLink: return RemoveThroughLink(path, mode);
    case EntryKind::kFolder: return top.handle && EmptyAndDelete(std::move(top.handle), mode);
    case EntryKind::kFile: break;
  }
  return false;
}

bool IsFolderStillThere(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}
