// Owners for the GUI handles the framework creates: GDI objects, icons, image
// lists and hooks. Built on the move-only UniqueHandle of the platform layer.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "UniqueHandle.h"

namespace qf {

using UniqueFont = UniqueHandle<NullHandleTraits<HFONT, DeleteObject>>;
using UniqueBitmap = UniqueHandle<NullHandleTraits<HBITMAP, DeleteObject>>;
using UniqueIcon = UniqueHandle<NullHandleTraits<HICON, DestroyIcon>>;
using UniqueImageList = UniqueHandle<NullHandleTraits<HIMAGELIST, ImageList_Destroy>>;
using UniqueHook = UniqueHandle<NullHandleTraits<HHOOK, UnhookWindowsHookEx>>;

}  // namespace qf
