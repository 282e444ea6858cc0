// Real folders, files, links and processes for the tests, all inside one scratch folder
// under the user's temp folder.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "scoped_handles.h"

// A fresh folder under the temp folder, removed with everything in it at the end.
struct ScratchFolder {
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::wstring path;
};

bool Exists(const std::wstring& path);
bool MakeFolder(const std::wstring& path);
bool MakeFile(const std::wstring& path, const std::string& content, DWORD attributes = FILE_ATTRIBUTE_NORMAL);
std::string ReadContent(const std::wstring& path);
// Every file and folder below `root`, as paths relative to it, sorted.
std::vector<std::wstring> ListTree(const std::wstring& root);
// Removes a tree the tests made, read-only files included; never follows links.
void RemoveScratchTree(const std::wstring& root);

// The folder the test executable lives in.
std::wstring ExecutableFolder();

// Another process holding files open without sharing (tests/hold_files.cpp) until it is
// destroyed.
struct HeldFiles {
  explicit HeldFiles(const std::vector<std::wstring>& files);
  ~HeldFiles();
  HeldFiles(const HeldFiles&) = delete;
  HeldFiles& operator=(const HeldFiles&) = delete;
  bool holding = false;
  UniqueHandle process;
  UniqueHandle input;
};

// A link at `linkPath` to a new folder in `scratch`: a junction on Windows, a Unix
// symbolic link under Wine.
struct FolderLink {
  std::wstring linkPath;
  std::wstring targetPath;
};
// False, with the reason in `why`, when no link can be made here.
bool MakeFolderLink(const std::wstring& linkPath, const std::wstring& scratch, FolderLink& link, std::string& why);
// Removes a link to a folder, never what it points at.
void RemoveFolderLink(const std::wstring& link);
// Fills a link target with sentinel files; returns how many bytes it wrote.
std::uint64_t FillSentinel(const std::wstring& folder, unsigned seed);
// Whether a sentinel folder still holds exactly what FillSentinel wrote.
bool SentinelIntact(const std::wstring& folder, unsigned seed);

bool RunningOnWine();

// A whole number from the environment, for test sizes and seeds; `fallback` when unset.
unsigned long EnvironmentNumber(const char* name, unsigned long fallback);
