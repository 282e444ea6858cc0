#pragma once

#include <string>

// Removes the folder at `folderPath` (fully qualified and canonical, such as
// "C:\Program Files\name" or "\\server\share\name", without a trailing separator) with
// everything below it, depth first, as far as the caller's rights allow. Returns whether
// the folder was found: false, with nothing touched, for a folder that is not there, one
// that cannot be listed, and for an empty or relative path or a root.
//
// Every name the file system can hold is reached, however long the path: reserved device
// names, names ending in a dot or a space. Links (junctions, symbolic links, mount points)
// inside the tree are removed as links and never descended into. A folder that is itself
// a link, left where a program folder was moved from, is walked through: what it points
// at is removed, then the link. Only to a folder of the link's own name, though, below a
// drive's root and not at or above the folder the link stands in: any other link, or one
// whose target cannot be told, is left whole with what it points at and answers false.
// A link whose target is gone is removed. Other reparse folders (cloud-file placeholders
// and the like) are folders with contents, emptied and removed as any folder.
bool RemoveFolderTree(const std::wstring& folderPath);
