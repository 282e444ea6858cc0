// RemoveFolderTree on a very deep tree and a very large one, with the process's handle
// count and memory watched from another thread while it runs. ORVANTO_SCALE_FILES sets
// the size of the large tree (20,000 files by default; 100,000 takes a few minutes under
// Wine).
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "folder_tree.h"
#include "test_support.h"

namespace {

// The working set: Wine reports no private usage (0), but does report this.
SIZE_T MemoryInUse() {
  PROCESS_MEMORY_COUNTERS counters = {};
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.WorkingSetSize;
}

DWORD HandleCount() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
  // Wine answers 0. Its wineserver, which opens files for its clients, holds one Unix
  // descriptor per open file or folder handle: /proc/self, opened by the server, names
  // the server, so its descriptors rise and fall with this process's handles.
  WIN32_FIND_DATAW entry;
  UniqueFindHandle listing(FindFirstFileW(L"Z:\\proc\\self\\fd\\*", &entry));
  if (!listing) return 0;
  do ++count;
  while (FindNextFileW(listing.get(), &entry));
  return count;
}

// Samples the handle count and private memory for as long as it lives.
class ResourceWatch {
 public:
  ResourceWatch() : baseHandles_(HandleCount()), baseMemory_(MemoryInUse()), thread_([this] { Watch(); }) {}
  ~ResourceWatch() { Stop(); }
  void Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  DWORD ExtraHandles() const { return peakHandles_ > baseHandles_ ? peakHandles_ - baseHandles_ : 0; }
  double ExtraMegabytes() const { return peakMemory_ > baseMemory_ ? (peakMemory_ - baseMemory_) / 1048576.0 : 0; }

 private:
  void Watch() {
    while (running_) {
      peakHandles_ = std::max(peakHandles_.load(), HandleCount());
      peakMemory_ = std::max(peakMemory_.load(), MemoryInUse());
    }
  }
  const DWORD baseHandles_;
  const SIZE_T baseMemory_;
  std::atomic<DWORD> peakHandles_{0};
  std::atomic<SIZE_T> peakMemory_{0};
  std::atomic<bool> running_{true};
  std::thread thread_;  // last: starts once the rest is set
};

// Handles that come and go beside the listings: the file each deletion opens, the
// watcher's own listing and, under Wine, the other processes of the prefix.
constexpr DWORD kPassingHandles = 8;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(Scale, ADeepTreeHoldsOneListingPerLevel) {
  constexpr int kDepth = 200;
  ScratchFolder scratch;
  // \\?\ lets the chain be made past MAX_PATH on Windows too; the removal itself uses
  // plain paths, so there it stops where MAX_PATH does and leaves the rest.
  const std::wstring root = L"\\\\?\\" + scratch.path + L"\\OrvantoServer";
  std::wstring level = root;
  ASSERT_TRUE(MakeFolder(level));
  for (int depth = 0; depth < kDepth; ++depth) {
    // Beside each step of the chain, a folder with a file: twice as many folders as
    // levels, so a listing kept open too long shows.
    ASSERT_TRUE(MakeFolder(level + L"\\side"));
    ASSERT_TRUE(MakeFile(level + L"\\side\\file.txt", "side"));
    level += L"\\level" + std::to_wstring(depth);
    ASSERT_TRUE(MakeFolder(level));
  }
  ASSERT_TRUE(MakeFile(level + L"\\deepest.txt", "deep", FILE_ATTRIBUTE_READONLY));

  ResourceWatch watch;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(RemoveFolderTree(root.substr(4)));
  const double seconds = SecondsSince(start);
  watch.Stop();

  std::printf("depth %d: %.2f s, at most %lu more handles open, %.1f MB more memory in use\n", kDepth, seconds,
              watch.ExtraHandles(), watch.ExtraMegabytes());
  // One listing for the folder itself and one per level; the side folders are closed
  // before the chain goes on.
  EXPECT_LE(watch.ExtraHandles(), kDepth + 1 + kPassingHandles);
  if (RunningOnWine()) {
    EXPECT_FALSE(Exists(root));  // Wine has no MAX_PATH limit: all of it goes
  }
}

TEST(Scale, ManyFilesInBoundedMemory) {
  const int files = static_cast<int>(EnvironmentNumber("ORVANTO_SCALE_FILES", 20000));
  constexpr int kFilesPerFolder = 100;
  ScratchFolder scratch;
  const std::wstring root = scratch.path + L"\\ovt-server";
  ASSERT_TRUE(MakeFolder(root));
  auto start = std::chrono::steady_clock::now();
  std::wstring folder;
  for (int i = 0; i < files; ++i) {
    if (i % kFilesPerFolder == 0) {
      folder = root + L"\\folder " + std::to_wstring(i / kFilesPerFolder);
      ASSERT_TRUE(MakeFolder(folder));
    }
    ASSERT_TRUE(MakeFile(folder + L"\\file." + std::to_wstring(i), "x", i % 20 == 0 ? FILE_ATTRIBUTE_READONLY
                                                                                     : FILE_ATTRIBUTE_NORMAL));
  }
  const double madeIn = SecondsSince(start);

  ResourceWatch watch;
  start = std::chrono::steady_clock::now();
  EXPECT_TRUE(RemoveFolderTree(root));
  const double seconds = SecondsSince(start);
  watch.Stop();

  std::printf("%d files in %d folders: made in %.1f s, removed in %.1f s (%.0f files/s), at most %lu more handles "
              "open, %.1f MB more memory in use\n",
              files, files / kFilesPerFolder, madeIn, seconds, files / seconds, watch.ExtraHandles(),
              watch.ExtraMegabytes());
  EXPECT_FALSE(Exists(root));
  EXPECT_LE(watch.ExtraHandles(), 2 + kPassingHandles);  // the folder's listing and one subfolder's
  EXPECT_LT(watch.ExtraMegabytes(), 16.0);
}

}  // namespace
