#include "panel/widgets/dial_control.h"

#include <algorithm>

#include "panel/widgets/control_window.h"
#include "panel/widgets/dial_angle.h"
#include "panel/widgets/mouse_position.h"
#include "panel/widgets/paint_buffer.h"

namespace {

class Dial {
  public:
    using Record = DialRecord;

    Dial(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_PAINT:
                Paint();
                return 0;
            case WM_ERASEBKGND:
                return 1;
            case WM_GETDLGCODE:
                return DLGC_WANTARROWS;
            case BM_SETCHECK:
                record_.enabled = wParam != 0 ? 1 : 0;
                InvalidateRect(window_, nullptr, FALSE);
                return 0;
            case BM_GETCHECK:
                return record_.enabled;
            case SBM_SETPOS: {
                LONG previous = record_.position;
                record_.position = Clamp(static_cast<int>(wParam));
                RedrawNow(window_);
                return previous;
            }
            case SBM_GETPOS:
                return record_.position;
            case WM_KEYDOWN:
                if (record_.enabled != 0 && (wParam == VK_UP || wParam == VK_DOWN)) {
                    Step(wParam == VK_UP ? 1 : -1);
                    return 0;
                }
                break;
            case WM_MOUSEWHEEL:
                if (int direction = WheelDirection(wParam);
                    record_.enabled != 0 && direction != 0) {
                    Step(8 * direction);
                }
                return 0;
            case WM_LBUTTONDOWN:
                if (record_.enabled != 0) {
                    SetFocus(window_);
                    SetCapture(window_);
                    record_.dragging = 1;
                    record_.changed = 0;
                    if (Follow(lParam)) {
                        Notify(SB_THUMBTRACK);
                    }
                }
                return 0;
            case WM_MOUSEMOVE:
                if (record_.dragging != 0 && Follow(lParam)) {
                    Notify(SB_THUMBTRACK);
                }
                return 0;
            case WM_LBUTTONUP:
                if (record_.dragging != 0) {
                    if (Follow(lParam)) {
                        Notify(SB_THUMBTRACK);
                    }
                    record_.dragging = 0;
                    ReleaseCapture();
                    if (record_.changed != 0) {
                        Notify(SB_THUMBPOSITION);
                    }
                }
                return 0;
            case WM_CAPTURECHANGED:
                record_.dragging = 0;
                return 0;
            case WM_SETFOCUS:
            case WM_KILLFOCUS:
                record_.focus = message == WM_SETFOCUS ? 1 : 0;
                return 0;
            default:
                break;
        }
        return DefWindowProcW(window_, message, wParam, lParam);
    }

    void Destroy() {}

  private:
    int Clamp(int position) const {
        return std::clamp(position, static_cast<int>(std::min(record_.minimum, record_.maximum)),
                          static_cast<int>(std::max(record_.minimum, record_.maximum)));
    }

    // Moves the position to the pointer's angle; true when it changed.
    bool Follow(LPARAM lParam) {
        double degrees = q407::panel::DialDegrees(
            MouseX(lParam) - record_.centreX, MouseY(lParam) - record_.centreY, record_.startAngle);
        int position = q407::panel::DialPosition(degrees, record_.minimum, record_.maximum);
        if (position == record_.position) {
            return false;
        }
        record_.position = position;
        record_.changed = 1;
        RedrawNow(window_);
        return true;
    }

    void Step(int amount) {
        record_.position = Clamp(record_.position + amount);
        RedrawNow(window_);
        Notify(SB_THUMBPOSITION);
    }

    void Notify(WORD code) {
        SendMessageW(GetParent(window_), WM_VSCROLL,
                     MAKEWPARAM(code, static_cast<WORD>(record_.position)),
                     reinterpret_cast<LPARAM>(window_));
    }

    void Paint() {
        PaintBuffer buffer(window_);
        HDC dc = buffer.dc();
        if (dc == nullptr) {
            return;
        }
        RECT client{0, 0, buffer.width(), buffer.height()};
        FillColour(dc, client, GetSysColor(COLOR_WINDOW));
        HBITMAP picture = record_.enabled == 0 && record_.disabledPicture != nullptr
                              ? record_.disabledPicture
                              : record_.enabledPicture;
        SIZE size = BitmapSize(picture);
        if (size.cy <= 0) {
            return;
        }
        int frames = size.cx >= size.cy ? static_cast<int>(size.cx / size.cy) : 1;
        int frameWidth = frames > 1 ? size.cy : size.cx;
        int frame =
            q407::panel::DialFrame(record_.position, record_.minimum, record_.maximum, frames);
        DrawBitmap(dc, picture, 0, 0, frameWidth, size.cy, frame * frameWidth, 0);
    }

    HWND window_;
    Record& record_;
};

}  // namespace

DialRecord* DialRecordOf(HWND dial) {
    return ControlRecordOf<DialRecord>(dial);
}

LRESULT CALLBACK DialWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    return ControlWindowProc<Dial>(window, message, wParam, lParam);
}
