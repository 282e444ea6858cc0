// RemoveFolderTree on real folders: random trees of everything a program folder can hold,
// and the few cases a generator cannot state. The random trees are reproducible:
// ORVANTO_TREE_SEED sets the first tree's seed (tree i uses seed + i), ORVANTO_TREE_COUNT
// how many trees to try; a failure names the seed that replays it alone.
#include "folder_tree.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "resource_watch.h"
#include "test_support.h"

namespace {

template <typename T>
const T& Pick(std::mt19937& random, const std::vector<T>& items) {
  return items[std::uniform_int_distribution<size_t>(0, items.size() - 1)(random)];
}

bool Chance(std::mt19937& random, double share) { return std::bernoulli_distribution(share)(random); }

std::wstring RandomName(std::mt19937& random) {
  // Names a plain Win32 path cannot reach: device names, trailing dots and spaces.
  static const std::vector<std::wstring> unreachable = {L"nul",        L"CON",    L"aux.txt", L"Com1",   L"lpt9.log",
                                                        L"PRN.tar.gz", L"conin$", L"trail.",  L"space ", L"data. "};
  static const std::vector<std::wstring> words = {L"server", L"Config", L"log", L"bin", L"x", L".hidden", L"7"};
  static const std::vector<std::wstring> foreign = {L"é", L"Ünï", L"straße", L"Жук", L"文件", L"データ", L"😀"};
  static const std::vector<std::wstring> extensions = {L".txt", L".dll", L".tar.gz", L".log.1", L""};
  std::wstring name;
  switch (std::uniform_int_distribution<int>(0, 5)(random)) {
    case 0: return Pick(random, unreachable);
    case 1: name = Pick(random, words) + Pick(random, extensions); break;
    case 2: name = Pick(random, words) + L" " + Pick(random, words) + L".v2.old" + Pick(random, extensions); break;
    case 3: name = Pick(random, foreign) + L" " + Pick(random, foreign) + Pick(random, extensions); break;
    default:  // long names, up to the 255 characters a name may have
      name.assign(std::uniform_int_distribution<size_t>(64, 250)(random), L'a');
      for (wchar_t& c : name) c = L"abcxyz0189 ._-ABC"[std::uniform_int_distribution<int>(0, 16)(random)];
  }
  return name + std::to_wstring(std::uniform_int_distribution<int>(0, 999)(random));
}

struct Entry {
  std::wstring path;  // relative to the tree's root
  bool isFolder = false;
  bool isLink = false;
};

struct Tree {
  std::wstring root;
  std::vector<Entry> entries;
};

// A fresh name for an entry of `parent`, unique there as Windows compares names.
std::wstring ChildOf(std::mt19937& random, const Tree& tree, const std::wstring& parent) {
  for (;;) {
    std::wstring path = parent.empty() ? L"" : parent + L"\\";
    path += RandomName(random);
    const bool taken = std::any_of(tree.entries.begin(), tree.entries.end(), [&](const Entry& entry) {
      return CompareStringOrdinal(entry.path.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL;
    });
    if (!taken) return path;
  }
}

// Files and folders, read-only, hidden and system ones among them. Read-only folders too:
// Windows will not remove one until the bit is cleared (Wine ignores the bit on folders).
void AddEntries(std::mt19937& random, Tree& tree, std::vector<std::wstring>& folders) {
  auto attributes = [&] {
    return (Chance(random, 0.2) ? FILE_ATTRIBUTE_READONLY : 0) | (Chance(random, 0.15) ? FILE_ATTRIBUTE_HIDDEN : 0) |
           (Chance(random, 0.1) ? FILE_ATTRIBUTE_SYSTEM : 0) | FILE_ATTRIBUTE_NORMAL;
  };
  for (int count = std::uniform_int_distribution<int>(0, 300)(random); count > 0; --count) {
    const Entry entry{ChildOf(random, tree, Pick(random, folders)), Chance(random, 0.3)};
    const std::wstring path = tree.root + L"\\" + entry.path;
    const bool made = entry.isFolder ? MakeFolder(path) && SetFileAttributesW(Extended(path).c_str(), attributes())
                                     : MakeFile(path, std::string(random() % 2048, 'd'), attributes());
    if (made && entry.isFolder) folders.push_back(entry.path);
    if (made) tree.entries.push_back(entry);
  }
}

// A chain more than 400 characters deeper than the root: past MAX_PATH on any machine.
void AddChain(std::wstring parent, Tree& tree) {
  for (int depth = 0; depth < 26; ++depth) {
    const Entry segment{(parent.empty() ? L"" : parent + L"\\") + L"chain segment " + std::to_wstring(depth), true};
    if (!MakeFolder(tree.root + L"\\" + segment.path)) return;
    tree.entries.push_back(segment);
    parent = segment.path;
  }
  const Entry leaf{parent + L"\\deepest file.txt"};
  if (MakeFile(tree.root + L"\\" + leaf.path, "deep", FILE_ATTRIBUTE_READONLY)) tree.entries.push_back(leaf);
}

// A link to a new folder in `outside`, with a read-only file among what it holds.
bool AddLink(const std::wstring& path, Tree& tree, const std::wstring& outside) {
  static unsigned made = 0;
  const std::wstring target = outside + L"\\target " + std::to_wstring(++made);
  if (!MakeFolder(target) || !MakeFolder(target + L"\\inner") || !MakeFile(target + L"\\inner\\keep.txt", "keep") ||
      !MakeFile(target + L"\\read only.txt", "keep", FILE_ATTRIBUTE_READONLY) ||
      !MakeFolderLink(tree.root + L"\\" + path, target).empty()) {
    return false;
  }
  tree.entries.push_back({path, true, true});
  return true;
}

// A random tree at `root`, with link targets in `outside`. Entries the file system refuses
// (Linux's 255-byte name limit under Wine, say) are left out.
Tree MakeTree(std::mt19937& random, const std::wstring& root, const std::wstring& outside) {
  Tree tree{root, {}};
  MakeFolder(root);
  std::vector<std::wstring> folders = {L""};
  AddEntries(random, tree, folders);
  if (Chance(random, 0.25)) AddChain(Pick(random, folders), tree);
  for (int links = std::uniform_int_distribution<int>(0, 2)(random); links > 0; --links) {
    if (!AddLink(ChildOf(random, tree, Pick(random, folders)), tree, outside)) break;
  }
  return tree;
}

// Removes the tree and says what went wrong, if anything.
std::wstring RemoveAndCheck(const Tree& tree, const std::wstring& outside) {
  const std::vector<std::wstring> outsideBefore = ListTree(outside, true);
  if (!RemoveFolderTree(tree.root)) return L"returned false for a folder that exists\n";

  std::wstring problems;
  if (ListTree(outside, true) != outsideBefore) problems += L"something a link points at changed\n";
  // Under Wine, links stay, with the folders above them: its RemoveDirectoryW acts on a
  // Unix link's target, which is not empty. Windows removes a junction itself.
  std::set<std::wstring> mayStay;
  for (const Entry& entry : tree.entries) {
    for (std::wstring path = entry.path; entry.isLink && RunningOnWine(); path.resize(path.find_last_of(L'\\'))) {
      mayStay.insert(path);
      if (path.find(L'\\') == std::wstring::npos) break;
    }
  }
  for (const std::wstring& entry : Exists(tree.root) ? ListTree(tree.root) : std::vector<std::wstring>{}) {
    if (!mayStay.count(entry)) problems += L"left behind: " + entry + L"\n";
  }
  if (Exists(tree.root) && mayStay.empty()) problems += L"the folder itself was left behind\n";
  return problems;
}

TEST(RemoveFolderTree, RemovesRandomTreesWhollyAndNothingTheirLinksPointAt) {
  const unsigned long firstSeed = EnvironmentNumber("ORVANTO_TREE_SEED", 20261207);
  const unsigned long count = EnvironmentNumber("ORVANTO_TREE_COUNT", 150);
  ScratchFolder scratch;
  size_t entries = 0;
  size_t deepest = 0;
  for (unsigned long seed = firstSeed; seed < firstSeed + count; ++seed) {
    std::mt19937 random(static_cast<unsigned>(seed));
    const std::wstring outside = scratch.path + L"\\outside";
    MakeFolder(outside);
    const Tree tree = MakeTree(random, scratch.path + L"\\OrvantoServer", outside);
    entries += tree.entries.size();
    for (const Entry& entry : tree.entries) deepest = std::max(deepest, tree.root.size() + 1 + entry.path.size());
    ASSERT_EQ(RemoveAndCheck(tree, outside), L"")
        << "replay with ORVANTO_TREE_SEED=" << seed << " ORVANTO_TREE_COUNT=1";
    RemoveScratchTree(tree.root);
    RemoveScratchTree(outside);
  }
  std::printf("%lu trees from seed %lu: %zu entries, deepest path %zu characters\n", count, firstSeed, entries,
              deepest);
}

// 40 levels, 50 empty folders beside each: 2,041 listings.
bool MakeDeepTree(const std::wstring& root) {
  std::wstring level = root;
  bool made = MakeFolder(root);
  for (int depth = 0; depth < 40 && made; ++depth) {
    for (int side = 0; side < 50; ++side) made = made && MakeFolder(level + L"\\side " + std::to_wstring(side));
    made = made && MakeFolder(level += L"\\level");
  }
  return made;
}

double WorkingSetMegabytes() {
  PROCESS_MEMORY_COUNTERS counters = {};
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return static_cast<double>(counters.WorkingSetSize) / 1048576;
}

TEST(RemoveFolderTree, ClosesEveryListingOfADeepTree) {
  ScratchFolder scratch;
  const std::wstring root = scratch.path + L"\\OrvantoServer";
  ASSERT_TRUE(MakeDeepTree(root));
  std::vector<ULONG_PTR> handleTable;
  const long handles = CountOwnHandles(handleTable);
  const double megabytes = WorkingSetMegabytes();

  EXPECT_TRUE(RemoveFolderTree(root));

  EXPECT_FALSE(Exists(root));
  // On Windows a listing left open is a handle. Wine closes a listing's handle as soon as
  // it has read the whole folder; what stays of the listing is 8 KB of its memory.
  EXPECT_EQ(CountOwnHandles(handleTable), handles);
  EXPECT_LT(WorkingSetMegabytes() - megabytes, 4.0) << "MB more in use";
}

TEST(RemoveFolderTree, RefusesAnythingButAFolderBelowARoot) {
  ScratchFolder scratch;
  // The current folder and the drive's root that a faulty guard would reach are a scratch
  // folder's, never this machine's.
  ScratchDrive drive(scratch.path);
  if (drive.root.empty()) GTEST_SKIP() << drive.why;
  ASSERT_TRUE(MakeFolder(scratch.path + L"\\keep") && MakeFile(scratch.path + L"\\keep\\a.txt", "a"));
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(drive.root.c_str()));
  const std::wstring letter = drive.root.substr(0, 2);
  const std::vector<std::wstring> paths = {L"",
                                           L"keep",
                                           L".",
                                           L"\\",
                                           L"\\keep",
                                           drive.root,
                                           letter,
                                           letter + L"keep",
                                           Extended(drive.root),
                                           scratch.path + L"\\missing",
                                           scratch.path + L"\\keep\\a.txt"};
  for (const std::wstring& path : paths) {
    EXPECT_FALSE(RemoveFolderTree(path)) << testing::PrintToString(path);
  }
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(ListTree(scratch.path), (std::vector<std::wstring>{L"keep", L"keep\\a.txt"}));
}

TEST(RemoveFolderTree, AFolderThatIsItselfALinkLosesOnlyTheLink) {
  ScratchFolder scratch;
  const std::wstring target = scratch.path + L"\\target";
  const std::wstring link = scratch.path + L"\\OrvantoServer";
  ASSERT_TRUE(MakeFolder(target) && MakeFile(target + L"\\keep.txt", "keep", FILE_ATTRIBUTE_READONLY));
  const std::string why = MakeFolderLink(link, target);
  if (!why.empty()) GTEST_SKIP() << why;
  const std::vector<std::wstring> before = ListTree(target, true);

  EXPECT_TRUE(RemoveFolderTree(link));

  EXPECT_EQ(ListTree(target, true), before);
  // Wine's RemoveDirectoryW acts on a Unix link's target, which is not empty: the link
  // stays there. Windows removes the junction itself.
  if (!RunningOnWine()) {
    EXPECT_FALSE(Exists(link));
  }
}

}  // namespace
