#include "U_DragDrop.h"

#include <shellapi.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "base/Errors.h"

namespace qf {
namespace {

// OLE for the program's thread, set up while the program starts.
struct OleStartup {
  OleStartup() { OleInitialize(nullptr); }
} const oleStartup;

volatile LONG destructions = 0;

DWORD CopyEffect(DWORD offered) {
  return (offered & DROPEFFECT_COPY) ? DROPEFFECT_COPY : DROPEFFECT_NONE;
}

void SetCopyEffect(DWORD* effect) {
  if (effect) *effect = CopyEffect(*effect);
}

// Keeps the target alive for the length of a call that may end its
// registration (a handler that revokes the drop, for example).
class KeepAlive {
 public:
  explicit KeepAlive(IUnknown* object) : object_(object) { object_->AddRef(); }
  ~KeepAlive() { object_->Release(); }
  KeepAlive(const KeepAlive&) = delete;
  KeepAlive& operator=(const KeepAlive&) = delete;

 private:
  IUnknown* object_;
};

// The storage medium of a CF_HDROP request. A drop handle that the receiver
// owns (no release object) is freed with DragFinish and nothing else; when the
// source keeps ownership through a release object, that object is released and
// the memory is left to the source. A medium of another kind is handed back
// to OLE unread.
class DropMedium {
 public:
  explicit DropMedium(IDataObject* data) {
    FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, 0, TYMED_HGLOBAL};
    data->GetData(&format, &medium_);
  }
  ~DropMedium() {
    if (medium_.tymed != TYMED_HGLOBAL) {
      if (medium_.tymed != TYMED_NULL) ReleaseStgMedium(&medium_);
    } else if (medium_.pUnkForRelease) {
      medium_.pUnkForRelease->Release();
    } else if (medium_.hGlobal) {
      DragFinish(static_cast<HDROP>(medium_.hGlobal));
    }
  }
  DropMedium(const DropMedium&) = delete;
  DropMedium& operator=(const DropMedium&) = delete;

  HDROP Handle() const {
    return medium_.tymed == TYMED_HGLOBAL ? static_cast<HDROP>(medium_.hGlobal) : nullptr;
  }

 private:
  STGMEDIUM medium_{};
};

}  // namespace

TMyDropTarget::TMyDropTarget(std::vector<std::string>* fileList) : FileList(fileList) {}

TMyDropTarget::~TMyDropTarget() { InterlockedIncrement(&destructions); }

long TMyDropTarget::Destructions() { return InterlockedCompareExchange(&destructions, 0, 0); }

HRESULT TMyDropTarget::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDropTarget)) {
    *object = static_cast<IDropTarget*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG TMyDropTarget::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }

ULONG TMyDropTarget::Release() {
  const LONG count = InterlockedDecrement(&refCount_);
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT TMyDropTarget::DragEnter(IDataObject*, DWORD, POINTL, DWORD* effect) {
  SetCopyEffect(effect);
  return S_OK;
}

HRESULT TMyDropTarget::DragOver(DWORD, POINTL, DWORD* effect) {
  SetCopyEffect(effect);
  return S_OK;
}

HRESULT TMyDropTarget::DragLeave() { return S_OK; }

HRESULT TMyDropTarget::Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) {
  SetCopyEffect(effect);
  const KeepAlive keepAlive(this);
  try {
    if (ReadDroppedFiles(data) > 0 && OnFilesDropped) OnFilesDropped(this);
  } catch (const std::exception& error) {
    ReportError(error);
  } catch (...) {
    ReportError(Exception("Erreur inconnue"));
  }
  return S_OK;
}

unsigned TMyDropTarget::ReadDroppedFiles(IDataObject* data) {
  if (!data) return 0;
  const DropMedium medium(data);
  const HDROP drop = medium.Handle();
  if (!drop) return 0;

  const UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
  std::vector<char> buffer;
  for (UINT i = 0; i < count; ++i) {
    const UINT length = DragQueryFileA(drop, i, nullptr, 0);
    if (length == 0) continue;
    buffer.assign(length + 1, '\0');
    const UINT copied = DragQueryFileA(drop, i, buffer.data(), length + 1);
    if (FileList) FileList->emplace_back(buffer.data(), std::min(copied, length));
  }
  return count;
}

void TMyDropTarget::ReportError(const std::exception& error) noexcept {
  if (!OnError) return;
  try {
    OnError(error);
  } catch (...) {
    // Nothing may leave Drop, not even from the reporting itself.
  }
}

TMyDropTarget* RegisterFileDrop(HWND window, std::vector<std::string>* fileList,
                                FilesDroppedHandler onFilesDropped, DropErrorHandler onError) {
  auto* target = new TMyDropTarget(fileList);
  target->OnFilesDropped = std::move(onFilesDropped);
  target->OnError = std::move(onError);
  // Our own reference for the length of the call: a registration that fails
  // after taking and dropping a reference cannot destroy the target under us,
  // and dropping ours afterwards destroys a target that was not registered.
  target->AddRef();
  const bool registered = RegisterDragDrop(window, target) == S_OK;
  target->Release();
  return registered ? target : nullptr;
}

bool RevokeFileDrop(HWND window) { return RevokeDragDrop(window) == S_OK; }

}  // namespace qf
