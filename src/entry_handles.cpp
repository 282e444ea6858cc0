#include "entry_handles.h"

#include <winternl.h>

#include <initializer_list>

namespace {

// What opening an entry asks for: to list a folder, to delete it, and to read and write its
// attributes, since the read-only bit may have to be cleared first. Where that is refused,
// or a program holding the entry open shares no deletion, it is opened without deleting
// (a folder may still be emptied) or without writing attributes (deleting may still work).
constexpr ACCESS_MASK kDeleteAccess = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK kFolderAccesses[] = {kDeleteAccess | FILE_LIST_DIRECTORY,
                                           FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE};
constexpr ACCESS_MASK kFileAccesses[] = {kDeleteAccess, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE};
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043L);

// FileDispositionInfoEx and its FILE_DISPOSITION_INFO_EX flags (DELETE, POSIX_SEMANTICS,
// IGNORE_READONLY_ATTRIBUTE). Windows' headers name them only for builds that require
// Windows 10 1607 or 1809, which this one does not.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDeleteAtOnceIgnoringReadOnly = 0x1 | 0x2 | 0x10;

// Attributes of 0 would leave them as they are, so none is NORMAL; times of 0 are left as
// they are, and bits that cannot be set (directory, reparse point) are passed over
// ([MS-FSA] FileBasicInformation).
bool SetAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

}  // namespace

// NOLINTNEXTLINE(readability-non-const-parameter): UNICODE_STRING holds a non-const buffer
UniqueFileHandle OpenEntryBelow(HANDLE folder, wchar_t* name, DWORD nameBytes, bool isFolder) {
  UNICODE_STRING relativeName = {static_cast<USHORT>(nameBytes), static_cast<USHORT>(nameBytes), name};
  OBJECT_ATTRIBUTES object = {};
  object.Length = sizeof object;
  object.RootDirectory = folder;
  object.ObjectName = &relativeName;
  // FILE_OPEN_REPARSE_POINT opens a link itself. Relative to a handle, the name is looked up
  // in that folder alone, whatever has happened to the path that led to it.
  const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
                        (isFolder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
  for (const ACCESS_MASK access : isFolder ? kFolderAccesses : kFileAccesses) {
    HANDLE opened = nullptr;
    IO_STATUS_BLOCK status = {};
    const NTSTATUS result =
        NtCreateFile(&opened, access, &object, &status, nullptr, 0, kShareAll, FILE_OPEN, options, nullptr, 0);
    if (result >= 0) return UniqueFileHandle(opened);
    if (result != kStatusAccessDenied && result != kStatusSharingViolation) break;
  }
  return UniqueFileHandle();
}

OpenedEntry OpenFolderAt(const std::wstring& path, bool followLinks) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  for (const ACCESS_MASK access : kFolderAccesses) {
    UniqueFileHandle folder(CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr));
    if (folder) return WithAttributes(std::move(folder));
    if (GetLastError() != ERROR_ACCESS_DENIED && GetLastError() != ERROR_SHARING_VIOLATION) break;
  }
  return {};
}

OpenedEntry WithAttributes(UniqueFileHandle handle) {
  FILE_ATTRIBUTE_TAG_INFO self = {};
  if (!handle || !GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &self, sizeof self)) return {};
  return {std::move(handle), {self.FileAttributes, self.ReparseTag}};
}

// FileDispositionInfoEx with POSIX semantics removes the name at once, even while another
// program holds the entry open with deletion shared (a scanner, the indexer), so the folder
// above can go; and it ignores the read-only bit, so that a file that stays keeps it, and
// so do its other hard links. Windows before 10 1809 and file systems such as FAT refuse
// the class or the flags (ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED or
// ERROR_INVALID_FUNCTION; Wine 8 answers ERROR_INVALID_PARAMETER): then the entry is
// marked for deletion (FileDispositionInfo), which happens when its last handle is closed.
// That is refused for a read-only entry (STATUS_CANNOT_DELETE, ERROR_ACCESS_DENIED): its
// bit is cleared through the same handle, as read from it now, and put back if the
// deletion is still refused.
void DeleteThrough(HANDLE entry, DeletionMode& mode) {
  if (!mode.oneStepRefused) {
    DWORD oneStep = kDeleteAtOnceIgnoringReadOnly;
    if (SetFileInformationByHandle(entry, kFileDispositionInfoEx, &oneStep, sizeof oneStep)) return;
    const DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) return;
    mode.oneStepRefused = true;
  }
  FILE_DISPOSITION_INFO marked = {TRUE};
  if (SetFileInformationByHandle(entry, FileDispositionInfo, &marked, sizeof marked)) return;
  FILE_BASIC_INFO basic = {};
  const DWORD readOnly = FILE_ATTRIBUTE_READONLY;
  if (GetLastError() != ERROR_ACCESS_DENIED ||
      !GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic) ||
      (basic.FileAttributes & readOnly) == 0 || !SetAttributes(entry, basic.FileAttributes & ~readOnly)) {
    return;
  }
  if (!SetFileInformationByHandle(entry, FileDispositionInfo, &marked, sizeof marked)) {
    SetAttributes(entry, basic.FileAttributes);
  }
}
