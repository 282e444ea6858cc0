// The tree the benchmark removes: a deterministic shape, laid out on disk as often as the
// runs need it. bench/rm-rf-floor has remove_bench make it too, so there is one recipe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BenchTreeOptions {
  int files = 20000;
  int folders = 2000;  // below the top folder
  int maxDepth = 6;    // of a folder below the top one, which is at depth 0
  int readOnlyPercent = 5;
  int fileBytes = 1024;
  std::uint32_t seed = 1;
};

struct BenchTree {
  // Relative paths with backslashes, parents before their children.
  std::vector<std::wstring> folders;
  struct File {
    std::wstring path;
    bool readOnly;
  };
  std::vector<File> files;

  static BenchTree Make(const BenchTreeOptions& options);
  // The same tree at `top`: absolute extended-length paths ("\\?\"), `top` the first folder.
  BenchTree PlaceAt(const std::wstring& top) const;
};

// Creates `top` and the whole shape below it, each file holding `fileBytes` bytes.
// Returns false, having said why on stdout, when anything could not be made.
bool BuildTree(const std::wstring& top, const BenchTree& shape, int fileBytes);

struct Leftovers {
  long files = 0;
  long folders = 0;  // the top folder included
  bool any() const { return files + folders > 0; }
};

// What is still at `top` and below it; nothing when `top` is gone.
Leftovers CountLeftovers(const std::wstring& top);
