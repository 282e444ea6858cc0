#pragma once

#include <string>

// Removes the folder at `folderPath` (absolute, no trailing separator) with everything
// below it, depth first, as far as the caller's rights allow. Returns whether the folder
// could be listed at all; when it returns false nothing was touched.
//
// Links (junctions, symbolic links, mount points) inside the tree are removed as links
// and never descended into, so nothing outside the tree is ever removed.
bool RemoveFolderTree(const std::wstring& folderPath);
