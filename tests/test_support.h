// Scaffolding for the tests that work on real folders, the unit tests' and the end-to-end
// driver's: folders, files, links and read-only entries made on Windows and under Wine
// alike, listings to compare, and removal of what a test made.
//
// - Every name is reached through "\\?\", so that the helpers make and see what plain paths
//   cannot (device names, trailing dots and spaces, paths past MAX_PATH).
// - Links: on Windows made through the API, a junction, or for a share (which a junction
//   cannot lead to) a folder symbolic link, which needs the right to make one; under Wine,
//   which makes neither, a Unix symbolic link made with ln (docs/testing.md, "Windows and
//   Wine"). Each is checked to lead where it should.
// - Read-only entries: on Windows the entry's own bit; under Wine a Unix link shows its
//   target's bit, which only chmod sets.
// - Under Wine the Unix commands are reached through Wine's "\\?\unix" namespace (the
//   test prefixes have no Z: drive).
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "path_rules.h"
#include "scoped_handles.h"

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(ExtendedLengthPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}
inline bool MakeFolder(const std::wstring& path) {
  return CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr) != FALSE;
}

inline bool MakeFile(const std::wstring& path, const std::string& content, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  UniqueFileHandle file(
      CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
}

inline std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  return folder.empty() || name.empty() ? folder + name : folder + L'\\' + name;
}

// Makes `root` if it is missing, then each file, holding "x", with the folders above it.
inline bool Lay(const std::wstring& root, const std::vector<std::wstring>& files) {
  MakeFolder(root);
  for (const std::wstring& file : files) {
    for (size_t cut = file.find(L'\\'); cut != std::wstring::npos; cut = file.find(L'\\', cut + 1)) {
      MakeFolder(Join(root, file.substr(0, cut)));
    }
    if (!MakeFile(Join(root, file), "x")) return false;
  }
  return true;
}

inline bool RunningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

inline std::wstring FromUtf8(const char* text) {
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), static_cast<int>(wide.size()));
  wide.pop_back();  // the terminator
  return wide;
}

// Under Wine, the Unix path of a Windows one, from Wine's own addition to kernel32.
inline std::wstring UnixPath(const std::wstring& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unixPath = convert != nullptr ? convert(ExtendedLengthPath(path).c_str()) : nullptr;
  if (unixPath == nullptr) return L"";
  std::wstring wide = FromUtf8(unixPath);
  HeapFree(GetProcessHeap(), 0, unixPath);
  return wide;
}
inline std::wstring Quoted(const std::wstring& path) { return L" \"" + UnixPath(path) + L"\""; }

// Under Wine, runs a Unix command and waits, up to ten seconds, for `done`: Wine does not
// follow a Unix program to its end, so a late one may still act on the paths it was given.
template <typename Condition>
inline bool RunUnixCommand(const std::wstring& command, Condition done) {
  std::wstring line = L"\\\\?\\unix\\bin\\" + command;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    return false;
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  for (int waited = 0; waited < 10000 && !done(); waited += 5) Sleep(5);
  return done();
}

// A folder's entries but "." and "..".
inline std::vector<WIN32_FIND_DATAW> Listing(const std::wstring& folder) {
  std::vector<WIN32_FIND_DATAW> entries;
  WIN32_FIND_DATAW entry;
  const UniqueFindHandle listing(FindFirstFileW(ExtendedLengthPath(folder + L"\\*").c_str(), &entry));
  if (!listing) return entries;
  do {
    if (std::wstring(entry.cFileName) != L"." && std::wstring(entry.cFileName) != L"..") entries.push_back(entry);
  } while (FindNextFileW(listing.get(), &entry));
  return entries;
}
inline bool IsFolderItself(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY;
}

