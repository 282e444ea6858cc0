#include "tree_generator.h"

#include <algorithm>
#include <cwctype>

namespace {

constexpr wchar_t kLongPathPrefix[] = L"\\\\?\\";

// Windows turns these into devices whatever their extension, and drops trailing dots and
// spaces from names: a generated name must be none of these to mean one file.
bool IsUsableName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L".." || name.back() == L'.' || name.back() == L' ') return false;
  std::wstring base = name.substr(0, name.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  std::transform(base.begin(), base.end(), base.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
  for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
    if (base == device) return false;
  }
  return !(base.size() == 4 && (base.rfind(L"COM", 0) == 0 || base.rfind(L"LPT", 0) == 0) && std::iswdigit(base[3]));
}

std::wstring RandomPiece(std::mt19937& random, const std::vector<std::wstring>& pieces) {
  return pieces[std::uniform_int_distribution<size_t>(0, pieces.size() - 1)(random)];
}

std::wstring RandomName(std::mt19937& random) {
  static const std::vector<std::wstring> words = {L"server", L"data", L"Config", L"log", L"bin", L"cache", L"x", L"7"};
  static const std::vector<std::wstring> foreign = {L"é", L"Ünï", L"straße", L"Жук", L"文件", L"データ", L"ǅ", L"😀", L"ø"};
  static const std::vector<std::wstring> extensions = {L".txt", L".dll", L".tar.gz", L".log.1", L".db", L""};
  std::wstring name;
  switch (std::uniform_int_distribution<int>(0, 6)(random)) {
    case 0: name = RandomPiece(random, words) + RandomPiece(random, extensions); break;
    case 1: name = RandomPiece(random, words) + L" " + RandomPiece(random, words) + L" copy" + RandomPiece(random, extensions); break;
    case 2: name = RandomPiece(random, words) + L".v2.backup.old" + RandomPiece(random, extensions); break;
    case 3: name = L"README" + RandomPiece(random, words); break;
    case 4: name = L"." + RandomPiece(random, words) + RandomPiece(random, extensions); break;
    case 5: name = RandomPiece(random, foreign) + L" " + RandomPiece(random, foreign) + RandomPiece(random, extensions); break;
    default: {
      // Long ASCII names, up to the 255 characters a name may have.
      const int length = std::uniform_int_distribution<int>(64, 255)(random);
      static const wchar_t alphabet[] = L"abcdefghijklmnopqrstuvwxyz0123456789 ._-ABCXYZ";
      for (int i = 0; i < length; ++i) {
        name += alphabet[std::uniform_int_distribution<size_t>(0, std::size(alphabet) - 2)(random)];
      }
    }
  }
  name += std::to_wstring(std::uniform_int_distribution<int>(0, 999)(random));
  if (name.size() > 255) name.resize(255);
  return name;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// A fresh name for an entry of folder `parent`, unique there as Windows compares names.
std::wstring UniqueChildName(std::mt19937& random, const std::vector<GeneratedEntry>& entries,
                             const std::wstring& parent) {
  for (;;) {
    const std::wstring name = RandomName(random);
    if (!IsUsableName(name)) continue;
    const std::wstring path = parent.empty() ? name : parent + L"\\" + name;
    const bool taken = std::any_of(entries.begin(), entries.end(),
                                   [&](const GeneratedEntry& entry) { return SameName(entry.relativePath, path); });
    if (!taken) return path;
  }
}

DWORD RandomFileAttributes(std::mt19937& random) {
  DWORD attributes = 0;
  if (std::bernoulli_distribution(0.2)(random)) attributes |= FILE_ATTRIBUTE_READONLY;
  if (std::bernoulli_distribution(0.15)(random)) attributes |= FILE_ATTRIBUTE_HIDDEN;
  if (std::bernoulli_distribution(0.1)(random)) attributes |= FILE_ATTRIBUTE_SYSTEM;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

}  // namespace

GeneratedTree GenerateTree(std::mt19937& random, const std::wstring& root, const std::wstring& scratch,
                           const TreeShape& shape) {
  GeneratedTree tree;
  tree.root = kLongPathPrefix + root;
  MakeFolder(tree.root);
  std::vector<std::wstring> folders = {L""};
  auto pickFolder = [&] { return folders[std::uniform_int_distribution<size_t>(0, folders.size() - 1)(random)]; };

  const int count = std::uniform_int_distribution<int>(0, shape.maxEntries)(random);
  for (int i = 0; i < count; ++i) {
    GeneratedEntry entry;
    entry.relativePath = UniqueChildName(random, tree.entries, pickFolder());
    entry.isFolder = std::bernoulli_distribution(0.3)(random);
    const std::wstring path = tree.root + L"\\" + entry.relativePath;
    const bool made = entry.isFolder ? MakeFolder(path)
                                     : MakeFile(path, std::string(std::uniform_int_distribution<int>(0, 2048)(random), 'd'),
                                                RandomFileAttributes(random));
    if (!made) continue;
    if (entry.isFolder) folders.push_back(entry.relativePath);
    tree.entries.push_back(entry);
  }

  if (std::bernoulli_distribution(shape.chainShare)(random)) {
    // Deeper than MAX_PATH, whatever the root's own length.
    std::wstring parent = pickFolder();
    for (int depth = 0; depth < 30; ++depth) {
      const std::wstring name = L"chain" + std::to_wstring(depth) + L"-segment";
      GeneratedEntry segment{parent.empty() ? name : parent + L"\\" + name, true};
      if (!MakeFolder(tree.root + L"\\" + segment.relativePath)) break;
      tree.entries.push_back(segment);
      parent = segment.relativePath;
    }
    GeneratedEntry leaf{parent + L"\\deepest file.txt"};
    if (MakeFile(tree.root + L"\\" + leaf.relativePath, "deep", FILE_ATTRIBUTE_READONLY)) tree.entries.push_back(leaf);
  }

  const int links = std::uniform_int_distribution<int>(0, shape.maxLinks)(random);
  for (int i = 0; i < links; ++i) {
    GeneratedEntry entry;
    entry.relativePath = UniqueChildName(random, tree.entries, pickFolder());
    entry.isFolder = entry.isLink = true;
    FolderLink link;
    std::string why;
    if (!MakeFolderLink(tree.root + L"\\" + entry.relativePath, scratch, link, why)) break;
    const unsigned seed = static_cast<unsigned>(random());
    tree.sentinelBytes += FillSentinel(link.targetPath, seed);
    tree.links.push_back(link);
    tree.sentinelSeeds.push_back(seed);
    tree.entries.push_back(entry);
  }

  if (std::bernoulli_distribution(shape.heldTreeShare)(random)) {
    std::vector<std::wstring> held;
    for (GeneratedEntry& entry : tree.entries) {
      if (!entry.isFolder && held.size() < 2 && std::bernoulli_distribution(0.1)(random)) {
        entry.isHeld = true;
        held.push_back(tree.root + L"\\" + entry.relativePath);
      }
    }
    if (!held.empty()) tree.heldFiles = std::make_unique<HeldFiles>(held);
  }
  return tree;
}
