// Accepting files dragged onto a window from the shell (or from any OLE drag
// source that offers a CF_HDROP file list). The dropped full path names, in
// the system's ANSI code page, are appended to a list that the window owns,
// then the window's handler is called.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace qf {

class TMyDropTarget;

// Called after a drop that reported at least one file; the sender is the
// drop target, the names are in the window's own list.
using FilesDroppedHandler = std::function<void(TMyDropTarget* sender)>;

// Receives an error raised by the FilesDroppedHandler. The handler runs inside
// Drop, a call from the system's drag-and-drop machinery, so its errors are
// caught there and handed over here instead of escaping into that caller.
using DropErrorHandler = std::function<void(const std::exception& error)>;

// The drop target of one window. Reference-counted (atomic count, starting at
// zero); the system's reference taken by RegisterDragDrop is the only one, and
// the object destroys itself when RevokeDragDrop releases it.
class TMyDropTarget final : public IDropTarget {
 public:
  TMyDropTarget(const TMyDropTarget&) = delete;
  TMyDropTarget& operator=(const TMyDropTarget&) = delete;

  // IUnknown: answers IID_IUnknown and IID_IDropTarget.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDropTarget. Key state and point are ignored; the effect becomes exactly
  // DROPEFFECT_COPY when the offered effect has the copy bit, else
  // DROPEFFECT_NONE. Every operation returns S_OK.
  HRESULT STDMETHODCALLTYPE DragEnter(IDataObject* data, DWORD keyState, POINTL point,
                                      DWORD* effect) override;
  HRESULT STDMETHODCALLTYPE DragOver(DWORD keyState, POINTL point, DWORD* effect) override;
  HRESULT STDMETHODCALLTYPE DragLeave() override;
  // Appends the CF_HDROP names to FileList, frees the drop handle, then calls
  // OnFilesDropped when the list reported at least one file.
  HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD keyState, POINTL point,
                                 DWORD* effect) override;

  FilesDroppedHandler OnFilesDropped;
  std::vector<std::string>* FileList;
  DropErrorHandler OnError;

  // How many drop targets have been destroyed so far in this process.
  static long Destructions();

 private:
  friend TMyDropTarget* RegisterFileDrop(HWND, std::vector<std::string>*, FilesDroppedHandler,
                                         DropErrorHandler);

  explicit TMyDropTarget(std::vector<std::string>* fileList);
  ~TMyDropTarget();

  // Reads the file list of a drop into FileList; the number of files reported.
  unsigned ReadDroppedFiles(IDataObject* data);
  void ReportError(const std::exception& error) noexcept;

  volatile LONG refCount_ = 0;
};

// Registers a new drop target for the window. Null when RegisterDragDrop
// fails (for example when the window is registered already); the target is
// then destroyed and nothing is reported. fileList must outlive the
// registration.
TMyDropTarget* RegisterFileDrop(HWND window, std::vector<std::string>* fileList,
                                FilesDroppedHandler onFilesDropped, DropErrorHandler onError = {});

// Removes the window's registration; the system's release destroys the drop
// target. True when RevokeDragDrop returned S_OK.
bool RevokeFileDrop(HWND window);

// OleInitialize(nullptr) runs once while the program starts, before any
// window exists; its result is ignored and OLE is never uninitialized.

}  // namespace qf
