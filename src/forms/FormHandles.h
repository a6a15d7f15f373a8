// Owners for the GUI handles the framework creates: GDI objects, icons, image
// lists and hooks. Built on the move-only UniqueHandle of the platform layer.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "UniqueHandle.h"

namespace qf {

template <typename T>
struct GdiObjectTraits {
  using Handle = T;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { DeleteObject(h); }
};

struct IconTraits {
  using Handle = HICON;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { DestroyIcon(h); }
};

struct ImageListTraits {
  using Handle = HIMAGELIST;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ImageList_Destroy(h); }
};

struct HookTraits {
  using Handle = HHOOK;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { UnhookWindowsHookEx(h); }
};

using UniqueFont = UniqueHandle<GdiObjectTraits<HFONT>>;
using UniqueBitmap = UniqueHandle<GdiObjectTraits<HBITMAP>>;
using UniqueIcon = UniqueHandle<IconTraits>;
using UniqueImageList = UniqueHandle<ImageListTraits>;
using UniqueHook = UniqueHandle<HookTraits>;

}  // namespace qf
