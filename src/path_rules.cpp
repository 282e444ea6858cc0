#include "path_rules.h"

#include <windows.h>

#include <algorithm>
#include <iterator>

namespace {

constexpr wchar_t kExtendedPrefix[] = L"\\\\?\\";
constexpr wchar_t kExtendedUncPrefix[] = L"\\\\?\\UNC\\";
constexpr size_t kExtendedLength = std::size(kExtendedPrefix) - 1;
constexpr size_t kExtendedUncLength = std::size(kExtendedUncPrefix) - 1;

bool IsSameText(const wchar_t* one, size_t oneLength, const wchar_t* other, size_t otherLength) {
  return CompareStringOrdinal(one, static_cast<int>(oneLength), other, static_cast<int>(otherLength), TRUE) ==
         CSTR_EQUAL;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix, size_t prefixLength) {
  return text.size() >= prefixLength && IsSameText(text.c_str(), prefixLength, prefix, prefixLength);
}

struct Root {
  size_t length;  // 0: no root
  bool isShare;   // "\\server\share\" rather than a drive's "C:\"
};

Root RootOf(const std::wstring& path) {
  size_t start = 0;
  bool isShare = false;
  if (StartsWith(path, kExtendedUncPrefix, kExtendedUncLength)) {
    start = kExtendedUncLength;
    isShare = true;
  } else if (StartsWith(path, kExtendedPrefix, kExtendedLength)) {
    start = kExtendedLength;
  } else if (StartsWith(path, L"\\\\", 2)) {
    start = 2;
    isShare = true;
  }
  if (!isShare) {
    const wchar_t letter = path.size() >= start + 3 ? path[start] : L'\0';
    const bool isLetter = (letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z');
    return {isLetter && path[start + 1] == L':' && path[start + 2] == L'\\' ? start + 3 : 0, false};
  }
  // "\\.\" and "\\?\" lead to devices, not to a server.
  const size_t serverEnd = path.find(L'\\', start);
  const std::wstring server = path.substr(start, serverEnd - start);
  if (serverEnd == std::wstring::npos || server.empty() || server == L"." || server == L"?") return {0, false};
  const size_t shareEnd = path.find(L'\\', serverEnd + 1);
  if (shareEnd == std::wstring::npos || shareEnd == serverEnd + 1) return {0, false};
  return {shareEnd + 1, true};
}

// The path in one form for comparing: "\\?\" before it, no separator after it.
std::wstring Comparable(const std::wstring& path) {
  std::wstring comparable = ExtendedLengthPath(path);
  while (!comparable.empty() && comparable.back() == L'\\') comparable.pop_back();
  return comparable;
}

std::wstring LastName(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

// Whether `ancestor` is `descendant` or a folder above it, with or without "\\?\" and
// trailing separators, as Windows compares names.
bool IsAtOrAbove(const std::wstring& ancestor, const std::wstring& descendant) {
  const std::wstring above = Comparable(ancestor);
  const std::wstring below = Comparable(descendant);
  const size_t length = above.size();
  return below.size() >= length && (below.size() == length || below[length] == L'\\') &&
         IsSameText(below.c_str(), length, above.c_str(), length);
}

}  // namespace

size_t RootLength(const std::wstring& path) { return RootOf(path).length; }

bool IsBelowRoot(const std::wstring& path) {
  const size_t rootLength = RootLength(path);
  // Plain paths also take "/" for a separator; no canonical path has one.
  if (rootLength == 0 || rootLength == path.size() || path.find(L'/') != std::wstring::npos) return false;
  for (size_t start = rootLength, end = 0; start <= path.size(); start = end + 1) {
    end = std::min(path.find(L'\\', start), path.size());
    if (!IsOneName(std::wstring_view(path).substr(start, end - start))) return false;
  }
  return true;
}

bool IsOneName(std::wstring_view name) {
  return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\:") == std::wstring_view::npos;
}

std::wstring ExtendedLengthPath(const std::wstring& path) {
  if (StartsWith(path, kExtendedPrefix, kExtendedLength)) return path;
  if (StartsWith(path, L"\\\\", 2)) return kExtendedUncPrefix + path.substr(2);
  return kExtendedPrefix + path;
}

std::wstring FolderAbove(const std::wstring& path) {
  if (!IsBelowRoot(path)) return L"";
  const size_t rootLength = RootLength(path);
  return path.substr(0, std::max(path.find_last_of(L'\\'), rootLength));
}

bool MayWalkLinkTarget(const std::wstring& link, const std::wstring& linkFolder, const std::wstring& target) {
  const std::wstring targetName = LastName(target);
  const std::wstring linkName = LastName(link);
  return IsBelowRoot(target) && !RootOf(target).isShare && RootLength(linkFolder) != 0 &&
         IsSameText(targetName.c_str(), targetName.size(), linkName.c_str(), linkName.size()) &&
         !IsAtOrAbove(target, linkFolder);
}
