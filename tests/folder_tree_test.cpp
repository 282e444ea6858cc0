// RemoveFolderTree on real folders, links and drives, all inside scratch folders under the
// user's temp folder: random trees of everything a program folder can hold, and the cases
// a generator cannot state. The random trees are reproducible: ORVANTO_TREE_SEED sets the
// first tree's seed (tree i uses seed + i), ORVANTO_TREE_COUNT how many trees to try; a
// failure names the seed that replays it alone.
#include "folder_tree.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scoped_handles.h"

// Lists every handle of every process with its owner; GetProcessHandleCount would do, but
// Wine answers it with 0. The layout of its entries is Windows' own.
extern "C" __declspec(dllimport) LONG NTAPI
    NtQuerySystemInformation(ULONG infoClass, PVOID info, ULONG length, PULONG returned);

namespace {

// Test helpers reach every name through "\\?\", so that they can make and see what plain
// paths cannot.
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
  folder += L'\\';
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

// Under Wine, the Unix path of a Windows one, from Wine's own kernel32 addition.
std::wstring UnixPath(const std::wstring& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unixPath = convert(Extended(path).c_str());
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

// Removes a tree the tests made, read-only entries included, links as links (rd /s does
// not follow junctions).
void RemoveScratchTree(const std::wstring& root) {
  if (root.find(L"orvanto-test-") == std::wstring::npos) return;
  RunCommand(RunningOnWine() ? L"rm -rf --" + Quoted(root)
                             : L"attrib -r /s /d" + Quoted(root + L"\\*") + L" & rd /s /q" + Quoted(root),
             [&] { return !Exists(root); });
}

// Wine's RemoveDirectoryW acts on a Unix link's target; rm, without -r, removes the link.
void RemoveLink(const std::wstring& link) {
  if (!RunningOnWine()) RemoveDirectoryW(Extended(link).c_str());
  if (RunningOnWine()) RunCommand(L"rm -f --" + Quoted(link), [&] { return !Exists(link); });
}

// A fresh folder under the temp folder, removed with everything in it at the end.
struct ScratchFolder {
  ScratchFolder() {
    static unsigned made = 0;  // process ids are soon reused under Wine, hence the clock
    wchar_t temp[MAX_PATH + 1];
    path.assign(temp, GetTempPathW(MAX_PATH + 1, temp));
    path += L"orvanto-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) +
            L"-" + std::to_wstring(++made);
    MakeFolder(path);
  }
  ~ScratchFolder() { RemoveScratchTree(path); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::wstring path;
};

// Makes `link` a link to the folder `target`: a junction on Windows, a Unix symbolic link
// under Wine, which makes neither junctions nor symbolic links (CreateSymbolicLinkW answers
// TRUE and does nothing) and shows a Unix link to a folder as a directory with the
// reparse-point bit.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
  const std::wstring command =
      RunningOnWine() ? L"ln -s --" + Quoted(target) + Quoted(link) : L"mklink /j" + Quoted(link) + Quoted(target);
  return RunCommand(command, [&] {
    const DWORD attributes = GetFileAttributesW(Extended(link).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  });
}

// A drive letter of its own whose root is `folder`, while it lives: what subst does on
// Windows, a link in the prefix's dosdevices folder under Wine. `root` ("X:\") stays empty
// when no letter could be mapped.
struct ScratchDrive {
  explicit ScratchDrive(const std::wstring& folder) {
    for (wchar_t letter = L'M'; letter <= L'Y' && root.empty(); ++letter) {
      const std::wstring drive = {letter, L':'};
      if (Exists(drive + L"\\")) continue;
      if (!RunningOnWine() && DefineDosDeviceW(0, drive.c_str(), folder.c_str())) root = drive + L"\\";
      if (!RunningOnWine()) continue;
      unixLink = UnixPath(L"C:\\") + L"../dosdevices/" + static_cast<wchar_t>(std::towlower(letter)) + L":";
      if (RunCommand(L"ln -s --" + Quoted(folder) + L" \"" + unixLink + L"\"", [&] { return Exists(drive + L"\\"); })) {
        root = drive + L"\\";
      }
    }
  }
  ~ScratchDrive() {
    if (!root.empty() && !RunningOnWine()) DefineDosDeviceW(DDD_REMOVE_DEFINITION, root.substr(0, 2).c_str(), nullptr);
    if (!root.empty() && RunningOnWine()) RunCommand(L"rm -f -- \"" + unixLink + L"\"", [&] { return !Exists(root); });
  }
  ScratchDrive(const ScratchDrive&) = delete;
  ScratchDrive& operator=(const ScratchDrive&) = delete;
  std::wstring root;
  std::wstring unixLink;
};

// Every file and folder below `root`, relative to it and sorted, with its attributes and
// a file's content; links are listed, not followed.
void ListInto(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& out) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle listing(FindFirstFileW(Extended(root + relative + L"\\*").c_str(), &entry));
  for (bool more = static_cast<bool>(listing); more; more = FindNextFileW(listing.get(), &entry) != FALSE) {
    const std::wstring name = entry.cFileName;
    const std::wstring child = Join(relative, name);
    const DWORD attributes = entry.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL};
    if (name == L"." || name == L"..") continue;
    std::wstring line = child.substr(1) + L" [" + std::to_wstring(attributes) + L"] ";
    const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    UniqueFileHandle file(isFolder ? INVALID_HANDLE_VALUE
                                   : CreateFileW(Extended(root + child).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
    char buffer[4096];
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
      line.append(buffer, buffer + read);
    }
    out.push_back(line);
    if (isFolder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) ListInto(root, child, out);
  }
}

std::vector<std::wstring> ListTree(const std::wstring& root) {
  std::vector<std::wstring> entries;
  ListInto(root, L"", entries);
  std::sort(entries.begin(), entries.end());
  return entries;
}

unsigned long EnvironmentNumber(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}

template <typename T>
const T& Pick(std::mt19937& random, const std::vector<T>& items) {
  return items[std::uniform_int_distribution<size_t>(0, items.size() - 1)(random)];
}

bool Chance(std::mt19937& random, double share) { return std::bernoulli_distribution(share)(random); }

std::wstring RandomName(std::mt19937& random) {
  // Names a plain Win32 path cannot reach: device names, trailing dots and spaces.
  static const std::vector<std::wstring> unreachable = {L"nul",        L"CON",    L"aux.txt", L"Com1",   L"lpt9.log",
                                                        L"PRN.tar.gz", L"conin$", L"trail.",  L"space ", L"data. "};
  static const std::vector<std::wstring> words = {L"server", L"Config", L"log", L"x",    L".hidden", L"7",
                                                  L"é",      L"straße", L"Жук", L"文件", L"😀"};
  static const std::vector<std::wstring> extensions = {L".txt", L".dll", L".tar.gz", L".v2.old", L""};
  std::wstring name;
  switch (std::uniform_int_distribution<int>(0, 3)(random)) {
    case 0: return Pick(random, unreachable);
    case 1: name = Pick(random, words) + L" " + Pick(random, words) + Pick(random, extensions); break;
    default:  // long names, up to the 255 characters a name may have
      name.assign(std::uniform_int_distribution<size_t>(64, 250)(random), L'a');
      for (wchar_t& c : name) c = L"abcxyz0189 ._-ABC"[std::uniform_int_distribution<int>(0, 16)(random)];
  }
  return name + std::to_wstring(std::uniform_int_distribution<int>(0, 999)(random));
}

struct Tree {
  std::wstring root;
  std::vector<std::wstring> entries;  // relative to the root
  std::set<std::wstring> links;
};

// A new entry of a folder picked at random, named as Windows has not seen there yet.
std::wstring NewEntry(std::mt19937& random, const Tree& tree, const std::vector<std::wstring>& folders) {
  const std::wstring& parent = Pick(random, folders);
  for (;;) {
    std::wstring path = (parent.empty() ? L"" : parent + L"\\") + RandomName(random);
    if (std::none_of(tree.entries.begin(), tree.entries.end(), [&](const std::wstring& entry) {
          return CompareStringOrdinal(entry.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL;
        })) {
      return path;
    }
  }
}

// Files and folders, read-only, hidden and system ones among them (Windows will not remove
// a read-only folder until the bit is cleared; Wine ignores the bit on folders, so only a
// run on Windows checks that); a chain more than 400 characters deeper than the root, past
// MAX_PATH on any machine (which only Windows enforces); links to folders in `outside`.
// Entries the file system refuses (Linux's 255-byte names under Wine) are left out.
Tree MakeTree(std::mt19937& random, const std::wstring& root, const std::wstring& outside) {
  Tree tree{root, {}, {}};
  MakeFolder(root);
  std::vector<std::wstring> folders = {L""};
  auto add = [&](const std::wstring& entry, bool isFolder, DWORD attributes) {
    const std::wstring path = Join(root, entry);
    if (isFolder ? !MakeFolder(path) || !SetFileAttributesW(Extended(path).c_str(), attributes)
                 : !MakeFile(path, std::string(random() % 2048, 'd'), attributes)) {
      return;
    }
    tree.entries.push_back(entry);
    if (isFolder) folders.push_back(entry);
  };
  for (int count = std::uniform_int_distribution<int>(0, 300)(random); count > 0; --count) {
    add(NewEntry(random, tree, folders), Chance(random, 0.3),
        (Chance(random, 0.2) ? FILE_ATTRIBUTE_READONLY : 0) | (Chance(random, 0.15) ? FILE_ATTRIBUTE_HIDDEN : 0) |
            (Chance(random, 0.1) ? FILE_ATTRIBUTE_SYSTEM : 0) | FILE_ATTRIBUTE_NORMAL);
  }
  if (Chance(random, 0.25)) {
    std::wstring chain = Pick(random, folders);
    for (int depth = 10; depth < 36; ++depth) {
      add(chain += std::wstring(chain.empty() ? L"" : L"\\") + L"chain segment " + std::to_wstring(depth), true, 0);
    }
    add(chain + L"\\deepest file.txt", false, FILE_ATTRIBUTE_READONLY);
  }
  for (int links = std::uniform_int_distribution<int>(0, 2)(random); links > 0; --links) {
    const std::wstring link = NewEntry(random, tree, folders);
    std::wstring target = outside;
    target += L"\\target " + std::to_wstring(links);
    if (!MakeFolder(target) || !MakeFolder(target + L"\\inner") || !MakeFile(target + L"\\inner\\keep.txt", "keep") ||
        !MakeFile(target + L"\\read only.txt", "keep", FILE_ATTRIBUTE_READONLY) ||
        !MakeFolderLink(Join(root, link), target)) {
      break;
    }
    tree.entries.push_back(link);
    tree.links.insert(link);
  }
  return tree;
}

// Removes the tree and says what went wrong, if anything.
std::wstring RemoveAndCheck(const Tree& tree, const std::wstring& outside) {
  const std::vector<std::wstring> outsideBefore = ListTree(outside);
  if (!RemoveFolderTree(tree.root)) return L"returned false for a folder that exists\n";
  std::wstring problems;
  if (ListTree(outside) != outsideBefore) problems += L"something a link points at changed\n";
  // Under Wine, links stay, with the folders above them: its RemoveDirectoryW acts on a
  // Unix link's target, which is not empty. Windows removes a junction itself.
  std::set<std::wstring> mayStay;
  for (std::wstring path : RunningOnWine() ? tree.links : std::set<std::wstring>{}) {
    for (size_t cut = path.size(); cut != std::wstring::npos; cut = path.find_last_of(L'\\')) {
      mayStay.insert(path.erase(cut));
    }
  }
  for (const std::wstring& entry : Exists(tree.root) ? ListTree(tree.root) : std::vector<std::wstring>{}) {
    if (mayStay.count(entry.substr(0, entry.find(L" ["))) == 0) problems += L"left behind: " + entry + L"\n";
  }
  if (Exists(tree.root) && mayStay.empty()) problems += L"the folder itself was left behind\n";
  return problems;
}

TEST(RemoveFolderTree, RemovesRandomTreesWhollyAndNothingTheirLinksPointAt) {
  const unsigned long firstSeed = EnvironmentNumber("ORVANTO_TREE_SEED", 20261207);
  const unsigned long count = EnvironmentNumber("ORVANTO_TREE_COUNT", 150);
  ScratchFolder scratch;
  const std::wstring outside = scratch.path + L"\\outside";
  size_t entries = 0;
  size_t links = 0;
  for (unsigned long seed = firstSeed; seed < firstSeed + count; ++seed) {
    std::mt19937 random(static_cast<unsigned>(seed));
    MakeFolder(outside);
    const Tree tree = MakeTree(random, scratch.path + L"\\OrvantoServer", outside);
    entries += tree.entries.size();
    links += tree.links.size();
    ASSERT_EQ(RemoveAndCheck(tree, outside), L"")
        << "replay with ORVANTO_TREE_SEED=" << seed << " ORVANTO_TREE_COUNT=1";
    if (Exists(tree.root)) RemoveScratchTree(tree.root);
    if (!tree.links.empty()) RemoveScratchTree(outside);
  }
  std::printf("%lu trees from seed %lu: %zu entries, %zu of them links\n", count, firstSeed, entries, links);
}

// The handles this process has open, or -1 when Windows will not count them.
long CountOwnHandles() {
  struct Entry {
    PVOID object;
    ULONG_PTR processId, handle;
    ULONG access;
    USHORT backTrace, type;
    ULONG attributes, reserved;
  };
  std::vector<ULONG_PTR> table(1 << 20);  // 8 MB: room for every handle of a test machine
  ULONG needed = 0;
  if (NtQuerySystemInformation(64, table.data(), static_cast<ULONG>(table.size() * sizeof(ULONG_PTR)), &needed) < 0) {
    return -1;  // class 64 is SystemExtendedHandleInformation
  }
  const auto* entries = reinterpret_cast<const Entry*>(&table[2]);
  return static_cast<long>(std::count_if(entries, entries + table[0],
                                         [](const Entry& entry) { return entry.processId == GetCurrentProcessId(); }));
}

double WorkingSetMegabytes() {
  PROCESS_MEMORY_COUNTERS counters = {};
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return static_cast<double>(counters.WorkingSetSize) / 1048576;
}

// 40 levels, each with 100 folders beside the next level: 4,041 listings.
bool MakeDeepTree(std::wstring level) {
  bool made = MakeFolder(level);
  for (int depth = 0; depth < 40 && made; ++depth, level += L"\\level") {
    for (int side = 0; side < 100; ++side) made = made && MakeFolder(level + L"\\side folder " + std::to_wstring(side));
    made = made && MakeFolder(level + L"\\level");
  }
  return made;
}

TEST(RemoveFolderTree, ClosesEveryListingOfADeepTree) {
  ScratchFolder scratch;
  ASSERT_TRUE(MakeDeepTree(scratch.path + L"\\OrvantoServer"));
  const long handles = CountOwnHandles();
  ASSERT_GT(handles, 0) << "this system will not count the process's handles";
  const double megabytes = WorkingSetMegabytes();

  EXPECT_TRUE(RemoveFolderTree(scratch.path + L"\\OrvantoServer"));

  EXPECT_FALSE(Exists(scratch.path + L"\\OrvantoServer"));
  // On Windows every listing not closed stays a handle. Wine keeps a listing's handle
  // while the folder has names left to read (a level here takes it several reads), so a
  // listing given up half-read shows here too; one read out but never closed shows under
  // Wine only as the 8 KB of memory it keeps.
  EXPECT_EQ(CountOwnHandles(), handles);
  EXPECT_LT(WorkingSetMegabytes() - megabytes, 4.0) << "MB more in use";
}

TEST(RemoveFolderTree, RefusesAnythingButAFolderBelowARoot) {
  ScratchFolder scratch;
  // The current folder and the drive's root that a faulty guard would reach are a scratch
  // folder's, never this machine's.
  ScratchDrive drive(scratch.path);
  if (drive.root.empty()) GTEST_SKIP() << "no drive letter could be mapped to a scratch folder";
  ASSERT_TRUE(Lay(scratch.path, {L"keep\\a.txt"}));
  const std::vector<std::wstring> before = ListTree(scratch.path);
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(drive.root.c_str()));
  const std::wstring letter = drive.root.substr(0, 2);
  for (const std::wstring& path : {std::wstring(), std::wstring(L"keep"), std::wstring(L"."), std::wstring(L"\\"),
                                   std::wstring(L"\\keep"), drive.root, letter, letter + L"keep", Extended(drive.root),
                                   scratch.path + L"\\missing", scratch.path + L"\\keep\\a.txt"}) {
    EXPECT_FALSE(RemoveFolderTree(path)) << testing::PrintToString(path);
  }
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(ListTree(scratch.path), before);
}

// A program folder moved to another place, with a link left where it was.
TEST(RemoveFolderTree, AProgramFolderThatIsALinkIsRemovedWhereItPoints) {
  ScratchFolder scratch;
  const std::wstring moved = scratch.path + L"\\Moved\\OrvantoServer";
  const std::wstring link = scratch.path + L"\\Programs\\OrvantoServer";
  ASSERT_TRUE(Lay(scratch.path, {L"Moved\\OrvantoServer\\bin\\server.exe", L"Moved\\other\\keep.txt",
                                 L"Moved\\OrvantoServer.txt", L"Programs\\readme.txt"}));
  ASSERT_TRUE(MakeFile(moved + L"\\licence.key", "key", FILE_ATTRIBUTE_READONLY) && MakeFolderLink(link, moved));
  const std::vector<std::wstring> beside = {L"OrvantoServer.txt [0] x", L"other [16] ", L"other\\keep.txt [0] x"};
  ASSERT_EQ(ListTree(scratch.path + L"\\Moved").size(), beside.size() + 4);

  EXPECT_TRUE(RemoveFolderTree(link));

  EXPECT_EQ(ListTree(scratch.path + L"\\Moved"), beside);
  // Under Wine the Unix link stays, pointing nowhere (Windows no longer sees it): Wine's
  // RemoveDirectoryW acts on a link's target, gone by then. Windows removes the junction.
  EXPECT_EQ(ListTree(scratch.path + L"\\Programs"), std::vector<std::wstring>{L"readme.txt [0] x"});
}

// Links that would lead the walk to a drive's root, or back over the folder the link
// stands in, are not walked: nothing below them is touched and the folder counts as not
// removable. (A link whose target is gone is removed and counts as found; Wine does not
// show such a link at all, so that is for a run on Windows to see.)
TEST(RemoveFolderTree, WalksThroughNoLinkToARootOrToAFolderAboveIt) {
  ScratchFolder scratch;
  const std::wstring link = scratch.path + L"\\Program Files\\OrvantoServer";
  ASSERT_TRUE(Lay(scratch.path, {L"drive\\keep.txt", L"Program Files\\Other Program\\keep.txt"}));
  ScratchDrive drive(scratch.path + L"\\drive");
  std::vector<std::wstring> targets = {scratch.path + L"\\Program Files", scratch.path};
  // Windows resolves a subst drive's root to the folder it stands for, so a real volume
  // would be needed there; Wine names the deepest drive, as it would a real one, once it
  // has read its list of drives again (it does so at most once a second).
  if (!drive.root.empty() && RunningOnWine()) {
    targets.push_back(drive.root);
    Sleep(1500);
  }
  for (const std::wstring& target : targets) {
    ASSERT_TRUE(MakeFolderLink(link, target));
    const std::vector<std::wstring> before = ListTree(scratch.path);
    EXPECT_FALSE(RemoveFolderTree(link)) << testing::PrintToString(target);
    EXPECT_EQ(ListTree(scratch.path), before) << testing::PrintToString(target);
    RemoveLink(link);
  }
}

}  // namespace
