#pragma once

#include <string>

// Removes the folder at `folderPath` (fully qualified and canonical, such as
// "C:\Program Files\name" or "\\server\share\name", without a trailing separator) with
// everything below it, depth first, as far as the caller's rights allow. Returns whether
// the folder was found: true once it could be listed, whatever happened afterwards; false,
// with nothing touched, for a folder that is not there, one that cannot be listed, and for
// any path that is not a folder below a root.
//
// Only the folder itself is reached by its path; everything below it is reached through
// handles (src/folder_tree.cpp), so that nothing outside it can be reached however its
// folders are changed while it runs. Every name the file system can hold is reached,
// however long the path. Links inside the tree are removed as links, never entered. A
// folder that is itself a link, left where a program folder was moved from, is walked
// through to where the folder now is when MayWalkLinkTarget (path_rules.h) allows it, and
// the link goes once that folder is gone (src/program_folder_link.cpp); a link whose
// target is gone is removed; any other link is left whole, with what it points at, and
// answers false.
bool RemoveFolderTree(const std::wstring& folderPath);

// Whether a program folder is still at `path`, by looking rather than by what the deletion
// calls answered: some file systems report success for deletions they did not do. A folder
// or a link of any kind is (a file symbolic link may stand for a moved folder); a plain
// file is no program folder. Only "not found" counts as gone (its last name, or a folder
// on the way, missing); any other failure to look means it may still be there.
bool IsFolderStillThere(const std::wstring& path);
