#include "bench_tree.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "scoped_handles.h"

namespace {

// A plain 32-bit linear congruential generator rather than <random>'s distributions, whose
// results differ between standard libraries: the tree is the same whatever compiled the
// benchmark. Its low bits are poor, so only the upper 16 are used.
class ShapeRandom {
 public:
  explicit ShapeRandom(std::uint32_t seed) : state_(seed) {}
  std::uint32_t Below(std::uint32_t bound) {
    state_ = state_ * 69069u + 1u;  // wraps modulo 2^32
    return (state_ >> 16) % bound;
  }

 private:
  std::uint32_t state_;
};

std::wstring Child(const std::wstring& parent, const std::wstring& name) {
  return parent.empty() ? name : parent + L'\\' + name;
}

// Says which call failed for which path; returns false for the caller to pass on.
bool Fail(const char* what, const std::wstring& path) {
  std::printf("\nremove_bench: %s failed (error %lu) for %ls\n", what, GetLastError(), path.c_str());
  return false;
}

void CountBelow(const std::wstring& folder, Leftovers& found) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle listing(FindFirstFileW((folder + L"\\*").c_str(), &entry));
  if (!listing) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      ++found.files;
    } else {
      ++found.folders;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) CountBelow(folder + L'\\' + name, found);
    }
  } while (FindNextFileW(listing.get(), &entry));
}

}  // namespace

BenchTree BenchTree::Make(const BenchTreeOptions& options) {
  BenchTree shape;
  ShapeRandom random(options.seed);

  // Folder 0 is the top one (path ""). Each new folder hangs below a folder picked at
  // random among those not yet at the depth limit, so the tree is bushy near the top
  // and reaches the limit in places, as installed programs do.
  std::vector<std::wstring> paths{L""};
  std::vector<int> depths{0};
  std::vector<int> canHoldFolders{0};
  for (int i = 1; i <= options.folders; ++i) {
    const int parent = canHoldFolders[random.Below(static_cast<std::uint32_t>(canHoldFolders.size()))];
    paths.push_back(Child(paths[parent], L"d" + std::to_wstring(i)));
    depths.push_back(depths[parent] + 1);
    if (depths.back() < options.maxDepth) canHoldFolders.push_back(i);
    shape.folders.push_back(paths.back());
  }

  // Files land in any folder, the top one included. The read-only ones are spread
  // evenly rather than drawn, so the share is exact for every seed.
  const long percent = options.readOnlyPercent;
  for (long j = 0; j < options.files; ++j) {
    const int folder = static_cast<int>(random.Below(static_cast<std::uint32_t>(paths.size())));
    const bool readOnly = (j + 1) * percent / 100 > j * percent / 100;
    shape.files.push_back({Child(paths[folder], L"f" + std::to_wstring(j) + L".dat"), readOnly});
  }
  return shape;
}

BenchTree BenchTree::PlaceAt(const std::wstring& top) const {
  const std::wstring extendedTop = L"\\\\?\\" + top;
  BenchTree placed;
  placed.folders.push_back(extendedTop);
  for (const std::wstring& folder : folders) placed.folders.push_back(Child(extendedTop, folder));
  for (const File& file : files) placed.files.push_back({Child(extendedTop, file.path), file.readOnly});
  return placed;
}

bool BuildTree(const std::wstring& top, const BenchTree& shape, int fileBytes) {
  if (!CreateDirectoryW(top.c_str(), nullptr)) return Fail("CreateDirectoryW", top);
  for (const std::wstring& folder : shape.folders) {
    const std::wstring path = Child(top, folder);
    if (!CreateDirectoryW(path.c_str(), nullptr)) return Fail("CreateDirectoryW", path);
  }
  const std::string payload(static_cast<size_t>(fileBytes), 'x');
  for (const BenchTree::File& file : shape.files) {
    const std::wstring path = Child(top, file.path);
    {
      UniqueFileHandle handle(
          CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!handle) return Fail("CreateFileW", path);
      DWORD written = 0;
      if (!WriteFile(handle.get(), payload.data(), static_cast<DWORD>(payload.size()), &written, nullptr) ||
          written != payload.size()) {
        return Fail("WriteFile", path);
      }
    }
    // Set once the file is closed: the bit would otherwise be on a file still being written.
    if (file.readOnly && !SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY)) {
      return Fail("SetFileAttributesW", path);
    }
  }
  return true;
}

Leftovers CountLeftovers(const std::wstring& top) {
  Leftovers found;
  const DWORD attributes = GetFileAttributesW(top.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return found;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    found.files = 1;
    return found;
  }
  found.folders = 1;
  CountBelow(top, found);
  return found;
}
