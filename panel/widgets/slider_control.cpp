#include "panel/widgets/slider_control.h"

#include <cstdlib>

#include "panel/widgets/control_window.h"
#include "panel/widgets/mouse_position.h"
#include "panel/widgets/paint_buffer.h"
#include "panel/widgets/slider_scale.h"

namespace {

class Slider {
  public:
    using Record = SliderRecord;

    Slider(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_PAINT:
                Paint();
                return 0;
            case WM_ERASEBKGND:
                return 1;
            case WM_GETDLGCODE:
                return DLGC_WANTARROWS;
            case SBM_SETPOS: {
                LONG previous = record_.position;
                record_.position = Travel().Clamp(static_cast<int>(wParam));
                RedrawNow(window_);
                return previous;
            }
            case SBM_GETPOS:
                return record_.position;
            case WM_KEYDOWN:
                if (wParam == VK_UP || wParam == VK_DOWN) {
                    Step(wParam == VK_UP ? 1 : -1);
                    return 0;
                }
                break;
            case WM_MOUSEWHEEL:
                if (int direction = WheelDirection(wParam); direction != 0) {
                    Step(8 * direction);
                }
                return 0;
            case WM_LBUTTONDOWN:
                Press(MouseY(lParam));
                return 0;
            case WM_MOUSEMOVE:
                if (GetCapture() == window_) {
                    Follow(MouseY(lParam));
                    Notify(MAKEWPARAM(SB_THUMBTRACK, static_cast<WORD>(record_.position)));
                }
                return 0;
            case WM_LBUTTONUP:
                if (GetCapture() == window_) {
                    Follow(MouseY(lParam));
                    ReleaseCapture();
                    Notify(0);
                }
                return 0;
            case WM_LBUTTONDBLCLK:
                PostMessageW(GetParent(window_), WM_LBUTTONDBLCLK, 0,
                             reinterpret_cast<LPARAM>(window_));
                return 0;
            case WM_SETFOCUS:
            case WM_KILLFOCUS:
                record_.focus = message == WM_SETFOCUS ? 1 : -1;
                InvalidateRect(window_, nullptr, FALSE);
                return 0;
            default:
                break;
        }
        return DefWindowProcW(window_, message, wParam, lParam);
    }

    void Destroy() {
        if (record_.background != nullptr) {
            DeleteObject(record_.background);
            record_.background = nullptr;
        }
    }

  private:
    q407::panel::VerticalTravel Travel() const {
        return {record_.bottom, record_.top, record_.minimum, record_.maximum};
    }

    HBITMAP Thumb() const {
        return record_.focus == 1 ? record_.focusedThumb : record_.unfocusedThumb;
    }

    void Step(int amount) {
        record_.position = Travel().Clamp(record_.position + amount);
        RedrawNow(window_);
        Notify(MAKEWPARAM(SB_THUMBPOSITION, 0));
    }

    // A press on the thumb keeps the pointer where it took the thumb; elsewhere the thumb's
    // centre jumps to the pointer at the first move.
    void Press(int y) {
        SetFocus(window_);
        SetCapture(window_);
        int row = Travel().ThumbRow(record_.position);
        int half = BitmapSize(Thumb()).cy / 2;
        record_.thumbOffset = std::abs(y - row) <= half ? y - row : 0;
    }

    void Follow(int y) {
        record_.position = Travel().ValueAt(y - record_.thumbOffset);
        RedrawNow(window_);
    }

    void Notify(WPARAM wParam) {
        SendMessageW(GetParent(window_), WM_VSCROLL, wParam, reinterpret_cast<LPARAM>(window_));
    }

    void Paint() {
        PaintBuffer buffer(window_);
        HDC dc = buffer.dc();
        if (dc == nullptr) {
            return;
        }
        DrawBitmap(dc, record_.background, 0, 0, buffer.width(), buffer.height());
        int row = Travel().ThumbRow(record_.position);
        if (record_.fill != nullptr && row < buffer.height()) {
            DrawBitmap(dc, record_.fill, 0, row, buffer.width(), buffer.height() - row, 0, row);
        }
        SIZE thumb = BitmapSize(Thumb());
        DrawBitmapTransparent(dc, Thumb(), (buffer.width() - thumb.cx) / 2, row - thumb.cy / 2);
    }

    HWND window_;
    Record& record_;
};

}  // namespace

SliderRecord* SliderRecordOf(HWND slider) {
    return ControlRecordOf<SliderRecord>(slider);
}

LRESULT CALLBACK SliderWindowProc(HWND window, UINT message, WPARAM wParam,
                                  LPARAM lParam) noexcept {
    return ControlWindowProc<Slider>(window, message, wParam, lParam);
}
