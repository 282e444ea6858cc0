#pragma once

#include <string>

// Removes the folder at `folderPath` (fully qualified and canonical, such as
// "C:\Program Files\name" or "\\server\share\name", without a trailing separator) with
// everything below it, depth first, as far as the caller's rights allow. Returns whether
// the folder was found: false, with nothing touched, for a folder that is not there, one
// that cannot be listed, and for any path that is not a folder below a root.
//
// Every name the file system can hold is reached, however long the path: reserved device
// names, names ending in a dot or a space. Links (junctions, symbolic links, mount points)
// inside the tree are removed as links and never descended into. A folder that is itself
// a link, left where a program folder was moved from, is walked through to where the
// folder now is, when MayWalkLinkTarget allows it; the link goes once that folder is
// gone. Any other link is left whole with what it points at and answers false. A link
// whose target is gone is removed. Other reparse folders (cloud-file placeholders and the
// like) are folders with contents, emptied and removed as any folder.
bool RemoveFolderTree(const std::wstring& folderPath);

// Whether a folder is still at `path`, by looking rather than by what the deletion calls
// answered: some file systems report success for deletions they did not do. Only "not
// found" counts as gone; any other failure to look means the folder may still be there.
bool IsFolderStillThere(const std::wstring& path);
