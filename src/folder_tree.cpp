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
// read-only through another hard link still lists as writable). GetFileAttributesW
// describes a link itself, not its target; a link is left as it is, since writing
// attributes through it would change its target, outside the tree. The write opens the
// entry, so it is done only when there is a bit to clear.
void ClearReadOnlyBit(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return;
  }
  SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
}

// Windows does not remove a folder while a listing of it is open: callers close it first.
void RemoveEmptiedFolder(const std::wstring& path) {
  ClearReadOnlyBit(path);
  RemoveDirectoryW(path.c_str());
}

// One folder being listed: its listing handle and the length of its path in the
// shared path buffer.
struct OpenFolder {
  UniqueFindHandle listing;
  size_t pathLength;
};

}  // namespace

bool RemoveFolderTree(const std::wstring& folderPath) {
  // Anything but a folder below a root would be resolved against the current folder or
  // name a whole drive.
  const size_t rootLength = RootLength(folderPath);
  if (rootLength == 0 || folderPath.size() <= rootLength) return false;

  // One path buffer serves the whole walk: each level appends to it and cuts it back.
  std::wstring path = ExtendedLengthPath(folderPath);
  const DWORD topAttributes = GetFileAttributesW(path.c_str());
  if (topAttributes == INVALID_FILE_ATTRIBUTES || (topAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  if ((topAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A link standing in for the folder is removed as a link, without listing through
    // it: what it points at is not part of the tree, and a dangling link, or one that
    // Windows refuses to follow, could not be listed at all.
    RemoveDirectoryW(path.c_str());
    return true;
  }

  WIN32_FIND_DATAW entry;
  UniqueFindHandle topListing = StartListing(path, entry);
  if (!topListing) return false;

  // An explicit stack rather than recursion: the depth of a tree is not bounded by the
  // thread's stack, and each level holds exactly one listing handle.
  std::vector<OpenFolder> openFolders;
  openFolders.push_back({std::move(topListing), path.size()});
  for (;;) {
    path.resize(openFolders.back().pathLength);
    path += L'\\';
    path += entry.cFileName;

    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      ClearReadOnlyBit(path);
      DeleteFileW(path.c_str());  // a link to a file goes as a link
    } else if (!IsDotOrDotDot(entry.cFileName)) {
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // Removes the junction or link itself, never its target's contents.
        RemoveDirectoryW(path.c_str());
      } else if (UniqueFindHandle listing = StartListing(path, entry)) {
        openFolders.push_back({std::move(listing), path.size()});
        continue;  // `entry` now holds the subfolder's first entry.
      }
      // A subfolder that cannot be listed stays, and so do the folders above it.
    }

    while (FindNextFileW(openFolders.back().listing.get(), &entry) != TRUE) {
      const size_t folderLength = openFolders.back().pathLength;
      openFolders.pop_back();
      path.resize(folderLength);
      RemoveEmptiedFolder(path);
      if (openFolders.empty()) return true;
    }
  }
}
