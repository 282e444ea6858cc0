#include "removal_methods.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <filesystem>
#include <system_error>

#include "folder_tree.h"
#include "scoped_handles.h"

namespace {

bool WithRemoveFolderTree(const std::wstring& top, const BenchTree& /*placed*/) { return RemoveFolderTree(top); }

// What RemoveFolderTree's own calls cost, with nothing to find them: the same DeleteFileW
// and RemoveDirectoryW on the same extended-length paths, and the attribute write that
// DeleteFileW needs on a read-only file, but no listing and no attribute reads.
bool WithItsCallsAlone(const std::wstring& /*top*/, const BenchTree& placed) {
  bool removed = true;
  for (const BenchTree::File& file : placed.files) {
    if (file.readOnly && !SetFileAttributesW(file.path.c_str(), FILE_ATTRIBUTE_NORMAL)) removed = false;
    if (!DeleteFileW(file.path.c_str())) removed = false;
  }
  // Children come after their parents in the list, so the folders go from its end.
  for (auto folder = placed.folders.rbegin(); folder != placed.folders.rend(); ++folder) {
    if (!RemoveDirectoryW(folder->c_str())) removed = false;
  }
  return removed;
}

bool WithShellFileOperation(const std::wstring& top, const BenchTree& /*placed*/) {
  // pFrom is a list of paths ended by an empty one: the string's own terminator
  // follows the NUL added here.
  const std::wstring from = top + L'\0';
  SHFILEOPSTRUCTW operation{};
  operation.wFunc = FO_DELETE;
  operation.pFrom = from.c_str();
  operation.fFlags = FOF_NO_UI;
  return SHFileOperationW(&operation) == 0 && !operation.fAnyOperationsAborted;
}

bool WithFilesystemRemoveAll(const std::wstring& top, const BenchTree& /*placed*/) {
  namespace fs = std::filesystem;
  std::error_code error;
  // remove_all stops at the first read-only file, so their bits are cleared first; that
  // walk is part of what this method costs.
  for (fs::recursive_directory_iterator it(top, error), end; !error && it != end; it.increment(error)) {
    const fs::file_status status = it->symlink_status(error);
    if (error) break;
    if (status.type() == fs::file_type::regular && (status.permissions() & fs::perms::owner_write) == fs::perms::none) {
      fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, error);
      if (error) break;
    }
  }
  if (error) return false;
  return fs::remove_all(top, error) != static_cast<std::uintmax_t>(-1) && !error;
}

bool WithRdCommand(const std::wstring& top, const BenchTree& /*placed*/) {
  wchar_t systemFolder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::wstring cmd = std::wstring(systemFolder) + L"\\cmd.exe";
  // CreateProcessW may write into the command line, so it gets its own copy.
  std::wstring commandLine = L"cmd.exe /c rd /s /q \"" + top + L"\"";

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(cmd.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started)) {
    return false;
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  DWORD exitCode = 1;
  return WaitForSingleObject(process.get(), INFINITE) == WAIT_OBJECT_0 &&
         GetExitCodeProcess(process.get(), &exitCode) && exitCode == 0;
}

}  // namespace

const std::vector<RemovalMethod>& RemovalMethods() {
  static const std::vector<RemovalMethod> methods{
      {L"tree", "RemoveFolderTree", WithRemoveFolderTree},
      {L"calls", "its calls alone (floor)", WithItsCallsAlone},
      {L"shell", "SHFileOperationW", WithShellFileOperation},
      {L"remove_all", "std::filesystem::remove_all", WithFilesystemRemoveAll},
      {L"rd", "cmd /c rd /s /q", WithRdCommand},
  };
  return methods;
}
