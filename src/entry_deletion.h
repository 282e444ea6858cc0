// Deleting an entry through a handle opened on it, by the first way down a ladder that the
// file system takes.
#pragma once

#include <windows.h>

// The ways to delete, the best first.
enum class DeletionRung { kIgnoringReadOnly, kPosix, kMarked };

// What deleting has learnt of the file system during a run: the first rung it takes. A
// class or flag it refuses once it refuses for every entry, so it is not asked again.
struct DeletionMode {
  DeletionRung first = DeletionRung::kIgnoringReadOnly;
};

// Deletes the entry open as `entry` (with DELETE and FILE_READ_ATTRIBUTES, and
// FILE_WRITE_ATTRIBUTES where its read-only bit may have to be cleared): a file, an empty
// folder, or a link itself. What is refused stays.
void DeleteThrough(HANDLE entry, DeletionMode& mode);
