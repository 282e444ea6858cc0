#include "folder_tree.h"

#include <windows.h>

#include <vector>

#include "scoped_handles.h"

namespace {

// Matches every name, with or without a dot.
constexpr wchar_t kListingPattern[] = L"\\*.*";
constexpr wchar_t kExtendedPrefix[] = L"\\\\?\\";
constexpr wchar_t kExtendedUncPrefix[] = L"\\\\?\\UNC\\";

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// The length of the root of a fully qualified path: "C:\" or "\\server\share\", either
// of them also behind "\\?\" ("\\?\C:\", "\\?\UNC\server\share\"). 0 for anything else:
// an empty or relative path, "C:" or "C:name" (relative to the drive's current folder),
// "\name" (relative to the current drive).
size_t RootLength(const std::wstring& path) {
  size_t start = 0;
  bool share = false;
  if (StartsWith(path, kExtendedUncPrefix)) {
    start = std::size(kExtendedUncPrefix) - 1;
    share = true;
  } else if (StartsWith(path, kExtendedPrefix)) {
    start = std::size(kExtendedPrefix) - 1;
  } else if (StartsWith(path, L"\\\\")) {
    start = 2;
    share = true;
  }
  if (!share) {
    const wchar_t letter = path.size() >= start + 3 ? path[start] : L'\0';
    const bool isLetter = (letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z');
    return isLetter && path[start + 1] == L':' && path[start + 2] == L'\\' ? start + 3 : 0;
  }
  const size_t serverEnd = path.find(L'\\', start);
  if (serverEnd == std::wstring::npos || serverEnd == start) return 0;
  const size_t shareEnd = path.find(L'\\', serverEnd + 1);
  if (shareEnd == std::wstring::npos || shareEnd == serverEnd + 1) return 0;
  return shareEnd + 1;
}

// The walk hands Windows only extended-length paths. A plain path goes through Win32's
// path parser, which turns names such as "nul", "CON" or "com1.log" (any case, any
// extension) into devices, drops trailing dots and spaces from names, and, unless the
// machine enables long paths, fails past MAX_PATH; a "\\?\" path reaches the file system
// as it is ("Naming Files, Paths, and Namespaces", Microsoft Learn). Such names do occur
// in program folders (written through "\\?\" paths, by ports of Unix tools, from WSL). The
// parser does not canonicalize these paths either, which is safe here: the caller's path
// is already canonical, and the walk appends only names that the listing returned.
std::wstring ExtendedLengthPath(const std::wstring& path) {
  if (StartsWith(path, kExtendedPrefix)) return path;
  if (StartsWith(path, L"\\\\")) return kExtendedUncPrefix + path.substr(2);
  return kExtendedPrefix + path;
}

bool IsDotOrDotDot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// A folder below a root, never the root itself or a path relative to anything.
bool IsBelowRoot(const std::wstring& path) {
  const size_t rootLength = RootLength(path);
  return rootLength != 0 && path.size() > rootLength;
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

// The path Windows resolves `path` to, through every link on the way, as "\\?\C:\..." or
// "\\?\UNC\server\share\..."; empty, with the error in `error`, when it cannot tell (a
// target that is gone, a junction that RedirectionGuard refuses, a volume without a drive
// letter, which is not a path to walk).
std::wstring FinalPath(const std::wstring& path, DWORD& error) {
  // No access asked for: the handle only names the folder. Backup semantics let a folder
  // be opened at all.
  const UniqueFileHandle folder(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  std::wstring finalPath(MAX_PATH, L'\0');
  for (DWORD length = 0; folder;) {
    length = GetFinalPathNameByHandleW(folder.get(), finalPath.data(), static_cast<DWORD>(finalPath.size()),
                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) break;
    if (length < finalPath.size()) return finalPath.substr(0, length);
    finalPath.resize(length);  // the size it needs, terminator included
  }
  error = GetLastError();
  return L"";
}

// The last name in a path: empty for a root.
std::wstring LastName(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

bool IsSameName(const std::wstring& one, const std::wstring& other) {
  return CompareStringOrdinal(one.c_str(), -1, other.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Whether `ancestor` is `descendant` or a folder above it, as Windows compares names.
bool IsAtOrAbove(const std::wstring& ancestor, const std::wstring& descendant) {
  const size_t length = ancestor.size();
  return descendant.size() >= length && (descendant.size() == length || descendant[length] == L'\\') &&
         CompareStringOrdinal(descendant.c_str(), static_cast<int>(length), ancestor.c_str(), static_cast<int>(length),
                              TRUE) == CSTR_EQUAL;
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

// DeleteFileW refuses a read-only file, and RemoveDirectoryW a read-only folder (NTFS
// answers access denied; Explorer sets the bit on folders it customizes), so the bit is
// cleared first, keeping the other bits. The attributes are read just before: those of a
// listing entry may be stale on NTFS (FindFirstFileW's documentation; a file made
// read-only through another hard link still lists as writable). A link is left as it is
// (`reparseTag` is the listing's): writing attributes through it would change its target,
// outside the tree. The write opens the entry, so it is done only when there is a bit to
// clear.
void ClearReadOnlyBit(const std::wstring& path, DWORD reparseTag) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      IsLink(attributes, reparseTag)) {
    return;
  }
  SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
}

// Windows does not remove a folder while a listing of it is open: callers close it first.
void RemoveEmptiedFolder(const std::wstring& path, DWORD reparseTag) {
  ClearReadOnlyBit(path, reparseTag);
  RemoveDirectoryW(path.c_str());
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
        // Removes the junction or link itself, never its target's contents.
        RemoveDirectoryW(path.c_str());
      } else if (UniqueFindHandle listing = StartListing(path, entry)) {
        openFolders.push_back({std::move(listing), path.size(), reparseTag});
        continue;  // `entry` now holds the subfolder's first entry.
      }
      // A subfolder that cannot be listed stays, and so do the folders above it.
    }

    while (FindNextFileW(openFolders.back().listing.get(), &entry) != TRUE) {
      const OpenFolder emptied = std::move(openFolders.back());
      openFolders.pop_back();
      if (openFolders.empty()) return true;
      path.resize(emptied.pathLength);
      RemoveEmptiedFolder(path, emptied.reparseTag);
    }
  }
}

// A program folder that was moved elsewhere, with a junction or link left in its place,
// is removed where it now is: what the link points at is emptied and removed, then the
// link. The link goes last so that, when something in the target stays, the folder is
// still there to find and to say so. Moving a folder keeps its name, so the link is
// walked only to a folder of its own name below a drive's root, and never to the folder
// the link stands in or one above it (a link in Program Files to Program Files would
// empty every program there, one to another program's folder that program). Any other
// link, or one whose target cannot be told, is not walked and nothing is touched. A link
// whose target is gone is removed.
bool RemoveThroughLink(const std::wstring& link) {
  DWORD error = 0;
  const std::wstring target = FinalPath(link, error);
  if (target.empty()) {
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
    RemoveDirectoryW(link.c_str());
    return true;
  }
  const std::wstring linkFolder = FinalPath(link.substr(0, link.find_last_of(L'\\')), error);
  if (!IsBelowRoot(target) || !IsSameName(LastName(target), LastName(link)) || linkFolder.empty() ||
      IsAtOrAbove(target, linkFolder)) {
    return false;
  }
  if (!EmptyFolder(target)) return false;
  RemoveEmptiedFolder(target, 0);
  RemoveDirectoryW(link.c_str());
  return true;
}

}  // namespace

bool RemoveFolderTree(const std::wstring& folderPath) {
  // Anything but a folder below a root would be resolved against the current folder or
  // name a whole drive.
  if (!IsBelowRoot(folderPath)) return false;

  const std::wstring path = ExtendedLengthPath(folderPath);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  const DWORD reparseTag = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ReparseTagOf(path) : 0;
  if (IsLink(attributes, reparseTag)) return RemoveThroughLink(path);
  if (!EmptyFolder(path)) return false;
  RemoveEmptiedFolder(path, reparseTag);
  return true;
}
