// RemoveFolderTree on real folders and links, all inside scratch folders under the
// user's temp folder: random trees of everything a program folder can hold, and the cases
// a generator cannot state. The random trees are reproducible: ORVANTO_TREE_SEED sets the
// first tree's seed (tree i uses seed + i), ORVANTO_TREE_COUNT how many trees to try; a
// failure names the seed that replays it alone.
#include "folder_tree.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scoped_handles.h"

namespace {

// The helpers reach every name through "\\?\", so that they make and see what plain paths
// cannot.
std::wstring Extended(const std::wstring& path) { return path.rfind(L"\\\\?\\", 0) == 0 ? path : L"\\\\?\\" + path; }
bool Exists(const std::wstring& path) { return GetFileAttributesW(Extended(path).c_str()) != INVALID_FILE_ATTRIBUTES; }
bool MakeFolder(const std::wstring& path) { return CreateDirectoryW(Extended(path).c_str(), nullptr) != FALSE; }

bool MakeFile(const std::wstring& path, const std::string& content, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
  UniqueFileHandle file(
      CreateFileW(Extended(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
}

std::wstring Join(std::wstring folder, const std::wstring& name) {
  if (!folder.empty() && !name.empty()) folder += L'\\';
  folder += name;
  return folder;
}

// Makes each file, holding "x", with the folders above it that are missing.
bool Lay(const std::wstring& root, const std::vector<std::wstring>& files) {
  for (const std::wstring& file : files) {
    for (size_t cut = file.find(L'\\'); cut != std::wstring::npos; cut = file.find(L'\\', cut + 1)) {
      MakeFolder(Join(root, file.substr(0, cut)));
    }
    if (!MakeFile(Join(root, file), "x")) return false;
  }
  return true;
}

bool RunningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// Under Wine, the Unix path of a Windows one, from Wine's own addition to kernel32.
std::wstring UnixPath(const std::wstring& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unixPath = convert != nullptr ? convert(Extended(path).c_str()) : nullptr;
  if (unixPath == nullptr) return L"";
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, unixPath, -1, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, unixPath, -1, wide.data(), static_cast<int>(wide.size()));
  HeapFree(GetProcessHeap(), 0, unixPath);
  wide.pop_back();
  return wide;
}

std::wstring Quoted(const std::wstring& path) { return L" \"" + (RunningOnWine() ? UnixPath(path) : path) + L"\""; }

// Runs a command and waits, up to ten seconds, for `done`: Wine does not follow a Unix
// program to its end. Under Wine the command is a Unix program's, reached through Wine's
// "\\?\unix" namespace (the prefix has no Z: drive); on Windows, cmd's.
template <typename Condition>
bool RunCommand(const std::wstring& command, Condition done) {
  std::wstring line = (RunningOnWine() ? L"\\\\?\\unix\\bin\\" : L"cmd.exe /c ") + command;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    return false;
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  for (int waited = 0; waited < 10000 && !done(); waited += 5) Sleep(5);
  return done();
}

// Removes a tree or a link the tests made, read-only entries included, links as links (rm
// does not follow them, nor does rd /s follow junctions); never anything else. Only what
// is there: a command started for nothing could remove what is made after it.
void RemoveScratch(const std::wstring& path) {
  if (path.find(L"orvanto-test-") == std::wstring::npos || !Exists(path)) return;
  RunCommand(RunningOnWine() ? L"rm -rf --" + Quoted(path)
                             : L"attrib -r /s /d" + Quoted(path + L"\\*") + L" & rd /s /q" + Quoted(path),
             [&] { return !Exists(path); });
}

// Makes `link` a link to the folder `target`: on Windows a junction, or for a share a
// symbolic link (which needs the right to make one); under Wine a Unix symbolic link, as
// Wine makes neither (CreateSymbolicLinkW answers TRUE and does nothing) and shows a Unix
// link to a folder as a directory with the reparse-point bit.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
  const std::wstring command =
      RunningOnWine() ? L"ln -s --" + Quoted(target) + Quoted(link)
                      : (target.rfind(L"\\\\", 0) == 0 ? L"mklink /d" : L"mklink /j") + Quoted(link) + Quoted(target);
  return RunCommand(command, [&] {
    const DWORD attributes = GetFileAttributesW(Extended(link).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  });
}

// Makes a folder or a link read-only. Windows sets a link's own bit; under Wine a Unix link
// shows its target's bit, which only chmod sets.
bool MakeReadOnly(const std::wstring& path) {
  if (!RunningOnWine()) return SetFileAttributesW(Extended(path).c_str(), FILE_ATTRIBUTE_READONLY) != FALSE;
  return RunCommand(L"chmod a-w --" + Quoted(path),
                    [&] { return (GetFileAttributesW(Extended(path).c_str()) & FILE_ATTRIBUTE_READONLY) != 0; });
}

// Every test works in a fresh folder under the temp folder, removed with everything in it
// at the end.
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
  void TearDown() override { RemoveScratch(scratch); }

  std::wstring scratch;
};

// Every file and folder below `root`, relative to it and sorted, with its attributes and a
// file's size; links are listed, not followed.
void ListInto(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& out) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle listing(FindFirstFileW(Extended(Join(root, relative) + L"\\*").c_str(), &entry));
  for (bool more = static_cast<bool>(listing); more; more = FindNextFileW(listing.get(), &entry) != FALSE) {
    const std::wstring name = entry.cFileName;
    const DWORD attributes = entry.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL};
    if (name == L"." || name == L"..") continue;
    out.push_back(Join(relative, name) + L" [" + std::to_wstring(attributes) + L"] " +
                  std::to_wstring(entry.nFileSizeLow));
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == FILE_ATTRIBUTE_DIRECTORY) {
      ListInto(root, Join(relative, name), out);
    }
  }
}

