#include "panel/widgets/zel_static.h"

#include "panel/widgets/paint_buffer.h"

namespace q407::panel {
namespace {

constexpr wchar_t kClassName[] = L"Q407ZELStatic";

HINSTANCE InstanceOf(HWND window) {
    return reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE));
}

}  // namespace

CZELStatic::~CZELStatic() {
    if (font_ != nullptr) DeleteObject(font_);
}

bool CZELStatic::Create(HWND parent, const RECT& rect, int id, COLORREF textColour,
                        COLORREF backColour, const wchar_t* text) {
    HINSTANCE instance = InstanceOf(parent);
    if (!RegisterWindowClass(instance, kClassName, CS_HREDRAW | CS_VREDRAW, nullptr)) return false;
    textColour_ = textColour;
    backColour_ = backColour;
    SetText(text);
    if (font_ == nullptr) {
        font_ = CreateFontW(12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            DEFAULT_PITCH | FF_SWISS, L"Arial");
    }
    return Window::Create(0, kClassName, L"static winodw", WS_CHILD | WS_VISIBLE, rect.left,
                          rect.top, rect.right - rect.left, rect.bottom - rect.top, parent, id,
                          instance);
}

void CZELStatic::SetText(const wchar_t* text) {
    int i = 0;
    if (text != nullptr) {
        for (; i < 63 && text[i] != 0; ++i) text_[i] = text[i];
    }
    text_[i] = 0;
    if (Handle() != nullptr) Invalidate(true);
}

void CZELStatic::SetMode(int mode) {
    mode_ = mode;
    if (Handle() != nullptr) Invalidate(true);
}

void CZELStatic::Paint() {
    PaintBuffer buffer(Handle());
    RECT client{0, 0, buffer.width(), buffer.height()};
    FillColour(buffer.dc(), client, backColour_);
    HGDIOBJ oldFont = font_ != nullptr ? SelectObject(buffer.dc(), font_) : nullptr;
    SetBkMode(buffer.dc(), TRANSPARENT);
    SetTextColor(buffer.dc(), textColour_);
    const UINT align = mode_ == kCentred ? DT_CENTER : (mode_ == kLeft ? DT_LEFT : DT_RIGHT);
    DrawTextW(buffer.dc(), text_, -1, &client, align | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    if (oldFont != nullptr) SelectObject(buffer.dc(), oldFont);
}

bool CZELStatic::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    switch (message) {
        case WM_PAINT:
            Paint();
            *result = 0;
            return true;
        case WM_ERASEBKGND:
            *result = 1;  // the paint fills everything
            return true;
        default:
            return Window::HandleMessage(message, wParam, lParam, result);
    }
}

}  // namespace q407::panel
