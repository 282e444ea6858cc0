// Rules about paths, decided from the strings alone: nothing here looks at a disk. Every
// comparison of names is Windows' own: ordinal and case-insensitive.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the root of a fully qualified path, separator included: "C:\" or
// "\\server\share\", either also behind "\\?\" ("\\?\C:\", "\\?\UNC\server\share\"). 0
// for anything else: an empty or relative path, "C:" or "C:name" (relative to the drive's
// current folder), "\name" (relative to the current drive), and device and volume paths
// ("\\.\C:\", "\\?\Volume{...}\"), which bypass the drive a name would be checked against.
size_t RootLength(const std::wstring& path);

// Whether `path` names a folder below a root in canonical form: a root, then names, none
// of them empty, "." or "..". Never a root itself, a relative path, or one with a trailing
// separator.
bool IsBelowRoot(const std::wstring& path);

// Whether a name from a folder's listing names one entry of that folder, and so may be
// opened relative to it: not empty, not "." or ".." (the folder itself and the one above),
// and holding no "\" (a path through other folders, links included) and no ":" (a stream).
// NTFS lists none such; another file system or a third-party driver might.
bool IsOneName(std::wstring_view name);

// The same path of a folder below a root in the form that reaches the file system as it
// is: "\\?\C:\..." or "\\?\UNC\server\share\...".
std::wstring ExtendedLengthPath(const std::wstring& path);

// The folder `path` stands in, in canonical form: "C:\a" for "C:\a\b", "C:\" for "C:\a".
// Empty when `path` is not below a root.
std::wstring FolderAbove(const std::wstring& path);

// Whether the walk may follow a program folder that is a link, at `link`, standing in the
// folder whose final path is `linkFolder`, to the folder `target` (the link's final path)
// and remove that. A program folder moved elsewhere keeps its name and stays on a drive of
// this machine, so only such a target is walked: one of the link's own name, below a
// drive's root, not on a network share (other machines may run the program from there),
// and neither the folder the link stands in nor any folder above it (a link in Program
// Files to Program Files itself would empty every program there).
bool MayWalkLinkTarget(const std::wstring& link, const std::wstring& linkFolder, const std::wstring& target);
