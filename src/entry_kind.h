// What an entry of a program folder is, decided from what Windows says of it: nothing
// here looks at a disk.
#pragma once

#include <windows.h>

// An entry's attribute bits and, when it has FILE_ATTRIBUTE_REPARSE_POINT, its reparse tag.
struct EntryAttributes {
  DWORD attributes;
  DWORD reparseTag;
};

// What a listing says of an entry. The field that holds its reparse tag (EaSize in a
// handle's listing, [MS-FSCC] FileFullDirectoryInformation; dwReserved0 in FindFirstFileW's)
// means that only when the entry has the reparse-point bit.
EntryAttributes Listed(DWORD attributes, DWORD tagField);

// A link is removed as a link and never entered. A reparse folder that is no link (a
// cloud-file placeholder, a projected folder) is a folder with contents of its own.
enum class EntryKind { kFile, kFolder, kLink };

// The kind of an entry, from its folder's listing and from the handle opened on it. A link
// if either says so: on Windows the handle still tells after the entry was swapped for a
// link once listed; under Wine only the listing tells (docs/testing.md, "Windows and
// Wine"). Otherwise the handle says whether it is a folder.
EntryKind KindOf(EntryAttributes listed, EntryAttributes opened);

// Whether a handle opened on an entry is the link itself, not what it points at, and so
// may remove it: its own attributes show a name surrogate.
bool IsLinkItself(EntryAttributes opened);
