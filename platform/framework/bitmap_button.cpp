#include "platform/framework/bitmap_button.h"

namespace q407::framework {

BitmapButton::~BitmapButton() {
    FreePictures();
}

bool BitmapButton::Create(HWND parent, int id, const wchar_t* text, DWORD style, int x, int y,
                          int width, int height, HINSTANCE instance) {
    if (Handle() != nullptr) return false;
    HWND button = CreateWindowExW(0, L"BUTTON", text, style | WS_CHILD | BS_OWNERDRAW, x, y, width,
                                  height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                  instance, nullptr);
    if (button == nullptr) return false;
    if (!Subclass(button)) {
        DestroyWindow(button);
        return false;
    }
    return true;
}

bool BitmapButton::LoadBitmaps(HINSTANCE instance, const wchar_t* normal, const wchar_t* selected,
                               const wchar_t* focused, const wchar_t* disabled) {
    FreePictures();
    const wchar_t* names[kPictureCount] = {normal, selected, focused, disabled};
    for (int i = 0; i < kPictureCount; ++i) {
        if (names[i] != nullptr) pictures_[i] = LoadBitmapW(instance, names[i]);
    }
    return pictures_[kNormal] != nullptr;
}

bool BitmapButton::SetBitmaps(HBITMAP normal, HBITMAP selected, HBITMAP focused, HBITMAP disabled) {
    FreePictures();
    pictures_[kNormal] = normal;
    pictures_[kSelected] = selected;
    pictures_[kFocused] = focused;
    pictures_[kDisabled] = disabled;
    return normal != nullptr;
}

void BitmapButton::FreePictures() {
    for (HBITMAP& picture : pictures_) {
        if (picture != nullptr) DeleteObject(picture);
        picture = nullptr;
    }
}

void BitmapButton::SizeToContent() const {
    BITMAP info{};
    if (Handle() == nullptr || pictures_[kNormal] == nullptr ||
        GetObjectW(pictures_[kNormal], sizeof(info), &info) == 0)
        return;
    SetWindowPos(Handle(), nullptr, 0, 0, info.bmWidth, info.bmHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HBITMAP BitmapButton::ChoosePicture(UINT itemState) const {
    if ((itemState & ODS_DISABLED) != 0 && pictures_[kDisabled] != nullptr)
        return pictures_[kDisabled];
    if ((itemState & ODS_SELECTED) != 0 && pictures_[kSelected] != nullptr)
        return pictures_[kSelected];
    if ((itemState & ODS_FOCUS) != 0 && pictures_[kFocused] != nullptr) return pictures_[kFocused];
    return pictures_[kNormal];
}

bool BitmapButton::DrawItem(const DRAWITEMSTRUCT& item) {
    PaintPicture(item.hDC, item.rcItem, ChoosePicture(item.itemState));
    return true;
}

void BitmapButton::PaintPicture(HDC dc, const RECT& rect, HBITMAP picture) {
    if (picture == nullptr) return;
    BITMAP info{};
    if (GetObjectW(picture, sizeof(info), &info) == 0) return;
    HDC memory = CreateCompatibleDC(dc);
    if (memory == nullptr) return;
    HGDIOBJ old = SelectObject(memory, picture);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width == info.bmWidth && height == info.bmHeight) {
        BitBlt(dc, rect.left, rect.top, width, height, memory, 0, 0, SRCCOPY);
    } else {
        SetStretchBltMode(dc, COLORONCOLOR);
        StretchBlt(dc, rect.left, rect.top, width, height, memory, 0, 0, info.bmWidth,
                   info.bmHeight, SRCCOPY);
    }
    SelectObject(memory, old);
    DeleteDC(memory);
}

}  // namespace q407::framework
