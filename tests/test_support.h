// Scaffolding for the tests that work on real folders: scratch folders, links and
// read-only entries, made on Windows and under Wine alike, and listings to compare.
//
// - Every name is reached through "\\?\", so that the helpers make and see what plain paths
//   cannot (device names, trailing dots and spaces).
// - Scratch folders: each test gets a fresh folder under the temp folder, named
//   orvanto-test-*, removed at the end with everything in it; RemoveScratch removes
//   nothing else.
// - Links: on Windows a junction (mklink /j), or for a share a symbolic link (mklink /d,
//   which needs the right to make one); under Wine, which makes neither, a Unix symbolic
//   link made with ln (docs/testing.md, "Windows and Wine").
// - Read-only entries: on Windows the entry's own bit; under Wine a Unix link shows its
//   target's bit, which only chmod sets.
// - Under Wine the Unix commands are reached through Wine's "\\?\unix" namespace (the
//   test prefix has no Z: drive); on Windows cmd runs them.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "path_rules.h"
#include "scoped_handles.h"

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

// Makes each file, holding "x", with the folders above it that are missing.
inline bool Lay(const std::wstring& root, const std::vector<std::wstring>& files) {
  for (const std::wstring& file : files) {
    for (size_t cut = file.find(L'\\'); cut != std::wstring::npos; cut = file.find(L'\\', cut + 1)) {
      MakeFolder(Join(root, file.substr(0, cut)));
    }
    if (!MakeFile(Join(root, file), "x")) return false;
  }
  return true;
}

inline bool RunningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// Under Wine, the Unix path of a Windows one, from Wine's own addition to kernel32.
inline std::wstring UnixPath(const std::wstring& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unixPath = convert != nullptr ? convert(ExtendedLengthPath(path).c_str()) : nullptr;
  if (unixPath == nullptr) return L"";
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, unixPath, -1, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, unixPath, -1, wide.data(), static_cast<int>(wide.size()));
  HeapFree(GetProcessHeap(), 0, unixPath);
  wide.pop_back();
  return wide;
}

inline std::wstring Quoted(const std::wstring& path) {
  return L" \"" + (RunningOnWine() ? UnixPath(path) : path) + L"\"";
}

// Runs a command and waits, up to ten seconds, for `done`: Wine does not follow a Unix
// program to its end.
template <typename Condition>
inline bool RunCommand(const std::wstring& command, Condition done) {
  std::wstring line = (RunningOnWine() ? L"\\\\?\\unix\\bin\\" : L"cmd.exe /c ") + command;
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

// Removes a tree or a link the tests made, read-only entries included, links as links (rm
// does not follow them, nor does rd /s follow junctions); never anything else. Only what
// is there: a command started for nothing could remove what is made after it.
inline void RemoveScratch(const std::wstring& path) {
  if (path.find(L"orvanto-test-") == std::wstring::npos || !Exists(path)) return;
  RunCommand(RunningOnWine() ? L"rm -rf --" + Quoted(path)
                             : L"attrib -r /s /d" + Quoted(path + L"\\*") + L" & rd /s /q" + Quoted(path),
             [&] { return !Exists(path); });
}

// Makes `link` a link to the folder `target`.
inline bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
  const std::wstring command =
      RunningOnWine() ? L"ln -s --" + Quoted(target) + Quoted(link)
                      : (target.rfind(L"\\\\", 0) == 0 ? L"mklink /d" : L"mklink /j") + Quoted(link) + Quoted(target);
  return RunCommand(command, [&] {
    const DWORD attributes = GetFileAttributesW(ExtendedLengthPath(link).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  });
}

// Makes a folder or a link read-only.
inline bool MakeReadOnly(const std::wstring& path) {
  if (!RunningOnWine()) return SetFileAttributesW(ExtendedLengthPath(path).c_str(), FILE_ATTRIBUTE_READONLY) != FALSE;
  return RunCommand(L"chmod a-w --" + Quoted(path), [&] {
    return (GetFileAttributesW(ExtendedLengthPath(path).c_str()) & FILE_ATTRIBUTE_READONLY) != 0;
  });
}

class RemoveFolderTreeTest : public testing::Test {
 protected:
  void SetUp() override {
    static unsigned made = 0;  // process ids are soon reused under Wine, hence the clock
    wchar_t temp[MAX_PATH + 1];
    scratch.assign(temp, GetTempPathW(MAX_PATH + 1, temp));
    scratch += L"orvanto-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) +
               L"-" + std::to_wstring(++made);
    ASSERT_TRUE(MakeFolder(scratch));
  }
  void TearDown() override { RemoveScratch(scratch); }

  std::wstring scratch;
};

// Every file and folder below `root`, relative to it and sorted, with its attributes and a
// file's size; links are listed, not followed.
inline std::vector<std::wstring> ListTree(const std::wstring& root, const std::wstring& relative = L"") {
  std::vector<std::wstring> out;
  WIN32_FIND_DATAW entry;
  UniqueFindHandle listing(FindFirstFileW(ExtendedLengthPath(Join(root, relative) + L"\\*").c_str(), &entry));
  for (bool more = static_cast<bool>(listing); more; more = FindNextFileW(listing.get(), &entry) != FALSE) {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const DWORD attributes = entry.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL};
    out.push_back(Join(relative, name) + L" [" + std::to_wstring(attributes) + L"] " +
                  std::to_wstring(entry.nFileSizeLow));
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY) {
      const std::vector<std::wstring> below = ListTree(root, Join(relative, name));
      out.insert(out.end(), below.begin(), below.end());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}
