#include "folder_tree.h"

#include <windows.h>

#include <vector>

#include "path_rules.h"
#include "scoped_handles.h"

namespace {

// Matches every name, with or without a dot.
constexpr wchar_t kListingPattern[] = L"\\*.*";

bool IsDotOrDotDot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// Junctions, symbolic links and mount points are name surrogates: they stand for a file
// or folder elsewhere, and are removed as links. Other reparse points (cloud-file
// placeholders, projected and container folders) are files and folders with contents of
// their own. A tag of 0 is no tag Windows gives; Wine lists a Unix symbolic link so, and
// a tag that could not be read is 0 too: either is taken for a link, the safe side.
bool IsLink(DWORD attributes, DWORD reparseTag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag));
}

// A listing gives an entry's reparse tag in dwReserved0, meaningful only with the bit set.
DWORD ListedReparseTag(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? entry.dwReserved0 : 0;
}

// The reparse tag of `path` itself, not of what it points at; 0 when it cannot be read.
DWORD ReparseTagOf(const std::wstring& path) {
  WIN32_FIND_DATAW self = {};
  const UniqueFindHandle found(FindFirstFileW(path.c_str(), &self));
  return found ? ListedReparseTag(self) : 0;
}

// Clears the read-only bit of a link itself. FILE_FLAG_OPEN_REPARSE_POINT opens a link
// rather than what it points at (CreateFileW's documentation); FILE_FLAG_BACKUP_SEMANTICS
// lets a folder be opened at all. The handle's own attributes must show a name surrogate
// before anything is written: Wine opens what a Unix link points at whatever the flags
// say, and a bit cleared there would change a folder outside the tree.
void ClearLinksReadOnlyBit(const std::wstring& path) {
  const UniqueFileHandle link(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
  FILE_ATTRIBUTE_TAG_INFO self = {};
  FILE_BASIC_INFO basic = {};
  if (!link || !GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &self, sizeof self) ||
      (self.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || !IsReparseTagNameSurrogate(self.ReparseTag) ||
      !GetFileInformationByHandleEx(link.get(), FileBasicInfo, &basic, sizeof basic)) {
    return;
  }
  // Times of 0 are left as they are.
  basic = FILE_BASIC_INFO{{}, {}, {}, {}, basic.FileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY}};
  SetFileInformationByHandle(link.get(), FileBasicInfo, &basic, sizeof basic);
}

// DeleteFileW refuses a read-only file, and RemoveDirectoryW a read-only folder (NTFS
// answers access denied; Explorer sets the bit on folders it customizes), so the bit is
// cleared first, keeping the other bits. The attributes are read just before: those of a
// listing entry may be stale on NTFS (FindFirstFileW's documentation; a file made
// read-only through another hard link still lists as writable). GetFileAttributesW and
// SetFileAttributesW act on a link itself on Windows ("Symbolic Link Effects on File
// Systems Functions"), but Wine's follow a Unix link to its target, so a link's bit is
// cleared through a handle to the link (`reparseTag` is the listing's). The write opens
// the entry, so it is done only when there is a bit to clear.
void ClearReadOnlyBit(const std::wstring& path, DWORD reparseTag) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return;
  if (IsLink(attributes, reparseTag)) {
    ClearLinksReadOnlyBit(path);
  } else {
    SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  }
}

// Removes an empty folder, or a link to a folder as a link. RemoveDirectoryW only marks a
// folder for deletion: it goes when the last handle to it is closed (its documentation),
// so callers close their listing of it first, and its parent can go right after.
void RemoveEmptiedFolder(const std::wstring& path, DWORD reparseTag) {
  ClearReadOnlyBit(path, reparseTag);
  RemoveDirectoryW(path.c_str());
}

// Starts listing the folder named by `path` into `entry`; `path` is left as it was.
UniqueFindHandle StartListing(std::wstring& path, WIN32_FIND_DATAW& entry) {
  const size_t folderLength = path.size();
  path += kListingPattern;
  entry = WIN32_FIND_DATAW{};
  UniqueFindHandle listing(FindFirstFileW(path.c_str(), &entry));
  path.resize(folderLength);
  return listing;
}

// One folder being listed: its listing handle, the length of its path in the shared path
// buffer and its reparse tag.
struct OpenFolder {
  UniqueFindHandle listing;
  size_t pathLength;
  DWORD reparseTag;
};

