#include "Image.h"

#include <ole2.h>
#include <olectl.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "Application.h"

namespace qf {

namespace {

// Decodes a picture into a bitmap of our own (the IPicture is released here).
HBITMAP DecodePicture(const void* data, size_t size) {
  if (!data || size == 0) return nullptr;
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
  if (!memory) return nullptr;
  if (void* target = GlobalLock(memory)) {
    memcpy(target, data, size);
    GlobalUnlock(memory);
  }
  IStream* stream = nullptr;
  if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream))) {
    GlobalFree(memory);
    return nullptr;
  }
  IPicture* picture = nullptr;
  HRESULT loaded = OleLoadPicture(stream, static_cast<LONG>(size), FALSE, IID_IPicture,
                                  reinterpret_cast<void**>(&picture));
  stream->Release();
  if (FAILED(loaded) || !picture) return nullptr;

  HBITMAP copy = nullptr;
  short type = PICTYPE_NONE;
  OLE_HANDLE handle = 0;
  if (SUCCEEDED(picture->get_Type(&type)) && type == PICTYPE_BITMAP &&
      SUCCEEDED(picture->get_Handle(&handle))) {
    copy = static_cast<HBITMAP>(CopyImage(reinterpret_cast<HBITMAP>(static_cast<UINT_PTR>(handle)),
                                          IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  }
  picture->Release();
  return copy;
}

}  // namespace

TImage::TImage(TContainer& parent, const ControlArgs& args)
    : TControl(parent, args, WC_STATICA, SS_BITMAP) {}

TImage::~TImage() {
  if (Handle()) ShowBitmap(nullptr);
}

void TImage::ShowBitmap(HBITMAP bitmap) {
  HBITMAP previous = reinterpret_cast<HBITMAP>(
      SendMessageA(Handle(), STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
  if (previous && previous != bitmap_.get()) DeleteObject(previous);
}

bool TImage::LoadFromMemory(const void* data, size_t size) {
  UniqueBitmap bitmap(DecodePicture(data, size));
  if (!bitmap) return false;
  ShowBitmap(bitmap.get());
  bitmap_ = std::move(bitmap);
  return true;
}

bool TImage::LoadFromResource(int resourceId) {
  HINSTANCE instance = Application().Instance();
  HRSRC resource = FindResourceA(instance, MAKEINTRESOURCEA(resourceId), MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (!resource) return false;
  HGLOBAL loaded = LoadResource(instance, resource);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  return LoadFromMemory(data, SizeofResource(instance, resource));
}

bool TImage::LoadFromFile(const std::string& fileName) {
  std::ifstream file(fileName, std::ios::binary);
  if (!file) return false;
  const std::vector<char> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return LoadFromMemory(data.data(), data.size());
}

SIZE TImage::PictureSize() const {
  BITMAP info{};
  if (!bitmap_ || !GetObjectA(bitmap_.get(), sizeof(info), &info)) return {0, 0};
  return {info.bmWidth, info.bmHeight};
}

}  // namespace qf
