#include "panel/widgets/knob_control.h"

#include "panel/widgets/control_window.h"
#include "panel/widgets/knob_law.h"
#include "panel/widgets/mouse_position.h"
#include "panel/widgets/paint_buffer.h"

namespace {

using q407::panel::KnobLaw;

class Knob {
  public:
    using Record = KnobRecord;

    Knob(HWND window, Record& record) : window_(window), record_(record) {}

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
                record_.angle = Law().AngleOf(static_cast<int>(wParam));
                record_.position = Law().PositionOf(record_.angle);
                RedrawNow(window_);
                return previous;
            }
            case SBM_GETPOS:
                return record_.position;
            case WM_KEYDOWN:
                if (wParam == VK_UP || wParam == VK_DOWN) {
                    Turn(wParam == VK_UP ? KnobLaw::kRadiansPerStep : -KnobLaw::kRadiansPerStep);
                    Notify(SB_THUMBPOSITION);
                    return 0;
                }
                break;
            case WM_MOUSEWHEEL:
                if (int direction = WheelDirection(wParam); direction != 0) {
                    Turn(static_cast<float>(direction) * KnobLaw::kRadiansPerStep);
                    Notify(SB_THUMBPOSITION);
                }
                return 0;
            case WM_LBUTTONDOWN:
                SetFocus(window_);
                SetCapture(window_);
                record_.lastY = MouseY(lParam);
                return 0;
            case WM_MOUSEMOVE:
                if (GetCapture() == window_) {
                    int y = MouseY(lParam);
                    Turn(static_cast<float>(record_.lastY - y) * KnobLaw::kRadiansPerPixel);
                    record_.lastY = y;
                    Notify(SB_THUMBTRACK);
                }
                return 0;
            case WM_LBUTTONUP:
                if (GetCapture() == window_) {
                    ReleaseCapture();
                }
                return 0;
            case WM_SETFOCUS:
            case WM_KILLFOCUS:
                record_.focus = message == WM_SETFOCUS ? 1 : 0;
                InvalidateRect(window_, nullptr, FALSE);
                return 0;
            default:
                break;
        }
        return DefWindowProcW(window_, message, wParam, lParam);
    }

    void Destroy() {}

  private:
    KnobLaw Law() const {
        return KnobLaw{record_.minimumAngle, record_.maximumAngle, static_cast<int>(record_.steps)};
    }

    void Turn(float radians) {
        record_.angle = Law().Clamp(record_.angle + radians);
        record_.position = Law().PositionOf(record_.angle);
        RedrawNow(window_);
    }

    void Notify(WORD code) {
        PostMessageW(GetParent(window_), WM_HSCROLL,
                     MAKEWPARAM(code, static_cast<WORD>(record_.position)), HandleLowWord(window_));
    }

    void Paint() {
        PaintBuffer buffer(window_);
        HDC dc = buffer.dc();
        if (dc == nullptr) {
            return;
        }
        DrawBitmap(dc, record_.background, 0, 0, buffer.width(), buffer.height());
        HBITMAP pointer = record_.focus != 0 ? record_.focusedPointer : record_.unfocusedPointer;
        SIZE size = BitmapSize(pointer);
        q407::panel::KnobPoint centre =
            q407::panel::KnobPointerCentre(buffer.width() / 2, buffer.height() / 2,
                                           static_cast<int>(record_.radius), record_.angle);
        DrawBitmapTransparent(dc, pointer, centre.x - size.cx / 2, centre.y - size.cy / 2);
    }

    HWND window_;
    Record& record_;
};

}  // namespace

KnobRecord* KnobRecordOf(HWND knob) {
    return ControlRecordOf<KnobRecord>(knob);
}

LRESULT CALLBACK KnobWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    return ControlWindowProc<Knob>(window, message, wParam, lParam);
}
