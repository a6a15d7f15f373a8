// A move-only owner for one Win32 handle. Each handle kind names its empty
// value and the call that closes it; the handle is closed when the owner is
// destroyed or reset, on every way out of a scope.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <utility>

namespace qf {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Traits::Invalid(); }

  // Gives the handle up without closing it.
  Handle release() noexcept { return std::exchange(handle_, Traits::Invalid()); }

  // Closes the current handle (if any) and takes the new one.
  void reset(Handle handle = Traits::Invalid()) noexcept {
    const Handle old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

  // For out-parameters: closes the current handle and hands out the slot.
  Handle* put() noexcept {
    reset();
    return &handle_;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

// Traits of a handle kind whose empty value is null, closed by CloseFn.
template <typename H, auto CloseFn>
struct NullHandleTraits {
  using Handle = H;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { CloseFn(h); }
};

// Find handles are the one kind whose empty value is INVALID_HANDLE_VALUE.
struct FindTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { FindClose(h); }
};

using UniqueRegKey = UniqueHandle<NullHandleTraits<HKEY, RegCloseKey>>;
using UniqueFind = UniqueHandle<FindTraits>;
using UniqueGlobal = UniqueHandle<NullHandleTraits<HGLOBAL, GlobalFree>>;
using UniqueDrop = UniqueHandle<NullHandleTraits<HDROP, DragFinish>>;
using UniqueWindow = UniqueHandle<NullHandleTraits<HWND, DestroyWindow>>;

}  // namespace qf
