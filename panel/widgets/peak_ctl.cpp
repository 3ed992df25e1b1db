#include "panel/widgets/peak_ctl.h"

#include "panel/widgets/bitmap_cache.h"
#include "panel/widgets/paint_buffer.h"

namespace q407::panel {
namespace {

constexpr wchar_t kClassName[] = L"Q407PeakCtl";

}  // namespace

bool CPeakCtl::Create(HWND parent, int x, int y, int id, HINSTANCE module, const wchar_t* unlit,
                      const wchar_t* lit) {
    if (unlit == nullptr || lit == nullptr) return false;
    unlit_ = GetCachedBitmap(module, unlit);
    lit_ = GetCachedBitmap(module, lit);
    if (unlit_ == nullptr || lit_ == nullptr) return false;
    const SIZE size = BitmapSize(unlit_);
    if (!RegisterWindowClass(module, kClassName, 0, nullptr)) return false;
    return Window::Create(0, kClassName, L"peak window", WS_CHILD | WS_VISIBLE, x, y, size.cx,
                          size.cy, parent, id, module);
}

void CPeakCtl::SetLevel(int level) {
    if (!bar_.Set(level)) return;
    if (Handle() != nullptr) RedrawNow(Handle());
    // The marker's window lies over this one and shows the bar too.
    if (overlay_ != nullptr && overlay_->Handle() != nullptr) RedrawNow(overlay_->Handle());
}

void CPeakCtl::PaintMeter(int barLevel, const HoldMarker* marker) {
    PaintBuffer buffer(Handle());
    const int width = buffer.width();
    const int height = buffer.height();
    DrawBitmap(buffer.dc(), unlit_, 0, 0, width, height);
    BarLevel shown = bar_;
    shown.level = barLevel;
    const int top = shown.LitTop(height);
    if (top < height) DrawBitmap(buffer.dc(), lit_, 0, top, width, height - top, 0, top);
    if (marker != nullptr && marker->hold > 0) {
        const RECT line{0, marker->Row(height), width, marker->Row(height) + 1};
        FillColour(buffer.dc(), line, static_cast<COLORREF>(marker->colour));
    }
}

void CPeakCtl::Paint() {
    PaintMeter(bar_.level, overlayMarker_);
}

bool CPeakCtl::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    switch (message) {
        case WM_PAINT:
            Paint();
            *result = 0;
            return true;
        case WM_ERASEBKGND:
            *result = 1;
            return true;
        default:
            return Window::HandleMessage(message, wParam, lParam, result);
    }
}

}  // namespace q407::panel
