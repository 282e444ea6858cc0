// A program folder that is a link, left where the folder was moved from.
#pragma once

#include <string>

#include "entry_deletion.h"

// Removes the folder the link at `path` ("\\?\" form) leads to, where the path rules allow
// that target, and then the link. Returns whether the program folder counts as found.
bool RemoveThroughLink(const std::wstring& path, DeletionMode& mode);
