// Owners for the kinds of handle the program and its tools open, each named for the call
// that closes it. The HANDLE owners all take any HANDLE, one type to the compiler: the
// caller picks the owner whose call fits what opened the handle.
#pragma once

#include <windows.h>

#include <utility>

// Owns one handle of type `Handle`, closed by `Close`. `kInvalid` is the value that means
// "no handle": 0 for most calls, -1 (INVALID_HANDLE_VALUE) for CreateFileW and
// FindFirstFileW.
template <typename Handle, auto Close, INT_PTR kInvalid = 0>
class UniqueAny {
 public:
  UniqueAny() = default;
  explicit UniqueAny(Handle handle) : handle_(handle) {}
  UniqueAny(UniqueAny&& other) noexcept : handle_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  ~UniqueAny() { reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Invalid(); }
  Handle release() { return std::exchange(handle_, Invalid()); }
  void reset(Handle handle = Invalid()) {
    if (handle_ != Invalid()) Close(handle_);
    handle_ = handle;
  }

 private:
  // NOLINTNEXTLINE(performance-no-int-to-ptr): Windows' "no handle" values are small numbers
  static Handle Invalid() { return reinterpret_cast<Handle>(kInvalid); }

  Handle handle_ = Invalid();
};

using UniqueFindHandle = UniqueAny<HANDLE, FindClose, -1>;
using UniqueHkey = UniqueAny<HKEY, RegCloseKey>;
using UniqueHandle = UniqueAny<HANDLE, CloseHandle>;
using UniqueFileHandle = UniqueAny<HANDLE, CloseHandle, -1>;
