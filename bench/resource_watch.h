// What a removal holds while it runs, watched from another thread: the handles of this
// process and its working set.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

// The handles this process has open, or -1 when Windows will not count them. `table`
// receives the system's list of every process's handles; callers that count often keep it.
long CountOwnHandles(std::vector<ULONG_PTR>& table);

// Samples both for as long as it lives and keeps the highest figures above those of its
// first sample, which is taken before the constructor returns.
class ResourceWatch {
 public:
  ResourceWatch();
  ~ResourceWatch() { Stop(); }
  ResourceWatch(const ResourceWatch&) = delete;
  ResourceWatch& operator=(const ResourceWatch&) = delete;

  void Stop();
  // Read these once Stop has returned. The handle counts are -1 when Windows would not
  // count them.
  long BaseHandles() const { return baseHandles_; }
  long ExtraHandles() const { return baseHandles_ < 0 ? -1 : peakHandles_ - baseHandles_; }
  double BaseMegabytes() const { return static_cast<double>(baseWorkingSet_) / 1048576.0; }
  double ExtraMegabytes() const { return static_cast<double>(peakWorkingSet_ - baseWorkingSet_) / 1048576.0; }

 private:
  void Watch();

  std::vector<ULONG_PTR> buffer_;  // NtQuerySystemInformation's answer, kept between samples
  long baseHandles_ = -1;
  long peakHandles_ = -1;
  std::size_t baseWorkingSet_ = 0;
  std::size_t peakWorkingSet_ = 0;
  std::atomic<bool> started_{false};
  std::atomic<bool> running_{true};
  std::thread thread_;  // last: starts once the rest is set
};
