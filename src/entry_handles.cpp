#include "entry_handles.h"

#include <winternl.h>

#include <iterator>

namespace {

// One try at opening: the access asked for, and the options that go with it.
struct Rung {
  ACCESS_MASK access;
  ULONG options;
};

// Each purpose's ladder, the most asked first. Where that is refused (access denied) or
// would conflict with another program's open (a sharing violation), the next asks less:
// - walking: without DELETE, a folder that a program holds without sharing deletion (its
//   current folder) can still be emptied, and a program folder so held still counts as
//   found;
// - deleting: FILE_WRITE_ATTRIBUTES is asked for only to clear a read-only bit. Nothing is
//   read or written through these handles, so none needs SYNCHRONIZE: an entry whose own
//   ACL denies everything can still be opened with DELETE and FILE_READ_ATTRIBUTES, which
//   its folder grants through FILE_DELETE_CHILD and FILE_LIST_DIRECTORY ([MS-FSA]
//   2.1.5.1.2.1).
// A folder is listed through its handle, which needs synchronous I/O and so SYNCHRONIZE.
constexpr ULONG kSynchronous = FILE_SYNCHRONOUS_IO_NONALERT;
constexpr Rung kWalkingRungs[] = {
    {DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, kSynchronous},
    {FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kSynchronous}};
constexpr Rung kDeletingRungs[] = {{DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0},
                                   {DELETE | FILE_READ_ATTRIBUTES, 0}};
constexpr Rung kNamingRungs[] = {{FILE_READ_ATTRIBUTES | SYNCHRONIZE, kSynchronous}};

// The ladder for a purpose, with the sharing that goes with it.
struct Ladder {
  const Rung* rungs;
  size_t count;
  ULONG share;
};

Ladder LadderFor(OpenFor purpose) {
  constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  switch (purpose) {
    case OpenFor::kWalking: return {kWalkingRungs, std::size(kWalkingRungs), FILE_SHARE_READ | FILE_SHARE_WRITE};
    case OpenFor::kDeleting: return {kDeletingRungs, std::size(kDeletingRungs), kShareAll};
    case OpenFor::kNaming: break;
  }
  return {kNamingRungs, std::size(kNamingRungs), kShareAll};
}

constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043L);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
// OBJ_DONT_REPARSE: the open fails where a link would be followed on the way
// (OBJECT_ATTRIBUTES' documentation, which names no release that introduced it).
constexpr ULONG kDontReparse = 0x1000;

// Opens `name` relative to `root` (a folder's handle, or null for a full NT path) by the
// first rung of the purpose's ladder that is granted; on failure GetLastError says why.
UniqueFileHandle Open(HANDLE root, UNICODE_STRING name, ULONG objectFlags, ULONG options, OpenFor purpose) {
  // An older Windows that does not know OBJ_DONT_REPARSE answers STATUS_INVALID_PARAMETER:
  // the system's answer, not a file system's, so it holds for the whole process.
  static bool isDontReparseRefused = false;
  OBJECT_ATTRIBUTES object = {};
  object.Length = sizeof object;
  object.RootDirectory = root;
  object.ObjectName = &name;
  const Ladder ladder = LadderFor(purpose);
  NTSTATUS result = kStatusAccessDenied;
  for (const Rung* rung = ladder.rungs; rung != ladder.rungs + ladder.count; ++rung) {
    HANDLE opened = nullptr;
    IO_STATUS_BLOCK status = {};
    auto tryOpen = [&] {
      object.Attributes = isDontReparseRefused ? objectFlags & ~kDontReparse : objectFlags;
      return NtCreateFile(&opened, rung->access, &object, &status, nullptr, 0, ladder.share, FILE_OPEN,
                          options | rung->options, nullptr, 0);
    };
    result = tryOpen();
    if (result == kStatusInvalidParameter && (object.Attributes & kDontReparse) != 0) {
      isDontReparseRefused = true;
      result = tryOpen();
    }
    if (result >= 0) return UniqueFileHandle(opened);
    if (result != kStatusAccessDenied && result != kStatusSharingViolation) break;
  }
  SetLastError(RtlNtStatusToDosError(result));
  return UniqueFileHandle();
}

}  // namespace

// NOLINTNEXTLINE(readability-non-const-parameter): UNICODE_STRING holds a non-const buffer
UniqueFileHandle OpenEntryBelow(HANDLE folder, wchar_t* name, DWORD nameBytes, bool isListedFolder, OpenFor purpose) {
  const UNICODE_STRING relativeName = {static_cast<USHORT>(nameBytes), static_cast<USHORT>(nameBytes), name};
  // Relative to a handle, one name is looked up in that folder alone, whatever has
  // happened to the path that led to it; FILE_OPEN_REPARSE_POINT opens a link itself.
  return Open(folder, relativeName, kDontReparse,
              FILE_OPEN_REPARSE_POINT | (isListedFolder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE), purpose);
}

OpenedEntry OpenAt(const std::wstring& path, bool followLinks, OpenFor purpose) {
  // "\\?\C:\..." is the Win32 form of the NT path "\??\C:\...", case-insensitive as
  // CreateFileW opens it.
  std::wstring ntPath = path;
  if (ntPath.compare(0, 4, L"\\\\?\\") == 0) ntPath[1] = L'?';
  // A UNICODE_STRING counts its bytes in 16 bits: a longer path is refused, never cut short
  // to the folder it would then name.
  if (ntPath.size() > UNICODE_STRING_MAX_CHARS) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return {};
  }
  const auto bytes = static_cast<USHORT>(ntPath.size() * sizeof(wchar_t));
  const UNICODE_STRING name = {bytes, bytes, ntPath.data()};
  const ULONG options =
      (followLinks ? 0 : FILE_OPEN_REPARSE_POINT) | (purpose == OpenFor::kDeleting ? 0 : FILE_DIRECTORY_FILE);
  return WithAttributes(Open(nullptr, name, OBJ_CASE_INSENSITIVE, options, purpose));
}

OpenedEntry WithAttributes(UniqueFileHandle handle) {
  FILE_ATTRIBUTE_TAG_INFO self = {};
  if (!handle || !GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &self, sizeof self)) return {};
  return {std::move(handle), {self.FileAttributes, self.ReparseTag}};
}
