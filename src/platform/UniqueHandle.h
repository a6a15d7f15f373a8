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

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { RegCloseKey(h); }
};

struct FindTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { FindClose(h); }
};

struct GlobalTraits {
  using Handle = HGLOBAL;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { GlobalFree(h); }
};

struct DropTraits {
  using Handle = HDROP;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { DragFinish(h); }
};

struct WindowTraits {
  using Handle = HWND;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { DestroyWindow(h); }
};

using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueFind = UniqueHandle<FindTraits>;
using UniqueGlobal = UniqueHandle<GlobalTraits>;
using UniqueDrop = UniqueHandle<DropTraits>;
using UniqueWindow = UniqueHandle<WindowTraits>;

}  // namespace qf
