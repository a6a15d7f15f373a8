// The picture box: shows a GIF (or any picture OLE decodes: BMP, JPEG, ICO)
// loaded from the program's resources or from a file. It sizes itself to the
// picture.
#pragma once

#include <string>

#include "Control.h"
#include "FormHandles.h"

namespace qf {

class TImage : public TControl {
 public:
  TImage(TContainer& parent, const ControlArgs& args);
  ~TImage() override;

  // The picture stored as resource (type RCDATA) of this identifier. False
  // when it is missing or cannot be decoded; the box then stays as it was.
  bool LoadFromResource(int resourceId);
  bool LoadFromFile(const std::string& fileName);
  bool LoadFromMemory(const void* data, size_t size);

  // Size of the shown picture in pixels; 0 x 0 without one.
  SIZE PictureSize() const;
  HBITMAP Bitmap() const { return bitmap_.get(); }

 private:
  // Hands the bitmap to the static control. With common controls 6 the control
  // shows a copy of a bitmap that has an alpha channel, and gives that copy
  // back when replaced; the copy is then ours to delete.
  void ShowBitmap(HBITMAP bitmap);
  UniqueBitmap bitmap_;
};

}  // namespace qf
