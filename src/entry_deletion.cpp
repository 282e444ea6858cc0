#include "entry_deletion.h"

namespace {

// FileDispositionInfoEx and its FILE_DISPOSITION_INFO_EX flags (DELETE, POSIX_SEMANTICS,
// IGNORE_READONLY_ATTRIBUTE). Windows' headers name them only for builds that require
// Windows 10 1607 or 1809, which this one does not.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosix = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

// How a file system or a Windows release refuses a class or flag it does not know, rather
// than the entry.
bool IsNotTaken(DWORD error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

bool SetDisposition(HANDLE entry, DWORD flags) {
  return SetFileInformationByHandle(entry, kFileDispositionInfoEx, &flags, sizeof flags) != FALSE;
}

// Windows 10 1809 and later: the name goes as this handle closes, even while others hold
// the entry open sharing deletion (a scanner, the indexer), so the folder above can go; and
// the read-only bit is ignored, so a file that stays keeps it, and so do its other names.
bool DeleteIgnoringReadOnly(HANDLE entry) {
  return SetDisposition(entry, kDispositionDelete | kDispositionPosix | kDispositionIgnoreReadOnly);
}

// Windows 10 1607 to 1803 (Windows Server 2016): the same, but a read-only entry is refused.
bool DeletePosix(HANDLE entry) { return SetDisposition(entry, kDispositionDelete | kDispositionPosix); }

// Every Windows and file system: the entry goes once its last handle is closed, by anyone;
// a read-only entry is refused.
bool MarkForDeletion(HANDLE entry) {
  FILE_DISPOSITION_INFO marked = {TRUE};
  return SetFileInformationByHandle(entry, FileDispositionInfo, &marked, sizeof marked) != FALSE;
}

// Attributes of 0 would leave them as they are, so none is NORMAL; times of 0 are left as
// they are, and bits that cannot be set (directory, reparse point) are passed over
// ([MS-FSA] FileBasicInformation).
bool SetAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

// After `rung` refused the entry with `error`: where the refusal was its read-only bit
// (ERROR_ACCESS_DENIED), the bit is cleared through the same handle, as read from it now,
// `rung` is tried again, and the bit is put back if the deletion is still refused.
void RetryWithoutReadOnly(HANDLE entry, DWORD error, bool (*rung)(HANDLE)) {
  FILE_BASIC_INFO basic = {};
  const DWORD readOnly = FILE_ATTRIBUTE_READONLY;
  if (error != ERROR_ACCESS_DENIED || !GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic) ||
      (basic.FileAttributes & readOnly) == 0 || !SetAttributes(entry, basic.FileAttributes & ~readOnly)) {
    return;
  }
  if (!rung(entry)) SetAttributes(entry, basic.FileAttributes);
}

}  // namespace

void DeleteThrough(HANDLE entry, DeletionMode& mode) {
  if (mode.first == DeletionRung::kIgnoringReadOnly) {
    if (DeleteIgnoringReadOnly(entry) || !IsNotTaken(GetLastError())) return;
    mode.first = DeletionRung::kPosix;
  }
  if (mode.first == DeletionRung::kPosix) {
    if (DeletePosix(entry)) return;
    const DWORD error = GetLastError();
    if (!IsNotTaken(error)) return RetryWithoutReadOnly(entry, error, DeletePosix);
    mode.first = DeletionRung::kMarked;
  }
  if (!MarkForDeletion(entry)) RetryWithoutReadOnly(entry, GetLastError(), MarkForDeletion);
}
