#include "program_folder.h"

#include <windows.h>

#include "entry_handles.h"
#include "folder_tree.h"
#include "path_rules.h"
#include "program_folder_link.h"

bool RemoveFolderTree(const std::wstring& folderPath) {
  // Anything but a folder below a root would be resolved against the current folder or
  // name a whole drive.
  if (!IsBelowRoot(folderPath)) return false;

  // A plain path goes through Win32's path parser, which turns names such as "nul" or
  // "CON" (any case; before Windows 11 also with an extension, as "com1.log") into devices,
  // drops trailing dots and spaces from names, and, unless the machine enables long paths,
  // fails past MAX_PATH; a "\\?\" path reaches the file system as it is ("Naming Files,
  // Paths, and Namespaces"). The parser does not canonicalize it either, which is safe
  // here: the path is canonical.
  const std::wstring path = ExtendedLengthPath(folderPath);
  // What the folder above lists the program folder as: the only word on a link under Wine
  // (docs/testing.md, "Windows and Wine": a handle on a Unix link).
  WIN32_FIND_DATAW self = {};
  if (!UniqueFindHandle(FindFirstFileW(path.c_str(), &self))) return false;
  const EntryAttributes listed = Listed(self.dwFileAttributes, self.dwReserved0);
  DeletionMode mode;
  switch (KindOf(listed, listed)) {
    case EntryKind::kLink: return RemoveThroughLink(path, mode);
    case EntryKind::kFile: return false;
    case EntryKind::kFolder: break;
  }
  OpenedEntry top = OpenAt(path, false, OpenFor::kWalking);
  if (!top.handle) return false;
  if (KindOf(listed, top.attributes) == EntryKind::kFolder) return EmptyAndDelete(std::move(top.handle), mode);
  top.handle.reset();  // a link put in the folder's place since it was listed
  return RemoveThroughLink(path, mode);
}

bool IsFolderStillThere(const std::wstring& path) {
  // GetFileAttributesW gives a link's own attributes ("Symbolic Link Effects on File
  // Systems Functions").
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0;
  }
  const DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}
