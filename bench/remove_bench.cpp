// Times RemoveFolderTree against its own deletion calls alone and against the platform's
// ways of removing a tree, each on a freshly built copy of the same tree; counts after each
// removal what is left of the tree, and prints the median files per second of each; then
// the handles and working set of one more removal by RemoveFolderTree. --make-tree only
// builds the tree and prints where, for bench/rm-rf-floor.
//
// Everything lives in %TEMP%\orvanto-remove-bench-<process id>, removed at the end but for
// --make-tree's tree, which its caller removes. Output goes to stdout only: under
// cmake/wine-run stderr ends up in Wine's log.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "entry_deletion.h"
#include "entry_handles.h"
#include "program_folder.h"
#include "scoped_handles.h"

// SystemExtendedHandleInformation (class 64) lists every process's handles with their
// owner's id; GetProcessHandleCount would be simpler, but Wine answers it with 0.
// winternl.h's SYSTEM_INFORMATION_CLASS has no such member, so the call is declared here.
extern "C" __declspec(dllimport) LONG NTAPI NtQuerySystemInformation(ULONG, PVOID, ULONG, PULONG);

namespace {

constexpr int kMaxDepth = 6;  // of a folder below the top one
constexpr DWORD kFileBytes = 1024;

// An entry's "\\?\" path, its name, and the index of its folder in Tree::folders.
struct Entry {
  std::wstring path;
  std::wstring name;
  std::size_t folder;
};

struct Tree {
  std::wstring top;                           // as a caller names it
  std::vector<Entry> folders;                 // parents first, the top first of all
  std::vector<std::pair<Entry, bool>> files;  // and whether it is read-only
};

// A plain 32-bit linear congruential generator rather than <random>'s distributions, whose
// results differ between standard libraries, so the tree is the same whatever compiled
// this. Its low bits are poor, so only the upper 16 are used. There is a folder for every
// ten files; each hangs below one not yet at the depth limit, so the tree is bushy near
// the top and deep in places, and the files land in any folder, the top one included.
Tree MakeShape(const std::wstring& top, long files) {
  std::uint32_t state = 1;
  const auto below = [&state](std::size_t bound) {
    state = state * 69069u + 1u;  // wraps modulo 2^32
    return (state >> 16) % bound;
  };
  Tree tree{top, {{L"\\\\?\\" + top, L"", 0}}, {}};
  std::vector<std::pair<std::size_t, int>> canHoldFolders{{0, 0}};  // index in tree.folders, depth
  for (long i = 1; i <= files / 10; ++i) {
    const auto [parent, depth] = canHoldFolders[below(canHoldFolders.size())];
    const std::wstring name = L"d" + std::to_wstring(i);
    tree.folders.push_back({tree.folders[parent].path + L"\\" + name, name, parent});
    if (depth + 1 < kMaxDepth) canHoldFolders.emplace_back(tree.folders.size() - 1, depth + 1);
  }
  // One file in twenty is read-only, spread evenly rather than drawn, so that the share is exact.
  for (long j = 0; j < files; ++j) {
    const std::size_t folder = below(tree.folders.size());
    const std::wstring name = L"f" + std::to_wstring(j) + L".dat";
    tree.files.push_back({{tree.folders[folder].path + L"\\" + name, name, folder}, j % 20 == 19});
  }
  return tree;
}

// A read-only file is made so from the start; the handle that creates it may still write.
// False, with GetLastError saying why, when something could not be made.
bool Build(const Tree& tree) {
  for (const Entry& folder : tree.folders) {
    if (!CreateDirectoryW(folder.path.c_str(), nullptr)) return false;
  }
  const std::string payload(kFileBytes, 'x');
  for (const auto& [file, readOnly] : tree.files) {
    const DWORD attributes = readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    const UniqueFileHandle made(
        CreateFileW(file.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr));
    DWORD written = 0;
    if (!made || !WriteFile(made.get(), payload.data(), kFileBytes, &written, nullptr)) return false;
  }
  return true;
}

// How many of the tree's files and folders are still there: the methods' own answers do
// not say, since Wine reports success for some deletions it did not do.
long CountLeft(const Tree& tree) {
  if (GetFileAttributesW(tree.folders[0].path.c_str()) == INVALID_FILE_ATTRIBUTES) return 0;
  long left = 0;
  for (const auto& file : tree.files) left += GetFileAttributesW(file.first.path.c_str()) != INVALID_FILE_ATTRIBUTES;
  for (const auto& folder : tree.folders) left += GetFileAttributesW(folder.path.c_str()) != INVALID_FILE_ATTRIBUTES;
  return left;
}

// What RemoveFolderTree's own calls for each entry cost with no listing to find the
// entries, from the tree's list of names: each folder opened below its folder's handle and
// its attributes read, each file opened below its folder's and deleted, then the folders
// deleted, deepest first.
void WithItsCallsAlone(const Tree& tree) {
  DeletionMode mode;
  std::vector<UniqueFileHandle> folders;
  folders.push_back(std::move(OpenAt(tree.folders[0].path, false, OpenFor::kWalking).handle));
  for (std::size_t i = 1; i < tree.folders.size(); ++i) {
    std::wstring name = tree.folders[i].name;
    folders.push_back(
        WithAttributes(OpenEntryBelow(folders[tree.folders[i].folder].get(), name.data(),
                                      static_cast<DWORD>(name.size() * sizeof(wchar_t)), true, OpenFor::kWalking))
            .handle);
  }
  for (const auto& [file, readOnly] : tree.files) {
    std::wstring name = file.name;
    DeleteThrough(OpenEntryBelow(folders[file.folder].get(), name.data(),
                                 static_cast<DWORD>(name.size() * sizeof(wchar_t)), false, OpenFor::kDeleting)
                      .get(),
                  mode);
  }
  while (!folders.empty()) {
    DeleteThrough(folders.back().get(), mode);
    folders.pop_back();
  }
}

void WithShellFileOperation(const Tree& tree) {
  const std::wstring from = tree.top + L'\0';  // the string's own NUL ends the list
  SHFILEOPSTRUCTW operation{nullptr, FO_DELETE, from.c_str(), nullptr, FOF_NO_UI, FALSE, nullptr, nullptr};
  SHFileOperationW(&operation);
}

// libstdc++'s remove_all stops at the first read-only file, so their bits are cleared
// first; that walk is part of what this way costs.
void WithRemoveAll(const Tree& tree) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (fs::recursive_directory_iterator it(tree.top, error), end; !error && it != end; it.increment(error)) {
    if (it->is_regular_file(error) && (it->status(error).permissions() & fs::perms::owner_write) == fs::perms::none) {
      fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, error);
    }
  }
  fs::remove_all(tree.top, error);
}

