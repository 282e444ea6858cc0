// Times RemoveFolderTree against the platform's own ways of removing a tree, on the same
// freshly built tree each time, and prints the median files per second of each.
//
//   remove_bench [--runs N] [--files N] [--folders N] [--depth N] [--read-only-percent N]
//                [--file-bytes N] [--seed N] [--floor FILES_PER_SECOND] [--print-shape]
//
// Everything it makes lives in one folder of its own in the temp folder, removed at the
// end. Output goes to stdout only: under cmake/wine-run stderr ends up in Wine's log.
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

namespace {

struct Options {
  BenchTreeOptions tree;
  int runs = 5;
  double floorFilesPerSecond = 0;  // rm -rf's figure from bench/rm-rf-floor, if given
  bool printShape = false;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring name = argv[i];
    if (name == L"--print-shape") {
      options.printShape = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const wchar_t* value = argv[++i];
    wchar_t* end = nullptr;
    const double number = std::wcstod(value, &end);
    if (end == value || *end != L'\0' || number < 0) return false;
    if (name == L"--floor") {
      options.floorFilesPerSecond = number;
      continue;
    }
    // Every other option is a count (or the seed, which may use all 32 bits).
    if (number > 4294967295.0 || number != static_cast<double>(static_cast<std::uint32_t>(number))) return false;
    if (name == L"--seed") {
      options.tree.seed = static_cast<std::uint32_t>(number);
      continue;
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
  }
  return true;
}

// The shape as bench/rm-rf-floor --print-shape prints it, so the two can be compared.
void PrintShape(const BenchTree& shape) {
  auto unix = [](std::wstring path) {
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return std::string(path.begin(), path.end());  // the names are plain ASCII
  };
  for (const std::wstring& folder : shape.folders) std::printf("d %s\n", unix(folder).c_str());
  for (const BenchTree::File& file : shape.files) std::printf("f %s %d\n", unix(file.path).c_str(), file.readOnly);
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

void PrintTable(const std::vector<RemovalMethod>& methods, const std::vector<MethodResults>& results,
                const Options& options) {
  const double ours = Median(results[0].filesPerSecond);
  const bool withFloor = options.floorFilesPerSecond > 0;
  std::printf("\n%-30s %12s %12s %12s%s  %s\n", "method", "files/s", "slowest", "vs ours",
              withFloor ? "  vs rm -rf" : "", "left behind");
  for (size_t m = 0; m < methods.size(); ++m) {
    const double median = Median(results[m].filesPerSecond);
    const double slowest = *std::min_element(results[m].filesPerSecond.begin(), results[m].filesPerSecond.end());
    std::printf("%-30s %12.0f %12.0f %11.2fx", methods[m].name, median, slowest, median / ours);
    if (withFloor) std::printf(" %10.3fx", median / options.floorFilesPerSecond);
    const MethodResults& r = results[m];
    if (r.leftBehind.any() || r.failedRuns > 0) {
      std::printf("  %ld files, %ld folders; reported failure in %d of %d runs\n", r.leftBehind.files,
                  r.leftBehind.folders, r.failedRuns, options.runs);
    } else {
      std::printf("  none\n");
    }
  }
  if (withFloor) {
    std::printf("%-30s %12.0f %12s %11.2fx %10.3fx\n", "rm -rf (Linux, native floor)", options.floorFilesPerSecond,
                "", options.floorFilesPerSecond / ours, 1.0);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::printf(
        "usage: remove_bench [--runs N] [--files N] [--folders N] [--depth N] [--read-only-percent N]\n"
        "                    [--file-bytes N] [--seed N] [--floor FILES_PER_SECOND] [--print-shape]\n");
    return 2;
  }
  const BenchTree shape = BenchTree::Make(options.tree);
  if (options.printShape) {
    PrintShape(shape);
    return 0;
  }

  const std::wstring benchFolder = MakeBenchFolder();
  if (benchFolder.empty()) {
    std::printf("remove_bench: cannot make a folder of its own in the temp folder\n");
    return 1;
  }
  const std::wstring top = benchFolder + L"\\tree";
  const std::vector<RemovalMethod>& methods = RemovalMethods();
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
        std::printf("remove_bench: cannot build the tree\n");
        status = 1;
        break;
      }
      LARGE_INTEGER start, stop;
      QueryPerformanceCounter(&start);
      const bool reported = methods[m].remove(top);
      QueryPerformanceCounter(&stop);

      const double seconds = Seconds(start, stop);
      results[m].filesPerSecond.push_back(files / seconds);
      if (!reported) ++results[m].failedRuns;
      const Leftovers left = CountLeftovers(top);
      std::printf("  %s %.3f s%s", methods[m].name, seconds, left.any() ? " (left things behind)" : "");
      std::fflush(stdout);
      if (left.any()) {
        results[m].leftBehind.files += left.files;
        results[m].leftBehind.folders += left.folders;
        // The next build needs the place empty; our own removal clears read-only bits.
        RemoveFolderTree(top);
        if (CountLeftovers(top).any()) {
          std::printf("\nremove_bench: %ls could not be cleared; stopping\n", top.c_str());
          status = 1;
          break;
        }
      }
    }
    std::printf("\n");
  }

  if (status == 0) PrintTable(methods, results, options);
  // A build that failed half way leaves its part behind.
  if (CountLeftovers(top).any()) RemoveFolderTree(top);
  RemoveDirectoryW(benchFolder.c_str());
  return status;
}
