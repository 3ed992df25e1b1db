#include "panel/widgets/fader_ctl.h"

#include <windowsx.h>

#include "panel/widgets/bitmap_cache.h"
#include "panel/widgets/paint_buffer.h"

namespace q407::panel {
namespace {

constexpr wchar_t kClassName[] = L"Q407FaderCtl";

}  // namespace

bool CFaderCtl::Create(HWND owner, int x, int y, int id, HINSTANCE module, const wchar_t* track,
                       const wchar_t* knob, const wchar_t* knobFocused) {
    if (track == nullptr || knob == nullptr) return false;
    track_ = GetCachedBitmap(module, track);
    knob_ = GetCachedBitmap(module, knob);
    knobFocused_ = knobFocused != nullptr ? GetCachedBitmap(module, knobFocused) : nullptr;
    if (track_ == nullptr || knob_ == nullptr) return false;
    const SIZE size = BitmapSize(track_);
    knobSize_ = BitmapSize(knob_);
    law_.trackHeight = size.cy;
    law_.knobHeight = knobSize_.cy;
    owner_ = owner;
    if (!RegisterWindowClass(module, kClassName, 0, nullptr)) return false;
    return Window::Create(0, kClassName, L"peak window", WS_CHILD | WS_VISIBLE, x, y, size.cx,
                          size.cy, owner, id, module);
}

void CFaderCtl::SetPosition(int position) {
    position_ = law_.Clamp(position);
    if (Handle() != nullptr) RedrawNow(Handle());
}

void CFaderCtl::Moved(int position) {
    position_ = law_.Clamp(position);
    if (owner_ != nullptr) {
        PostMessageW(owner_, WM_VSCROLL, SB_THUMBPOSITION, HandleLowWord(Handle()));
    }
    RedrawNow(Handle());
}

void CFaderCtl::Paint() {
    PaintBuffer buffer(Handle());
    DrawBitmap(buffer.dc(), track_, 0, 0, buffer.width(), buffer.height());
    HBITMAP knob = focused_ && knobFocused_ != nullptr ? knobFocused_ : knob_;
    DrawBitmap(buffer.dc(), knob, 0, law_.KnobTop(position_), knobSize_.cx, knobSize_.cy);
}

bool CFaderCtl::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    *result = 0;
    switch (message) {
        case WM_PAINT:
            Paint();
            return true;
        case WM_ERASEBKGND:
            *result = 1;
            return true;
        case WM_LBUTTONDOWN:
            SetFocus(Handle());
            SetCapture(Handle());
            return true;
        case WM_MOUSEMOVE: {
            if (wParam == 0) {
                if (GetFocus() != Handle()) SetFocus(Handle());
                return true;
            }
            RECT client{};
            GetClientRect(Handle(), &client);
            const POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (PtInRect(&client, point)) Moved(law_.PositionAt(point.y));
            return true;
        }
        case WM_LBUTTONUP:
            Moved(law_.PositionAt(GET_Y_LPARAM(lParam)));
            ReleaseCapture();
            return true;
        case WM_KEYDOWN:
            if (wParam == VK_UP || wParam == VK_DOWN) {
                Moved(law_.Step(position_, wParam == VK_UP ? 1 : -1));
                return true;
            }
            return false;
        case WM_GETDLGCODE:
            *result = DLGC_WANTARROWS;
            return true;
        case WM_MOUSEWHEEL:
            Moved(law_.Step(position_, GET_WHEEL_DELTA_WPARAM(wParam) > 0 ? 1 : -1));
            return true;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            focused_ = message == WM_SETFOCUS;
            RedrawNow(Handle());
            return true;
        default:
            return Window::HandleMessage(message, wParam, lParam, result);
    }
}

}  // namespace q407::panel
