#include "panel/widgets/double_slider_control.h"

#include "panel/widgets/control_window.h"
#include "panel/widgets/level_bars.h"
#include "panel/widgets/mouse_position.h"
#include "panel/widgets/paint_buffer.h"
#include "panel/widgets/peak_control.h"
#include "panel/widgets/slider_scale.h"

namespace {

class DoubleSlider {
  public:
    using Record = DoubleSliderRecord;

    DoubleSlider(HWND window, Record& record) : window_(window), record_(record) {}

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
                LRESULT previous = Positions();
                record_.leftPosition = Travel().Clamp(static_cast<short>(LOWORD(wParam)));
                record_.rightPosition = Travel().Clamp(static_cast<short>(HIWORD(wParam)));
                RedrawNow(window_);
                return previous;
            }
            case SBM_GETPOS:
                return Positions();
            case kSetLevelsMessage: {
                LONG left = LOWORD(lParam);
                LONG right = HIWORD(lParam);
                record_.meterChanged = left != record_.leftLevel || right != record_.rightLevel;
                record_.leftLevel = left;
                record_.rightLevel = right;
                if (record_.meterChanged != 0) {
                    RedrawNow(window_);
                }
                return 0;
            }
            case WM_KEYDOWN:
                if ((wParam == VK_UP || wParam == VK_DOWN) && record_.activePart >= 0) {
                    Move(record_.activePart, wParam == VK_UP ? 1 : -1);
                    Notify(0);
                    return 0;
                }
                break;
            case WM_MOUSEWHEEL:
                Wheel(wParam, lParam);
                return 0;
            case WM_LBUTTONDOWN:
                SetFocus(window_);
                SetCapture(window_);
                record_.activePart = q407::panel::DoubleSliderPart(
                    MouseX(lParam), record_.firstSplit, record_.secondSplit);
                return 0;
            case WM_MOUSEMOVE:
                if (GetCapture() == window_) {
                    Follow(MouseY(lParam));
                    Notify(0);
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
                PostMessageW(GetParent(window_), WM_LBUTTONDBLCLK, 0, HandleLowWord(window_));
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

    LRESULT Positions() const {
        return static_cast<LRESULT>(static_cast<DWORD>(MAKELONG(
            static_cast<WORD>(record_.leftPosition), static_cast<WORD>(record_.rightPosition))));
    }

    // Sets the part's positions; returns 1 when the left moved plus 2 when the right moved.
    int Set(LONG part, int left, int right) {
        int moved = 0;
        if (part == 0 || part == 1) {
            left = Travel().Clamp(left);
            moved |= left != record_.leftPosition ? 1 : 0;
            record_.leftPosition = left;
        }
        if (part == 1 || part == 2) {
            right = Travel().Clamp(right);
            moved |= right != record_.rightPosition ? 2 : 0;
            record_.rightPosition = right;
        }
        if (moved != 0) {
            RedrawNow(window_);
        }
        return moved;
    }

    int Move(LONG part, int amount) {
        return Set(part, record_.leftPosition + amount, record_.rightPosition + amount);
    }

    void Follow(int y) {
        int value = Travel().ValueAt(y);
        Set(record_.activePart, value, value);
    }

    // The wheel moves the part under the pointer.
    void Wheel(WPARAM wParam, LPARAM lParam) {
        int direction = WheelDirection(wParam);
        if (direction == 0) {
            return;
        }
        POINT pointer{MouseX(lParam), MouseY(lParam)};  // screen coordinates
        ScreenToClient(window_, &pointer);
        LONG part =
            q407::panel::DoubleSliderPart(pointer.x, record_.firstSplit, record_.secondSplit);
        int moved = Move(part, 8 * direction);
        Notify(wParam + static_cast<WPARAM>(moved));
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
        int width = buffer.width();
        DrawBitmap(dc, record_.background, 0, 0, width, buffer.height());
        // Each thumb in the middle of its third, the meters in the middle third.
        HBITMAP thumb = record_.focus == 1 ? record_.focusedThumb : record_.unfocusedThumb;
        SIZE thumbSize = BitmapSize(thumb);
        DrawBitmapTransparent(dc, thumb, record_.firstSplit / 2 - thumbSize.cx / 2,
                              Travel().ThumbRow(record_.leftPosition) - thumbSize.cy / 2);
        DrawBitmapTransparent(dc, thumb, (record_.secondSplit + width) / 2 - thumbSize.cx / 2,
                              Travel().ThumbRow(record_.rightPosition) - thumbSize.cy / 2);
        SIZE meter = BitmapSize(record_.meterPicture);
        int middle = (record_.firstSplit + record_.secondSplit) / 2;
        int y = (buffer.height() - meter.cy) / 2;
        DrawMeter(dc, middle - meter.cx - 1, y, meter, record_.leftLevel);
        DrawMeter(dc, middle + 1, y, meter, record_.rightLevel);
    }

    void DrawMeter(HDC dc, int x, int y, SIZE meter, LONG level) {
        int dark = q407::panel::DarkRows(meter.cy, level);
        RECT darkRect{x, y, x + meter.cx, y + dark};
        FillColour(dc, darkRect, RGB(0, 0, 0));
        DrawBitmap(dc, record_.meterPicture, x, y + dark, meter.cx, meter.cy - dark, 0, dark);
    }

    HWND window_;
    Record& record_;
};

}  // namespace

DoubleSliderRecord* DoubleSliderRecordOf(HWND slider) {
    return ControlRecordOf<DoubleSliderRecord>(slider);
}

LRESULT CALLBACK DoubleSliderWindowProc(HWND window, UINT message, WPARAM wParam,
                                        LPARAM lParam) noexcept {
    return ControlWindowProc<DoubleSlider>(window, message, wParam, lParam);
}
