// RemoveFolderTree on real folders and links, all inside scratch folders under the
// user's temp folder: random trees of everything a program folder can hold, and the cases
// a generator cannot state. The random trees are reproducible: ORVANTO_TREE_SEED sets the
// first tree's seed (tree i uses seed + i), ORVANTO_TREE_COUNT how many trees to try; a
// failure names the seed that replays it alone.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "entry_deletion.h"
#include "entry_handles.h"
#include "program_folder.h"
#include "scoped_handles.h"
#include "test_support.h"

namespace {

// Each test in a fresh folder under the temp folder, removed afterwards with all in it.
class RemoveFolderTreeTest : public testing::Test {
 protected:
  void SetUp() override {
    static unsigned made = 0;  // process ids are soon reused under Wine, hence the clock
    wchar_t temp[MAX_PATH + 1];
    scratch.assign(temp, GetTempPathW(MAX_PATH + 1, temp));
    scratch += L"orvanto-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) +
               L"-" + std::to_wstring(++made);
    ASSERT_TRUE(MakeFolder(scratch));
  }
  void TearDown() override { RemoveTestTree(scratch); }

  std::wstring scratch;
};

// Names a plain Win32 path cannot reach (device names, also with an extension, and names
// ending in a dot or a space), foreign and dotted ones; the number in them keeps them
// unique, as Windows compares names.
const std::vector<std::pair<std::wstring, std::wstring>> kNameShapes = {
    {L"nul.", L""},    {L"CON.", L".txt"},  {L"Com1.", L".log"}, {L"prn.", L".tar.gz"},
    {L"trail", L"."},  {L"space", L" "},    {L"data", L". "},    {L"server ", L".v2.old"},
    {L".hidden", L""}, {L"straße ", L".é"}, {L"Жук ", L".文件"}, {L"😀", L".txt"}};

// A random tree at `root`: files and folders (read-only, hidden and system ones among
// them; Wine ignores the read-only bit of a folder, which Windows will not remove until it
// is cleared), long names (up to the 255 characters a name may have), and links to folders
// in `outside`, read-only like what they point at, the first to an empty one, which only a
// deletion through a link's target could remove. Entries the file system refuses (Linux's
// 255-byte names under Wine) are left out. Returns the links it made.
std::vector<std::wstring> MakeTree(std::mt19937& random, const std::wstring& root, const std::wstring& outside) {
  auto number = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
  std::vector<std::wstring> folders = {L""};
  std::vector<std::wstring> links;
  auto newEntry = [&] {
    const auto& [prefix, suffix] = kNameShapes[number(0, static_cast<int>(kNameShapes.size()) - 1)];
    const std::wstring unique = std::to_wstring(folders.size() * 1000 + number(0, 999));
    std::wstring name = number(0, 3) == 0 ? std::wstring(number(64, 240), L'a') + unique : prefix + unique + suffix;
    return Join(folders[number(0, static_cast<int>(folders.size()) - 1)], name);
  };
  auto add = [&](const std::wstring& entry, bool isFolder, DWORD attributes) {
    const std::wstring path = Join(root, entry);
    const bool made = isFolder ? MakeFolder(path) && SetFileAttributesW(ExtendedLengthPath(path).c_str(), attributes)
                               : MakeFile(path, std::string(number(0, 2047), 'd'), attributes);
    if (made && isFolder) folders.push_back(entry);
  };
  MakeFolder(root);
  for (int count = number(0, 300); count > 0; --count) {
    add(newEntry(), number(0, 9) < 3,
        (number(0, 4) == 0 ? FILE_ATTRIBUTE_READONLY : 0) | (number(0, 6) == 0 ? FILE_ATTRIBUTE_HIDDEN : 0) |
            (number(0, 9) == 0 ? FILE_ATTRIBUTE_SYSTEM : 0) | FILE_ATTRIBUTE_NORMAL);
  }
  for (int link = number(0, 2); link > 0; --link) {
    const std::wstring target = Join(outside, L"target " + std::to_wstring(link));
    const std::wstring entry = newEntry();
    if (!MakeFolder(target) ||
        (link > 1 && (!Lay(target, {L"inner\\keep.txt"}) ||
                      !MakeFile(Join(target, L"read only.txt"), "x", FILE_ATTRIBUTE_READONLY))) ||
        !MakeFolderLink(Join(root, entry), target) || !MakeReadOnly(target) ||
        !(RunningOnWine() || MakeReadOnly(Join(root, entry)))) {
      break;
    }
    links.push_back(entry);
  }
  return links;
}

unsigned long FromEnvironment(const char* name, unsigned long fallback) {
  return std::getenv(name) != nullptr ? std::strtoul(std::getenv(name), nullptr, 10) : fallback;
}

// Removes the tree and says what went wrong, if anything. Under Wine links stay, with the
// folders above them (docs/testing.md, "Windows and Wine"), and all else must go; on
// Windows, everything.
std::wstring RemoveAndCheck(const std::wstring& root, const std::vector<std::wstring>& links,
                            const std::wstring& outside) {
  const std::vector<std::wstring> outsideBefore = ListTree(outside);
  if (!RemoveFolderTree(root)) return L"returned false for a folder that exists";
  if (ListTree(outside) != outsideBefore) return L"something a link points at changed";
  for (const std::wstring& entry : ListTree(root)) {
    const std::wstring left = entry.substr(0, entry.find(L" ["));
    if (!RunningOnWine() || std::none_of(links.begin(), links.end(), [&](const std::wstring& link) {
          return link == left || link.rfind(left + L'\\', 0) == 0;
        })) {
      return L"left behind: " + left;
    }
  }
  return Exists(root) && (!RunningOnWine() || links.empty()) ? L"left behind: the folder itself" : L"";
}

// A folder's handle left open would keep the folder, which goes only once its last handle
// is closed, and with it the folders above: the trees hold thousands of folders.
TEST_F(RemoveFolderTreeTest, RemovesRandomTreesWhollyAndNothingTheirLinksPointAtClosingEveryFolder) {
  const unsigned long firstSeed = FromEnvironment("ORVANTO_TREE_SEED", 20261207);
  const unsigned long count = FromEnvironment("ORVANTO_TREE_COUNT", 150);
  size_t links = 0;
  for (unsigned long seed = firstSeed; seed < firstSeed + count; ++seed) {
    // Fresh paths for each tree: under Wine, a Unix command of the last one may still run.
    const std::wstring tree = scratch + L"\\" + std::to_wstring(seed);
    std::mt19937 random(static_cast<unsigned>(seed));
    ASSERT_TRUE(MakeFolder(tree) && MakeFolder(tree + L"\\outside"));
    const std::vector<std::wstring> treeLinks = MakeTree(random, tree + L"\\OrvantoServer", tree + L"\\outside");
    links += treeLinks.size();
    ASSERT_EQ(RemoveAndCheck(tree + L"\\OrvantoServer", treeLinks, tree + L"\\outside"), L"")
        << "replay with ORVANTO_TREE_SEED=" << seed << " ORVANTO_TREE_COUNT=1";
    RemoveTestTree(tree);
  }
  EXPECT_TRUE(count < 10 || links > 0) << "no link could be made";
  std::printf("%lu trees from seed %lu, %zu links among them\n", count, firstSeed, links);
}

// Anything but a folder below a root is refused before anything is touched; the path
// rules' tables hold the cases. Under Wine a "\\?\unix\" path reaches this scratch folder,
// and names no drive: a walk that did not ask the rules first would empty it.
TEST_F(RemoveFolderTreeTest, RefusesAnythingButAFolderBelowARootBeforeTouchingIt) {
  ASSERT_TRUE(Lay(scratch, {L"keep\\a.txt"}));
  const std::vector<std::wstring> before = ListTree(scratch);
  std::wstring throughUnix = L"\\\\?\\unix" + UnixPath(scratch + L"\\keep");
  std::replace(throughUnix.begin(), throughUnix.end(), L'/', L'\\');
  for (const std::wstring& path : {throughUnix, scratch + L"\\missing", scratch + L"\\keep\\a.txt"}) {
    EXPECT_FALSE(RemoveFolderTree(path)) << testing::PrintToString(path);
  }
  EXPECT_EQ(ListTree(scratch), before);
}

// A program folder moved to another place, with a link left where it was, is walked only
// to a folder of its own name that is not above the link (the path rules' tables hold
// every other case): any other link is not walked, nothing is touched, and the folder
// counts as not found. The moved folder is removed where it is, and the link last: while
// a file of it is in use, that file and its folders stay, and so does the link, so that
// the program folder is still found; once the file is closed, a second run finishes the
// job. A link whose target is gone, its folder there, is removed and counts as found (Wine
// does not show such a link at all). Under Wine links stay.
TEST_F(RemoveFolderTreeTest, WalksALinkedProgramFolderOnlyWhereItWasMovedToAndTheLinkLast) {
  const std::wstring programs = scratch + L"\\OrvantoServer\\Program Files";
  const std::wstring link = programs + L"\\OrvantoServer";
  const std::wstring moved = scratch + L"\\Moved\\OrvantoServer";
  ASSERT_TRUE(Lay(scratch, {L"OrvantoServer\\Program Files\\Other Program\\keep.txt", L"Moved\\other\\keep.txt",
                            L"Moved\\OrvantoServer.txt"}));
  const std::vector<std::wstring> withoutProgram = ListTree(scratch);
  std::vector<std::wstring> notToWalk = {scratch + L"\\OrvantoServer", programs + L"\\Other Program"};
  // A link to itself tells nothing (Windows fails to open it with ERROR_CANT_RESOLVE_FILENAME),
  // nor one whose target's folder is missing (ERROR_PATH_NOT_FOUND, as for a drive that is
  // not there), and one to a share leads where other machines may run the program from.
  // Wine makes none of them: it does not see a Unix link that loops or leads nowhere, and
  // has no shares.
  if (!RunningOnWine()) {
    ASSERT_TRUE(Lay(scratch, {L"share\\OrvantoServer\\keep.txt"}));
    notToWalk.insert(notToWalk.end(), {link, scratch + L"\\Gone\\OrvantoServer",
                                       L"\\\\localhost\\" + scratch.substr(0, 1) + L"$" + scratch.substr(2) +
                                           L"\\share\\OrvantoServer"});
  }
  for (const std::wstring& target : notToWalk) {
    const bool made = MakeFolderLink(link, target);
    if (!made && GetLastError() == ERROR_PRIVILEGE_NOT_HELD) {
      std::printf("skipped: this account may not make the symbolic link to %ls\n", target.c_str());
      continue;
    }
    ASSERT_TRUE(made) << testing::PrintToString(target);
    const std::vector<std::wstring> before = ListTree(scratch);
    EXPECT_FALSE(RemoveFolderTree(link)) << testing::PrintToString(target);
    EXPECT_EQ(ListTree(scratch), before);
    RemoveTestTree(link);
  }
  RemoveTestTree(scratch + L"\\share");
  if (!RunningOnWine()) {
    ASSERT_TRUE(MakeFolderLink(link, moved));
    EXPECT_TRUE(RemoveFolderTree(link) && !Exists(link));
  }

  // Behind a folder link, and on Windows behind a file symbolic link too, which stands for
  // the folder all the same while anything of it stays.
  for (const bool isFileLink : {false, true}) {
    ASSERT_TRUE(Lay(scratch, {L"Moved\\OrvantoServer\\bin\\server.exe"}) &&
                MakeFile(moved + L"\\licence.key", "key", FILE_ATTRIBUTE_READONLY));
    // Wine makes none (docs/testing.md); Windows only with Developer Mode or the privilege.
    if (isFileLink && (RunningOnWine() || !MakeSymbolicLink(link, ExtendedLengthPath(moved), 0))) {
      return (void)std::printf("skipped: no file symbolic link here (error %lu)\n", GetLastError());
    }
    ASSERT_TRUE(isFileLink || (MakeFolderLink(link, moved) && MakeReadOnly(link)));
    ASSERT_EQ(ListTree(scratch).size(), withoutProgram.size() + 5);  // the link, the folder and three below it
    {
      const UniqueFileHandle inUse = Hold(moved + L"\\bin\\server.exe", GENERIC_READ, 0);
      ASSERT_TRUE(inUse && RemoveFolderTree(link));
      EXPECT_TRUE(Exists(moved + L"\\bin\\server.exe") && !Exists(moved + L"\\licence.key"));
      EXPECT_TRUE(RunningOnWine() || IsFolderStillThere(link))
          << "the link went, or reads as gone, while its target stayed";
    }
    EXPECT_TRUE(RemoveFolderTree(link));
    // Under Wine the Unix link stays, pointing nowhere, which Wine no longer shows.
    EXPECT_EQ(ListTree(scratch), withoutProgram);
  }
}

// The walk holds its folders shared with no one who would rename or delete them, since a
// handle follows its folder wherever it goes. A folder another program holds without
// sharing deletion (one that lists or watches it) is still emptied, though it stays, and a
// program folder so held still counts as found.
TEST_F(RemoveFolderTreeTest, HoldsItsFoldersAgainstRenamingAndEmptiesFoldersOthersHold) {
  const std::wstring root = scratch + L"\\OrvantoServer";
  ASSERT_TRUE(Lay(scratch, {L"OrvantoServer\\a.txt", L"OrvantoServer\\sub\\b.txt"}));
  // Opened as the walk opens every folder, by path or below another (one ladder), and held
  // to the end of the statement: meanwhile no one may rename it.
  EXPECT_TRUE(OpenAt(ExtendedLengthPath(root), false, OpenFor::kWalking).handle &&
              !MoveFileW(ExtendedLengthPath(root).c_str(), ExtendedLengthPath(scratch + L"\\x").c_str()));
  const UniqueFileHandle heldRoot = Hold(root, FILE_LIST_DIRECTORY);
  const UniqueFileHandle heldSub = Hold(root + L"\\sub", FILE_LIST_DIRECTORY);
  EXPECT_TRUE(RemoveFolderTree(root));
  EXPECT_EQ(ListTree(root), std::vector<std::wstring>{L"sub [16] 0"});
}

// Where the one step that ignores the read-only bit is refused (Windows 10 1607 to 1803,
// Windows Server 2016), the POSIX deletion still takes a read-only file that a scanner holds
// open sharing deletion out of its folder as the deleting handle closes, so the folder can
// go; the old mark would leave it there until the scanner let go.
TEST_F(RemoveFolderTreeTest, APosixDeletionTakesAHeldReadOnlyFileOutOfItsFolder) {
  const std::wstring file = scratch + L"\\held.txt";
  ASSERT_TRUE(MakeFile(file, "x", FILE_ATTRIBUTE_READONLY));
  const UniqueFileHandle scanner = Hold(file, GENERIC_READ, 0, kShareAll);
  DeletionMode mode{DeletionRung::kPosix};
  DeleteThrough(Hold(file, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0).get(), mode);
  if (mode.first == DeletionRung::kMarked) GTEST_SKIP() << "the file system refuses POSIX deletion (docs/testing.md)";
  EXPECT_FALSE(Exists(file)) << "the name stayed while the scanner held the file";
}

}  // namespace
