// Real folders, files, links and drives for the tests, all inside scratch
// folders under the user's temp folder. Paths are plain; the helpers reach every name
// through "\\?\", so that they can make and see what plain paths cannot.
#pragma once

#include <windows.h>

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

std::wstring Extended(const std::wstring& path);
bool Exists(const std::wstring& path);
bool MakeFolder(const std::wstring& path);
bool MakeFile(const std::wstring& path, const std::string& content, DWORD attributes = FILE_ATTRIBUTE_NORMAL);
// Every file and folder below `root`, relative to it and sorted; links are listed, not
// followed. With `details`, each entry also shows its attributes and a file its content.
std::vector<std::wstring> ListTree(const std::wstring& root, bool details = false);
// Removes a tree the tests made, read-only entries included; never follows links.
void RemoveScratchTree(const std::wstring& root);

bool RunningOnWine();
// The path of a program built beside the uninstaller, in the folder CTest names in
// ORVANTO_PROGRAMS: a Unix path under Wine, made one that Windows opens.
std::wstring BuiltProgram(const std::wstring& name);

// Makes `link` a link to the existing folder `target`: a junction on Windows, a Unix
// symbolic link under Wine. Returns why it could not, or an empty string.
std::string MakeFolderLink(const std::wstring& link, const std::wstring& target);

// A drive letter of its own whose root is `folder`, for as long as it lives: what subst
// does on Windows, a dosdevices link under Wine. `root` ("X:\") is empty when none could
// be made, with the reason in `why`.
struct ScratchDrive {
  explicit ScratchDrive(const std::wstring& folder);
  ~ScratchDrive();
  ScratchDrive(const ScratchDrive&) = delete;
  ScratchDrive& operator=(const ScratchDrive&) = delete;
  std::wstring root;
  std::string why;
  std::wstring unixLink;
};

// A whole number from the environment, for test sizes and seeds; `fallback` when unset.
unsigned long EnvironmentNumber(const char* name, unsigned long fallback);