std::vector<std::wstring> ListTree(const std::wstring& root) {
  std::vector<std::wstring> entries;
  ListInto(root, L"", entries);
  std::sort(entries.begin(), entries.end());
  return entries;
}

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
// in `outside`, read-only like what they point at. Entries the file system refuses
// (Linux's 255-byte names under Wine) are left out. Returns how many links it made.
size_t MakeTree(std::mt19937& random, const std::wstring& root, const std::wstring& outside) {
  auto number = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
  std::vector<std::wstring> folders = {L""};
  size_t links = 0;
  auto newEntry = [&] {
    const auto& [prefix, suffix] = kNameShapes[number(0, static_cast<int>(kNameShapes.size()) - 1)];
    const std::wstring unique = std::to_wstring(folders.size() * 1000 + number(0, 999));
    std::wstring name = number(0, 3) == 0 ? std::wstring(number(64, 240), L'a') + unique : prefix + unique + suffix;
    return Join(folders[number(0, static_cast<int>(folders.size()) - 1)], name);
  };
  auto add = [&](const std::wstring& entry, bool isFolder, DWORD attributes) {
    const std::wstring path = Join(root, entry);
    const bool made = isFolder ? MakeFolder(path) && SetFileAttributesW(Extended(path).c_str(), attributes)
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
    if (!MakeFolder(target) || !Lay(target, {L"inner\\keep.txt"}) ||
        !MakeFile(Join(target, L"read only.txt"), "x", FILE_ATTRIBUTE_READONLY) ||
        !MakeFolderLink(Join(root, entry), target) || !MakeReadOnly(target) ||
        !(RunningOnWine() || MakeReadOnly(Join(root, entry)))) {
      break;
    }
    ++links;
  }
  return links;
}

unsigned long FromEnvironment(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::strtoul(text, nullptr, 10) : fallback;
}

// Removes the tree and says what went wrong, if anything.
std::wstring RemoveAndCheck(const std::wstring& root, size_t links, const std::wstring& outside) {
  const std::vector<std::wstring> outsideBefore = ListTree(outside);
  if (!RemoveFolderTree(root)) return L"returned false for a folder that exists";
  if (ListTree(outside) != outsideBefore) return L"something a link points at changed";
  // Under Wine, links stay, with the folders above them: its RemoveDirectoryW acts on a
  // Unix link's target, which is not empty. There only a tree without links must go
  // whole; on Windows, which removes a junction itself, every tree.
  if (!Exists(root) || (RunningOnWine() && links > 0)) return L"";
  const std::vector<std::wstring> left = ListTree(root);
  return L"left behind: " + (left.empty() ? L"the folder itself" : left[0].substr(0, left[0].find(L" [")));
}

size_t WorkingSet() {
  PROCESS_MEMORY_COUNTERS counters = {};
  return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.WorkingSetSize : 0;
}