// Removes everything inside the folder at `path` (extended-length), depth first, leaving
// the folder itself. False, with nothing touched, when the folder cannot be listed.
bool EmptyFolder(std::wstring path) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle topListing = StartListing(path, entry);
  if (!topListing) return false;

  // An explicit stack rather than recursion: the depth of a tree is not bounded by the
  // thread's stack, and each level holds exactly one listing handle.
  std::vector<OpenFolder> openFolders;
  openFolders.push_back({std::move(topListing), path.size(), 0});
  for (;;) {
    path.resize(openFolders.back().pathLength);
    path += L'\\';
    path += entry.cFileName;
    const DWORD reparseTag = ListedReparseTag(entry);

    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      ClearReadOnlyBit(path, reparseTag);
      DeleteFileW(path.c_str());  // a link to a file goes as a link
    } else if (!IsDotOrDotDot(entry.cFileName)) {
      if (IsLink(entry.dwFileAttributes, reparseTag)) {
        // RemoveDirectoryW removes a junction or a symbolic link to a folder itself, never
        // what it points at.
        RemoveEmptiedFolder(path, reparseTag);
      } else if (UniqueFindHandle listing = StartListing(path, entry)) {
        openFolders.push_back({std::move(listing), path.size(), reparseTag});
        continue;  // `entry` now holds the subfolder's first entry.
      }
      // A subfolder that cannot be listed stays, and so do the folders above it.
    }

    while (FindNextFileW(openFolders.back().listing.get(), &entry) != TRUE) {
      const size_t emptiedLength = openFolders.back().pathLength;
      const DWORD emptiedTag = openFolders.back().reparseTag;
      openFolders.pop_back();  // closes the emptied folder's listing before it is removed
      if (openFolders.empty()) return true;
      path.resize(emptiedLength);
      RemoveEmptiedFolder(path, emptiedTag);
    }
  }
}

// What a link leads to.
struct LinkTarget {
  std::wstring finalPath;  // "\\?\C:\..." or "\\?\UNC\server\share\..."; empty when not told
  bool isGone;             // nothing is there: the link points nowhere
};

// Resolves `path` through every link on the way. Only an open that fails with "not found"
// means the target is gone. A link loop (ERROR_CANT_RESOLVE_FILENAME), a link type Windows
// will not follow, a junction RedirectionGuard refuses, or a final path Windows cannot
// give (ERROR_PATH_NOT_FOUND for a volume without a drive letter, GetFinalPathNameByHandleW's
// documentation) tell nothing.
LinkTarget Resolve(const std::wstring& path) {
  // No access asked for: the handle only names the folder.
  const UniqueFileHandle folder(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder) {
    const DWORD error = GetLastError();
    return {L"", error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND};
  }
  std::wstring finalPath(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(folder.get(), finalPath.data(), static_cast<DWORD>(finalPath.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {L"", false};
    if (length < finalPath.size()) return {finalPath.substr(0, length), false};
    finalPath.resize(length);  // the size it needs, terminator included
  }
}

// A program folder that was moved elsewhere, with a link left in its place, is removed
// where it now is, if the path rules allow that target; any other link, or one whose
// target cannot be told, is not walked and nothing is touched. RemoveDirectoryW removes a
// junction whatever its target holds (its documentation), so the link goes only once its
// target is gone: while anything of the moved folder stays, the program folder is still
// there to find and to say so, and a second run finishes the job. A link whose target is
// gone is removed.
bool RemoveThroughLink(const std::wstring& link, DWORD linkTag) {
  const LinkTarget target = Resolve(link);
  if (target.isGone) {
    RemoveEmptiedFolder(link, linkTag);
    return true;
  }
  // The link's own folder resolved too, so that a link or short name on the way to it
  // cannot hide that the target is that folder or above it.
  const LinkTarget linkFolder = Resolve(FolderAbove(link));
  if (!MayWalkLinkTarget(link, linkFolder.finalPath, target.finalPath) || !EmptyFolder(target.finalPath)) return false;
  RemoveEmptiedFolder(target.finalPath, 0);
  if (!IsFolderStillThere(target.finalPath)) RemoveEmptiedFolder(link, linkTag);
  return true;
}

}  // namespace

bool RemoveFolderTree(const std::wstring& folderPath) {
  // Anything but a folder below a root would be resolved against the current folder or
  // name a whole drive.
  if (!IsBelowRoot(folderPath)) return false;

  // The walk hands Windows only extended-length paths. A plain path goes through Win32's
  // path parser, which turns names such as "nul", "CON" or "com1.log" (any case, any
  // extension) into devices, drops trailing dots and spaces from names, and, unless the
  // machine enables long paths, fails past MAX_PATH; a "\\?\" path reaches the file system
  // as it is ("Naming Files, Paths, and Namespaces", Microsoft Learn). Such names do occur
  // in program folders (written through "\\?\" paths, by ports of Unix tools, from WSL).
  // The parser does not canonicalize these paths either, which is safe here: the path is
  // canonical, and the walk appends only names that the listing returned.
  const std::wstring path = ExtendedLengthPath(folderPath);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  const DWORD reparseTag = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ReparseTagOf(path) : 0;
  if (IsLink(attributes, reparseTag)) return RemoveThroughLink(path, reparseTag);
  if (!EmptyFolder(path)) return false;
  RemoveEmptiedFolder(path, reparseTag);
  return true;
}

bool IsFolderStillThere(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}
