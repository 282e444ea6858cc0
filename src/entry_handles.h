// Opening the entries of a program folder and deleting them, each through a handle: the
// calls the folder walk makes for every entry.
#pragma once

#include <windows.h>

#include <string>

#include "entry_kind.h"
#include "scoped_handles.h"

// An open entry, with its attributes as its own handle gives them.
struct OpenedEntry {
  UniqueFileHandle handle;
  EntryAttributes attributes;
};

// Opens the entry `name` (`nameBytes` long, not terminated) of the folder open as
// `folder`, itself and not what it may point at, for deleting and, as a folder
// (`isFolder`), for listing. It must be a folder if `isFolder`, and no folder otherwise.
// Empty when it cannot be opened.
UniqueFileHandle OpenEntryBelow(HANDLE folder, wchar_t* name, DWORD nameBytes, bool isFolder);

// Opens the folder at `path` ("\\?\" form) for listing and deleting: itself, or with
// `followLinks` what every link on the way leads to. Empty when it cannot be opened, with
// GetLastError saying why.
OpenedEntry OpenFolderAt(const std::wstring& path, bool followLinks);

// The entry open as `handle`, with its attributes read from it; empty when they cannot be.
OpenedEntry WithAttributes(UniqueFileHandle handle);

// What deleting has learnt of the file system: whether it refuses to delete in one step
// that ignores the read-only bit.
struct DeletionMode {
  bool oneStepRefused = false;
};

// Deletes the entry open as `entry`: a file, an empty folder, or a link itself.
void DeleteThrough(HANDLE entry, DeletionMode& mode);