// Ours first, as the others are compared with it; the two that take a millisecond a file
// under Wine last, so that --methods 3 leaves them out.
struct Method {
  const wchar_t* name;
  void (*remove)(const Tree& tree);
};
const Method kMethods[] = {
    {L"RemoveFolderTree", [](const Tree& tree) { RemoveFolderTree(tree.top); }},
    {L"its calls alone (floor)", WithItsCallsAlone},
    {L"std::filesystem::remove_all", WithRemoveAll},
    {L"SHFileOperationW", WithShellFileOperation},
    // _wsystem runs "cmd.exe /c" with the command and waits: the process start is timed.
    {L"cmd /c rd /s /q", [](const Tree& tree) { _wsystem((L"rd /s /q \"" + tree.top + L"\"").c_str()); }},
};

// The handles this process has open, or -1 when Windows will not list them in `table`.
long CountOwnHandles(std::vector<ULONG_PTR>& table) {
  const auto bytes = static_cast<ULONG>(table.size() * sizeof(ULONG_PTR));
  if (NtQuerySystemInformation(64, table.data(), bytes, nullptr) < 0) return -1;
  // The number of handles and a reserved word, then five words for each handle: its
  // object, its owner's process id, its value, access and type, attributes.
  long count = 0;
  for (std::size_t i = 3; i < table.size() && i < 2 + 5 * table[0]; i += 5) count += table[i] == GetCurrentProcessId();
  return count;
}

double WorkingSetMegabytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);  // zeros when it fails
  return static_cast<double>(counters.WorkingSetSize) / 1048576.0;
}

