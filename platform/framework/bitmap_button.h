// An owner-drawn push button that shows one of four pictures: normal, selected (pressed),
// focused and disabled. The pictures are bitmap resources of the program, loaded by name; the
// button draws the one its state calls for, stretched to its rectangle when the sizes differ.
#pragma once

#include "platform/framework/window.h"

namespace q407::framework {

class BitmapButton : public Window {
  public:
    enum Picture { kNormal = 0, kSelected = 1, kFocused = 2, kDisabled = 3, kPictureCount = 4 };

    ~BitmapButton() override;

    // A child BS_OWNERDRAW push button at (x, y, width, height) of the parent, subclassed.
    bool Create(HWND parent, int id, const wchar_t* text, DWORD style, int x, int y, int width,
                int height, HINSTANCE instance);
    // Loads the pictures by resource name (null: none for that state); false when the normal
    // picture cannot be loaded. Earlier pictures are freed.
    bool LoadBitmaps(HINSTANCE instance, const wchar_t* normal, const wchar_t* selected = nullptr,
                     const wchar_t* focused = nullptr, const wchar_t* disabled = nullptr);
    // Takes pictures made by the program (the button frees them); false without a normal one.
    bool SetBitmaps(HBITMAP normal, HBITMAP selected = nullptr, HBITMAP focused = nullptr,
                    HBITMAP disabled = nullptr);
    // Resizes the button to its normal picture.
    void SizeToContent() const;
    HBITMAP PictureOf(Picture which) const { return pictures_[which]; }

  protected:
    // The picture for an item state: disabled, selected, focused, else normal, when loaded.
    virtual HBITMAP ChoosePicture(UINT itemState) const;
    bool DrawItem(const DRAWITEMSTRUCT& item) override;
    // Copies a picture into a rectangle of a device context.
    static void PaintPicture(HDC dc, const RECT& rect, HBITMAP picture);

  private:
    void FreePictures();
    HBITMAP pictures_[kPictureCount] = {};
};

}  // namespace q407::framework