// A listing not closed keeps its buffer: on Windows with its handle, under Wine (which
// drops the handle once the folder is read out) on its own, 8 KB; the trees hold thousands
// of folders.
TEST_F(RemoveFolderTreeTest, RemovesRandomTreesWhollyAndNothingTheirLinksPointAtClosingEveryListing) {
  const unsigned long firstSeed = FromEnvironment("ORVANTO_TREE_SEED", 20261207);
  const unsigned long count = FromEnvironment("ORVANTO_TREE_COUNT", 150);
  const std::wstring root = scratch + L"\\OrvantoServer";
  const std::wstring outside = scratch + L"\\outside";
  size_t links = 0;
  const size_t workingSet = WorkingSet();
  for (unsigned long seed = firstSeed; seed < firstSeed + count; ++seed) {
    std::mt19937 random(static_cast<unsigned>(seed));
    MakeFolder(outside);
    const size_t treeLinks = MakeTree(random, root, outside);
    links += treeLinks;
    ASSERT_EQ(RemoveAndCheck(root, treeLinks, outside), L"")
        << "replay with ORVANTO_TREE_SEED=" << seed << " ORVANTO_TREE_COUNT=1";
    RemoveScratch(root);
    if (treeLinks > 0) RemoveScratch(outside);
  }
  EXPECT_TRUE(count < 10 || links > 0) << "no link could be made";
  EXPECT_LT(WorkingSet(), workingSet + (size_t{16} << 20)) << "more than 16 MB more in use";
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
// job. (A link whose target is gone is removed and counts as found; Wine does not show
// such a link at all, so that is for a run on Windows to see.)
TEST_F(RemoveFolderTreeTest, WalksALinkedProgramFolderOnlyWhereItWasMovedToAndTheLinkLast) {
  const std::wstring programs = scratch + L"\\OrvantoServer\\Program Files";
  const std::wstring link = programs + L"\\OrvantoServer";
  const std::wstring moved = scratch + L"\\Moved\\OrvantoServer";
  ASSERT_TRUE(Lay(scratch, {L"OrvantoServer\\Program Files\\Other Program\\keep.txt", L"Moved\\other\\keep.txt",
                            L"Moved\\OrvantoServer.txt"}));
  const std::vector<std::wstring> withoutProgram = ListTree(scratch);
  std::vector<std::wstring> notToWalk = {scratch + L"\\OrvantoServer", programs + L"\\Other Program"};
  // A link to itself tells nothing (Windows fails to open it with ERROR_CANT_RESOLVE_FILENAME),
  // and one to a share leads where other machines may run the program from. Wine makes
  // neither: it does not see a Unix link that loops, and has no shares.
  if (!RunningOnWine()) {
    ASSERT_TRUE(Lay(scratch, {L"share\\OrvantoServer\\keep.txt"}));
    notToWalk.insert(notToWalk.end(), {link, L"\\\\localhost\\" + scratch.substr(0, 1) + L"$" + scratch.substr(2) +
                                                 L"\\share\\OrvantoServer"});
  }
  for (const std::wstring& target : notToWalk) {
    ASSERT_TRUE(MakeFolderLink(link, target)) << testing::PrintToString(target);
    const std::vector<std::wstring> before = ListTree(scratch);
    EXPECT_FALSE(RemoveFolderTree(link)) << testing::PrintToString(target);
    EXPECT_EQ(ListTree(scratch), before);
    RemoveScratch(link);
  }
  RemoveScratch(scratch + L"\\share");

  ASSERT_TRUE(Lay(scratch, {L"Moved\\OrvantoServer\\bin\\server.exe"}) &&
              MakeFile(moved + L"\\licence.key", "key", FILE_ATTRIBUTE_READONLY) && MakeFolderLink(link, moved) &&
              MakeReadOnly(link));
  ASSERT_EQ(ListTree(scratch).size(), withoutProgram.size() + 5);  // the link, the folder and three below it
  {
    const UniqueFileHandle inUse(CreateFileW(Extended(moved + L"\\bin\\server.exe").c_str(), GENERIC_READ, 0, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(inUse);
    EXPECT_TRUE(RemoveFolderTree(link));
    EXPECT_TRUE(Exists(moved + L"\\bin\\server.exe") && !Exists(moved + L"\\licence.key"));
    // Windows' RemoveDirectoryW removes a junction whatever its target holds; Wine's acts
    // on a Unix link's target, so under Wine the link stays whatever the walk does.
    EXPECT_TRUE(RunningOnWine() || IsFolderStillThere(link)) << "the link went while its target stayed";
  }
  EXPECT_TRUE(RemoveFolderTree(link));

  // Under Wine the Unix link stays, pointing nowhere (Windows no longer sees it): Wine's
  // RemoveDirectoryW acts on a link's target, gone by then. Windows removes the junction.
  EXPECT_EQ(ListTree(scratch), withoutProgram);
}

}  // namespace
