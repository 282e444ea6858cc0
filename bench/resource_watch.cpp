#include "resource_watch.h"

#include <psapi.h>

#include <algorithm>

// SystemExtendedHandleInformation (class 64) lists every handle of every process with its
// owner's id. GetProcessHandleCount would be simpler, but Wine answers it with 0.
// winternl.h's SYSTEM_INFORMATION_CLASS has no such member, and the layout below is
// Windows' own, so the call is declared here.
extern "C" __declspec(dllimport) LONG NTAPI
    NtQuerySystemInformation(ULONG infoClass, PVOID info, ULONG length, PULONG returned);

namespace {

constexpr ULONG kExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004L);

struct HandleEntry {
  PVOID object;
  ULONG_PTR uniqueProcessId;
  ULONG_PTR handleValue;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG handleAttributes;
  ULONG reserved;
};

struct HandleTable {
  ULONG_PTR numberOfHandles;
  ULONG_PTR reserved;
  HandleEntry handles[1];
};

std::size_t WorkingSet() {
  PROCESS_MEMORY_COUNTERS counters{};
  return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.WorkingSetSize : 0;
}

}  // namespace

ResourceWatch::ResourceWatch() : buffer_(1 << 16), thread_([this] { Watch(); }) {
  while (!started_) std::this_thread::yield();
}

void ResourceWatch::Stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
}

// The first sample is taken here, with this thread already running, so that its own
// handle and stack are part of the base rather than of the removal.
void ResourceWatch::Watch() {
  baseHandles_ = peakHandles_ = CountOwnHandles(buffer_);
  baseWorkingSet_ = peakWorkingSet_ = WorkingSet();
  started_ = true;
  while (running_) {
    peakHandles_ = std::max(peakHandles_, CountOwnHandles(buffer_));
    peakWorkingSet_ = std::max(peakWorkingSet_, WorkingSet());
  }
}

long CountOwnHandles(std::vector<ULONG_PTR>& table) {
  if (table.size() < (1 << 16)) table.resize(1 << 16);
  LONG status;
  for (;;) {
    ULONG needed = 0;
    const ULONG bytes = static_cast<ULONG>(table.size() * sizeof(ULONG_PTR));
    status = NtQuerySystemInformation(kExtendedHandleInformation, table.data(), bytes, &needed);
    if (status != kInfoLengthMismatch) break;
    // Other processes open handles meanwhile: room for more than asked for.
    table.resize(std::max<std::size_t>(table.size() * 2, needed / sizeof(ULONG_PTR) * 2));
  }
  if (status < 0) return -1;
  const auto* list = reinterpret_cast<const HandleTable*>(table.data());
  const std::size_t room = (table.size() * sizeof(ULONG_PTR) - offsetof(HandleTable, handles)) / sizeof(HandleEntry);
  const std::size_t entries = std::min<std::size_t>(list->numberOfHandles, room);
  const ULONG_PTR ours = GetCurrentProcessId();
  long count = 0;
  for (std::size_t i = 0; i < entries; ++i) {
    if (list->handles[i].uniqueProcessId == ours) ++count;
  }
  return count;
}