// Every file and folder below `root`, relative to it and sorted, with its attributes and a
// file's size; links are listed, not followed.
inline std::vector<std::wstring> ListTree(const std::wstring& root, const std::wstring& relative = L"") {
  std::vector<std::wstring> out;
  for (const WIN32_FIND_DATAW& entry : Listing(Join(root, relative))) {
    const DWORD attributes = entry.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL};
    const std::wstring path = Join(relative, entry.cFileName);
    out.push_back(path + L" [" + std::to_wstring(attributes) + L"] " + std::to_wstring(entry.nFileSizeLow));
    if (IsFolderItself(attributes)) {
      const std::vector<std::wstring> below = ListTree(root, path);
      out.insert(out.end(), below.begin(), below.end());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Removes a tree or a link a test made, read-only entries included, links as links.
// Under Wine one Unix command does it, which sees links Wine does not show (one left
// pointing nowhere), opens folders closed even to their owner (not through a link), and
// says it is done by making a folder: a late one would remove what is made after it. On
// Windows RemoveDirectoryW and DeleteFileW remove a link itself, and SetFileAttributesW acts
// on it ("Symbolic Link Effects on File Systems Functions").
inline void RemoveTestTree(const std::wstring& path) {
  if (RunningOnWine()) {
    static unsigned removals = 0;
    wchar_t temp[MAX_PATH + 1];
    const std::wstring done = std::wstring(temp, GetTempPathW(MAX_PATH + 1, temp)) + L"orvanto-test-removed-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++removals);
    RemoveDirectoryW(done.c_str());  // one a process of the same id left
    RunUnixCommand(
        L"sh -c \"[ -L \\\"$1\\\" ] || chmod -R u+rwx -- \\\"$1\\\"; rm -rf -- \\\"$1\\\"; mkdir -- \\\"$0\\\"\"" +
            Quoted(done) + Quoted(path),
        [&] { return Exists(done); });
    RemoveDirectoryW(done.c_str());
    return;
  }
  const std::wstring reached = ExtendedLengthPath(path);
  const DWORD attributes = GetFileAttributesW(reached.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(reached.c_str(), FILE_ATTRIBUTE_NORMAL);  // read-only no more
  if (IsFolderItself(attributes)) {
    for (const WIN32_FIND_DATAW& entry : Listing(path)) RemoveTestTree(Join(path, entry.cFileName));
  }
  (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(reached.c_str()) : DeleteFileW(reached.c_str());
}

// Opens `path` as another program would, by default sharing no deletion with anyone.
inline UniqueFileHandle Hold(const std::wstring& path, ACCESS_MASK access, DWORD flags = FILE_FLAG_BACKUP_SEMANTICS,
                             DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
  return UniqueFileHandle(
      CreateFileW(ExtendedLengthPath(path).c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr));
}

// What opening `path` reaches: the volume and file it is on, or the error that stopped it.
inline std::tuple<DWORD, DWORD, ULONGLONG> Reached(const std::wstring& path) {
  const UniqueFileHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return {GetLastError(), 0, 0};
  return {0, info.dwVolumeSerialNumber, (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// A symbolic link; without Developer Mode's flag where Windows predates it (1703) and
// refuses it as an unknown flag. False, with the error, where the account may not.
inline bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target, DWORD flags) {
  const std::wstring reached = ExtendedLengthPath(link);
  return CreateSymbolicLinkW(reached.c_str(), target.c_str(), flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
         (GetLastError() == ERROR_INVALID_PARAMETER && CreateSymbolicLinkW(reached.c_str(), target.c_str(), flags));
}

// A junction at `link`, a new folder, to the folder `target` on a drive of this machine:
// its reparse data holds the target as an NT path ("\??\C:\...", the substitute name) and
// as shown ("C:\...", the print name), each followed by a terminator that the lengths, in
// bytes, leave out. Its layout is the mount point one of REPARSE_DATA_BUFFER (ntifs.h).
inline bool MakeJunction(const std::wstring& link, const std::wstring& target) {
  const std::wstring shown = target.rfind(L"\\\\?\\", 0) == 0 ? target.substr(4) : target;
  const std::wstring names = L"\\??\\" + shown + L'\0' + shown + L'\0';
  struct {
    DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    WORD dataLength, reserved = 0, substituteOffset = 0, substituteLength, printOffset, printLength;
    wchar_t names[(MAXIMUM_REPARSE_DATA_BUFFER_SIZE - 16) / sizeof(wchar_t)];
  } data{};
  if (names.size() > std::size(data.names)) return false;
  std::copy(names.begin(), names.end(), data.names);
  data.substituteLength = static_cast<WORD>((shown.size() + 4) * sizeof(wchar_t));
  data.printOffset = static_cast<WORD>(data.substituteLength + sizeof(wchar_t));
  data.printLength = static_cast<WORD>(shown.size() * sizeof(wchar_t));
  data.dataLength = static_cast<WORD>(8 + names.size() * sizeof(wchar_t));  // from substituteOffset on
  DWORD returned = 0;
  const UniqueFileHandle folder(
      MakeFolder(link) ? CreateFileW(ExtendedLengthPath(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                       : INVALID_HANDLE_VALUE);
  return folder && DeviceIoControl(folder.get(), FSCTL_SET_REPARSE_POINT, &data, 8 + data.dataLength, nullptr, 0,
                                   &returned, nullptr);
}

inline bool IsLink(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(ExtendedLengthPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Makes `link` a link to the folder `target`, and checks that opening it reaches what
// opening the target reaches: the same folder, or, for a target that cannot be reached,
// the same error. False, with the error, where the link could not be made.
inline bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
  const bool made = RunningOnWine()
                        ? RunUnixCommand(L"ln -s --" + Quoted(target) + Quoted(link), [&] { return IsLink(link); })
                    : target.rfind(L"\\\\", 0) == 0 ? MakeSymbolicLink(link, target, SYMBOLIC_LINK_FLAG_DIRECTORY)
                                                    : MakeJunction(link, target);
  return made && Reached(link) == Reached(target);
}

// Makes a folder or a link read-only (under Wine, chmod a-w, which a folder's owner
// ignores only as root).
inline bool MakeReadOnly(const std::wstring& path) {
  if (!RunningOnWine()) return SetFileAttributesW(ExtendedLengthPath(path).c_str(), FILE_ATTRIBUTE_READONLY) != FALSE;
  return RunUnixCommand(L"chmod a-w --" + Quoted(path), [&] {
    return (GetFileAttributesW(ExtendedLengthPath(path).c_str()) & FILE_ATTRIBUTE_READONLY) != 0;
  });
}
