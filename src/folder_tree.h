// The walk that empties a folder through handles. src/folder_tree.cpp names its hazards.
#pragma once

#include "entry_deletion.h"
#include "scoped_handles.h"

// Empties the folder open as `folder` (for walking: entry_handles.h) and deletes it, each
// entry through its own handle. False, with nothing touched, when it cannot be listed.
bool EmptyAndDelete(UniqueFileHandle folder, DeletionMode& mode);