// One more removal by RemoveFolderTree, untimed, sampled from another thread. The first
// sample is taken on that thread, so that its own handle and stack are in the base.
void WatchOneRemoval(const Tree& tree) {
  long handles[2] = {-1, -1};  // before, and the most during
  double workingSet[2] = {};   // the same
  std::atomic<int> phase{0};   // 0 starting, 1 sampling, 2 done
  std::thread watcher([&] {
    std::vector<ULONG_PTR> table(std::size_t{1} << 20);  // 8 MiB, for 200,000 handles; made before the base
    handles[0] = handles[1] = CountOwnHandles(table);
    workingSet[0] = workingSet[1] = WorkingSetMegabytes();
    for (phase = 1; phase == 1;) {
      handles[1] = std::max(handles[1], CountOwnHandles(table));
      workingSet[1] = std::max(workingSet[1], WorkingSetMegabytes());
    }
  });
  while (phase == 0) std::this_thread::yield();
  RemoveFolderTree(tree.top);
  phase = 2;
  watcher.join();
  std::printf("\nWatched removal: %ld left; %ld handles, at most %ld more; working set %.1f MB, at most %.2f MB more\n",
              CountLeft(tree), handles[0], handles[1] - handles[0], workingSet[0], workingSet[1] - workingSet[0]);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Options {
  bool makeTree = false;
  long runs = 5;
  long files = 20000;
  long methods = std::size(kMethods);  // the first so many of kMethods
};

// --make-tree first if at all, then names and values.
bool ParseOptions(int argc, char** argv, Options& options) {
  const std::pair<const char*, long*> numbers[] = {
      {"--runs", &options.runs}, {"--files", &options.files}, {"--methods", &options.methods}};
  options.makeTree = argc > 1 && std::strcmp(argv[1], "--make-tree") == 0;
  for (int i = options.makeTree ? 2 : 1; i < argc; i += 2) {
    const auto* number = std::find_if(std::begin(numbers), std::end(numbers),
                                      [&](const auto& n) { return std::strcmp(n.first, argv[i]) == 0; });
    char* end = nullptr;
    if (number == std::end(numbers) || i + 1 == argc) return false;
    *number->second = std::strtol(argv[i + 1], &end, 10);
    if (end == argv[i + 1] || *end != '\0') return false;
  }
  return options.runs > 0 && options.files > 0 && options.methods > 0 &&
         options.methods <= static_cast<long>(std::size(kMethods));
}

// The runs and the table. The tree is built when it starts and is built again when it
// returns true; false when a tree could not be built or cleared.
bool TimeMethods(const Tree& tree, const Options& options) {
  std::vector<std::vector<double>> rates(options.methods);
  std::vector<long> left(options.methods);
  for (long run = 0; run < options.runs; ++run) {
    for (long k = 0; k < options.methods; ++k) {
      const long m = (run + k) % options.methods;  // spreads the machine's other work over all methods
      const auto start = std::chrono::steady_clock::now();
      kMethods[m].remove(tree);
      const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
      const long leftNow = CountLeft(tree);
      left[m] += leftNow;
      rates[m].push_back(static_cast<double>(tree.files.size()) / seconds.count());
      std::printf("run %ld, %ls: %.2f s, %ld left\n", run + 1, kMethods[m].name, seconds.count(), leftNow);
      std::fflush(stdout);
      if (leftNow > 0) RemoveFolderTree(tree.top);
      if (CountLeft(tree) > 0 || !Build(tree)) return false;
    }
  }
  const double ours = Median(rates[0]);
  std::printf("\n| method | files/s (median) | slowest run | vs ours | left, all runs |\n|---|---:|---:|---:|---:|\n");
  for (long m = 0; m < options.methods; ++m) {
    std::printf("| %ls | %.0f | %.0f | %.2f | %ld |\n", kMethods[m].name, Median(rates[m]),
                *std::min_element(rates[m].begin(), rates[m].end()), Median(rates[m]) / ours, left[m]);
  }
  if (options.methods >= 2) {
    std::printf("\nRemoveFolderTree reaches %.2f of its calls alone: the rest is listing.\n", ours / Median(rates[1]));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::printf("usage: remove_bench [--make-tree] [--files N] [--runs N] [--methods 1-5]\n");
    return 2;
  }
  std::error_code error;
  const std::wstring name = L"orvanto-remove-bench-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring folder = (std::filesystem::temp_directory_path(error) / name).wstring();
  const Tree tree = MakeShape(folder + L"\\tree", options.files);
  bool done = !error && CreateDirectoryW(folder.c_str(), nullptr) && Build(tree);
  if (done && options.makeTree) {
    std::printf("%ls\n", tree.top.c_str());  // left for the caller
    return 0;
  }
  if (done) {
    std::printf("tree: %ld files of %lu bytes, %ld folders below the top, up to %d deep, 5%% read-only; in %ls\n",
                options.files, kFileBytes, options.files / 10, kMaxDepth, folder.c_str());
    done = TimeMethods(tree, options);
  }
  if (done) WatchOneRemoval(tree);
  if (!done) std::printf("\nremove_bench: could not build or clear the tree (error %lu)\n", GetLastError());
  RemoveFolderTree(tree.top);  // whatever a failure left
  RemoveDirectoryW(folder.c_str());
  return done ? 0 : 1;
}
