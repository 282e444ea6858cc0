// Opening a program folder and the entries below it, each as a handle: the program folder
// by its path, everything below it relative to its folder's handle, by one ladder of
// accesses for each purpose.
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

// What an entry is opened for:
// - kWalking: a folder, to list and delete it. No one may delete or rename it while the
//   walk holds it, since a handle follows its folder wherever it is moved: it is shared
//   with no one who would, and cannot be opened while someone holds it to do so.
// - kDeleting: anything else (a file, a link itself), to delete it.
// - kNaming: only to ask where it is (GetFinalPathNameByHandleW).
enum class OpenFor { kWalking, kDeleting, kNaming };

// Opens the entry `name` (`nameBytes` long, not terminated; one name of the folder, never
// a path) of the folder open as `folder`, itself and not what it may point at. It must be
// a folder if `isListedFolder`, and no folder otherwise. Empty when it cannot be opened.
UniqueFileHandle OpenEntryBelow(HANDLE folder, wchar_t* name, DWORD nameBytes, bool isListedFolder, OpenFor purpose);

// Opens what is at `path` ("\\?\" form): itself, or with `followLinks` what every link on
// the way leads to; a folder, unless kDeleting. Empty when it cannot be opened, with
// GetLastError saying why.
OpenedEntry OpenAt(const std::wstring& path, bool followLinks, OpenFor purpose);

// The entry open as `handle`, with its attributes read from it; empty when they cannot be.
OpenedEntry WithAttributes(UniqueFileHandle handle);
