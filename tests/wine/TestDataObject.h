// A data object for the drop tests: it offers clipboard formats held in
// memory, each handed out as a fresh global memory block (the receiver owns
// it) or, on request, kept by the object behind a release object.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <shlobj.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace qf::test {

// A COM object that only counts its references; it lives on the stack.
class CountedUnknown : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  long references = 1;
};

// The bytes of a CF_HDROP block (DROPFILES and a double-NUL-ended list).
inline std::vector<char> DropFilesBlock(const std::vector<std::wstring>& names, bool wide) {
  DROPFILES header{};
  header.pFiles = sizeof header;
  header.fWide = wide;
  std::vector<char> block(reinterpret_cast<const char*>(&header),
                          reinterpret_cast<const char*>(&header) + sizeof header);
  auto append = [&block](const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    block.insert(block.end(), bytes, bytes + size);
  };
  for (const std::wstring& name : names) {
    if (wide) {
      append(name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    } else {
      const std::string ansi(name.begin(), name.end());  // test names are ASCII
      append(ansi.c_str(), ansi.size() + 1);
    }
  }
  // The list ends with an empty name; an empty list is two NULs, as the
  // shell writes it.
  const wchar_t end[2] = {0, 0};
  append(end, (names.empty() ? 2 : 1) * (wide ? sizeof(wchar_t) : 1));
  return block;
}

class TestDataObject : public IDataObject {
 public:
  enum class Medium { Owned, KeptBySource, Stream };

  void Offer(CLIPFORMAT format, std::vector<char> bytes) { formats_[format] = std::move(bytes); }
  void SetMedium(Medium medium) { medium_ = medium; }

  HGLOBAL lastHandle = nullptr;   // the last block handed out
  CountedUnknown keeper;          // release object of Medium::KeptBySource
  IStream* lastStream = nullptr;  // the stream of Medium::Stream (one reference kept here)
  int getDataCalls = 0;

  ~TestDataObject() {
    if (medium_ == Medium::KeptBySource && lastHandle) GlobalFree(lastHandle);
    if (lastStream) lastStream->Release();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDataObject)) {
      *object = static_cast<IDataObject*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

  HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override {
    ++getDataCalls;
    const auto found = formats_.find(format->cfFormat);
    if (found == formats_.end() || !(format->tymed & TYMED_HGLOBAL)) return DV_E_FORMATETC;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, found->second.size());
    std::memcpy(GlobalLock(block), found->second.data(), found->second.size());
    GlobalUnlock(block);
    *medium = STGMEDIUM{};
    switch (medium_) {
      case Medium::Owned:
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = block;
        break;
      case Medium::KeptBySource:
        if (lastHandle) GlobalFree(lastHandle);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = block;
        medium->pUnkForRelease = &keeper;
        keeper.AddRef();
        break;
      case Medium::Stream:
        if (lastStream) lastStream->Release();
        CreateStreamOnHGlobal(block, TRUE, &lastStream);
        lastStream->AddRef();
        medium->tymed = TYMED_ISTREAM;
        medium->pstm = lastStream;
        break;
    }
    lastHandle = block;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override {
    return formats_.count(format->cfFormat) ? S_OK : DV_E_FORMATETC;
  }
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
    if (out) out->ptd = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
    return OLE_E_ADVISENOTSUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override {
    return OLE_E_ADVISENOTSUPPORTED;
  }

 private:
  std::map<CLIPFORMAT, std::vector<char>> formats_;
  Medium medium_ = Medium::Owned;
  long references_ = 1;
};

}  // namespace qf::test
