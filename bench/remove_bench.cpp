// Times RemoveFolderTree against the platform's own ways of removing a tree, and against
// its own deletion calls alone, on the same freshly built tree each time, and prints the
// median files per second of each; then the handles and memory one more removal by
// RemoveFolderTree holds. --make-tree only builds the tree and prints where.
//
// Everything it makes lives in one folder of its own in the temp folder, removed at the
// end (--make-tree leaves it to its caller). Output goes to stdout only: under
// cmake/wine-run stderr ends up in Wine's log.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "bench_tree.h"
#include "folder_tree.h"
#include "removal_methods.h"
#include "resource_watch.h"

namespace {

struct Options {
  BenchTreeOptions tree;
  int runs = 5;
  double floorFilesPerSecond = 0;  // rm -rf's figure from bench/rm-rf-floor, if given
  std::vector<const RemovalMethod*> methods;
  bool makeTree = false;
};

// RemoveFolderTree always runs, first, as the others are compared with it; `list` names
// the others, by key, separated by commas.
bool ChooseMethods(const std::wstring& list, std::vector<const RemovalMethod*>& chosen) {
  const std::vector<RemovalMethod>& all = RemovalMethods();
  chosen.assign(1, &all[0]);
  for (size_t start = 0; start <= list.size();) {
    const size_t end = std::min(list.find(L',', start), list.size());
    const std::wstring key = list.substr(start, end - start);
    auto found = std::find_if(all.begin(), all.end(), [&](const RemovalMethod& m) { return key == m.key; });
    if (found == all.end()) return false;
    if (std::find(chosen.begin(), chosen.end(), &*found) == chosen.end()) chosen.push_back(&*found);
    start = end + 1;
  }
  return true;
}

// Sets the count or seed that `name` names; false for a name or value that is not one.
bool SetNumber(const std::wstring& name, double number, Options& options) {
  // Every number is a count, or the seed, which may use all 32 bits.
  if (number > 4294967295.0 || number != static_cast<double>(static_cast<std::uint32_t>(number))) return false;
  if (name == L"--seed") {
    options.tree.seed = static_cast<std::uint32_t>(number);
    return true;
  }
  if (number > 100000000) return false;
  const int whole = static_cast<int>(number);
  if (name == L"--runs" && whole >= 1) options.runs = whole;
  else if (name == L"--files" && whole >= 1) options.tree.files = whole;
  else if (name == L"--folders") options.tree.folders = whole;
  else if (name == L"--depth" && whole >= 1) options.tree.maxDepth = whole;
  else if (name == L"--read-only-percent" && whole <= 100) options.tree.readOnlyPercent = whole;
  else if (name == L"--file-bytes") options.tree.fileBytes = whole;
  else return false;
  return true;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
  for (const RemovalMethod& method : RemovalMethods()) options.methods.push_back(&method);
  for (int i = 1; i < argc; ++i) {
    const std::wstring name = argv[i];
    if (name == L"--make-tree") {
      options.makeTree = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const wchar_t* value = argv[++i];
    if (name == L"--methods") {
      if (!ChooseMethods(value, options.methods)) return false;
      continue;
    }
    wchar_t* end = nullptr;
    const double number = std::wcstod(value, &end);
    if (end == value || *end != L'\0' || number < 0) return false;
    if (name == L"--floor") {
      options.floorFilesPerSecond = number;
    } else if (!SetNumber(name, number, options)) {
      return false;
    }
  }
  return true;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  return static_cast<double>(to.QuadPart - from.QuadPart) / frequency;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct MethodResults {
  std::vector<double> filesPerSecond;
  int failedRuns = 0;    // runs in which the method reported failure
  Leftovers leftBehind;  // summed over the runs
};

// The benchmark's own folder: %TEMP%\orvanto-remove-bench-<process id>.
std::wstring MakeBenchFolder() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return L"";
  const std::wstring folder =
      std::wstring(temp, length) + L"orvanto-remove-bench-" + std::to_wstring(GetCurrentProcessId());
  return CreateDirectoryW(folder.c_str(), nullptr) ? folder : L"";
}

void PrintTable(const Options& options, const std::vector<MethodResults>& results) {
  const double ours = Median(results[0].filesPerSecond);
  const bool withFloor = options.floorFilesPerSecond > 0;
  std::printf("\n%-30s %12s %12s %12s%s  %s\n", "method", "files/s", "slowest", "vs ours",
              withFloor ? "  vs rm -rf" : "", "left behind");
  for (size_t m = 0; m < options.methods.size(); ++m) {
    const MethodResults& r = results[m];
    const double median = Median(r.filesPerSecond);
    const double slowest = *std::min_element(r.filesPerSecond.begin(), r.filesPerSecond.end());
    std::printf("%-30s %12.0f %12.0f %11.2fx", options.methods[m]->name, median, slowest, median / ours);
    if (withFloor) std::printf(" %10.3fx", median / options.floorFilesPerSecond);
    if (r.leftBehind.any() || r.failedRuns > 0) {
      std::printf("  %ld files, %ld folders; reported failure in %d of %d runs\n", r.leftBehind.files,
                  r.leftBehind.folders, r.failedRuns, options.runs);
    } else {
      std::printf("  none\n");
    }
  }
  if (withFloor) {
    std::printf("%-30s %12.0f %12s %11.2fx %10.3fx\n", "rm -rf (Linux, native floor)", options.floorFilesPerSecond, "",
                options.floorFilesPerSecond / ours, 1.0);
  }
}

// Whatever a removal left must go before the next build; our own removal clears
// read-only bits.
bool ClearLeftovers(const std::wstring& top) {
  if (CountLeftovers(top).any()) RemoveFolderTree(top);
  if (!CountLeftovers(top).any()) return true;
  std::printf("\nremove_bench: %ls could not be cleared; stopping\n", top.c_str());
  return false;
}

// One more removal by RemoveFolderTree with a watcher sampling from another thread. The
// watcher competes for the cores, so this removal is not timed.
bool WatchOneRemoval(const std::wstring& top, const BenchTree& shape, const Options& options) {
  if (!BuildTree(top, shape, options.tree.fileBytes)) return false;
  ResourceWatch watch;
  RemoveFolderTree(top);
  watch.Stop();
  std::printf("\nRemoveFolderTree, watched while it ran (depth up to %d): ", options.tree.maxDepth);
  if (watch.ExtraHandles() < 0) {
    std::printf("handles not counted");
  } else {
    std::printf("at most %ld handles more than the %ld before", watch.ExtraHandles(), watch.BaseHandles());
  }
  std::printf(", working set at most %.2f MB above its %.1f MB; left behind: %s\n", watch.ExtraMegabytes(),
              watch.BaseMegabytes(), CountLeftovers(top).any() ? "some" : "none");
  return ClearLeftovers(top);
}

void PrintUsage() {
  std::printf(
      "usage: remove_bench [--runs N] [--files N] [--folders N] [--depth N] [--read-only-percent N]\n"
      "                    [--file-bytes N] [--seed N] [--floor FILES_PER_SECOND] [--methods KEY,...]\n"
      "       remove_bench --make-tree [the tree's options]\n"
      "--methods picks the methods to run beside RemoveFolderTree (default: all):");
  for (const RemovalMethod& method : RemovalMethods()) std::printf(" %ls (%s)", method.key, method.name);
  std::printf("\n--make-tree builds one tree, prints its path and leaves it there\n");
}

// The runs, the table and the watched removal; returns the exit status.
int TimeMethods(const Options& options, const BenchTree& shape, const std::wstring& benchFolder,
                const std::wstring& top) {
  const BenchTree placed = shape.PlaceAt(top);
  const std::vector<const RemovalMethod*>& methods = options.methods;
  std::vector<MethodResults> results(methods.size());
  const double files = static_cast<double>(shape.files.size());

  std::printf("tree: %d files of %d bytes in %d folders (depth up to %d), %d%% read-only, seed %u\n",
              options.tree.files, options.tree.fileBytes, options.tree.folders, options.tree.maxDepth,
              options.tree.readOnlyPercent, static_cast<unsigned>(options.tree.seed));
  std::printf("%d runs; in each, every method removes a freshly built copy, starting one method later each run\n",
              options.runs);
  std::printf("folder: %ls\n", benchFolder.c_str());
  std::fflush(stdout);

  int status = 0;
  for (int run = 0; run < options.runs && status == 0; ++run) {
    std::printf("run %d:", run + 1);
    for (size_t k = 0; k < methods.size(); ++k) {
      // Rotating the order spreads whatever else the machine is doing over all methods.
      const size_t m = (run + k) % methods.size();
      if (!BuildTree(top, shape, options.tree.fileBytes)) {
        status = 1;
        break;
      }
      LARGE_INTEGER start;
      LARGE_INTEGER stop;
      QueryPerformanceCounter(&start);
      const bool reported = methods[m]->remove(top, placed);
      QueryPerformanceCounter(&stop);

      const double seconds = Seconds(start, stop);
      results[m].filesPerSecond.push_back(files / seconds);
      if (!reported) ++results[m].failedRuns;
      const Leftovers left = CountLeftovers(top);
      std::printf("  %s %.3f s%s", methods[m]->name, seconds, left.any() ? " (left things behind)" : "");
      std::fflush(stdout);
      results[m].leftBehind.files += left.files;
      results[m].leftBehind.folders += left.folders;
      if (!ClearLeftovers(top)) {
        status = 1;
        break;
      }
    }
    std::printf("\n");
  }

  if (status == 0) PrintTable(options, results);
  if (status == 0 && !WatchOneRemoval(top, shape, options)) status = 1;
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    PrintUsage();
    return 2;
  }
  const std::wstring benchFolder = MakeBenchFolder();
  if (benchFolder.empty()) {
    std::printf("remove_bench: cannot make a folder of its own in the temp folder\n");
    return 1;
  }
  const std::wstring top = benchFolder + L"\\tree";
  const BenchTree shape = BenchTree::Make(options.tree);
  int status = 1;
  if (!options.makeTree) {
    status = TimeMethods(options, shape, benchFolder, top);
  } else if (BuildTree(top, shape, options.tree.fileBytes)) {
    std::printf("%ls\n", top.c_str());
    return 0;
  }
  // A build that failed half way leaves its part behind.
  if (CountLeftovers(top).any()) RemoveFolderTree(top);
  RemoveDirectoryW(benchFolder.c_str());
  return status;
}
