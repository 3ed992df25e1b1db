#include "panel/widgets/digit_control.h"

#include "panel/widgets/control_window.h"
#include "panel/widgets/digit_counter.h"
#include "panel/widgets/paint_buffer.h"

namespace {

class Digit {
  public:
    using Record = DigitRecord;

    Digit(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_PAINT:
                Paint();
                return 0;
            case WM_ERASEBKGND:
                return 1;
            case WM_SETFONT:
                SetFont(reinterpret_cast<HFONT>(wParam));
                if (LOWORD(lParam) != 0) {
                    InvalidateRect(window_, nullptr, FALSE);
                }
                return 0;
            case WM_GETFONT:
                return reinterpret_cast<LRESULT>(record_.font);
            case SBM_SETPOS: {
                LONG previous = record_.value;
                record_.value = q407::panel::DigitCounterValue(
                    static_cast<int>(wParam), record_.upperBound, record_.wrapValue);
                InvalidateRect(window_, nullptr, FALSE);
                return previous;
            }
            case SBM_GETPOS:
                return record_.value;
            case WM_MOUSEMOVE:
                if (GetForegroundWindow() == GetParent(window_)) {
                    SetFocus(window_);
                }
                return 0;
            default:
                return DefWindowProcW(window_, message, wParam, lParam);
        }
    }

    void Destroy() { SetFont(nullptr); }

  private:
    // The counter owns its font: a font it is given replaces, and deletes, the one it had.
    void SetFont(HFONT font) {
        if (record_.font != nullptr && record_.font != font) {
            DeleteObject(record_.font);
        }
        record_.font = font;
    }

    void Paint() {
        PaintBuffer buffer(window_);
        HDC dc = buffer.dc();
        if (dc == nullptr) {
            return;
        }
        RECT client{0, 0, buffer.width(), buffer.height()};
        FillColour(dc, client, record_.fillColour);
        char digits[16];
        std::size_t length = q407::panel::FormatTwoDigits(record_.value, digits, sizeof digits);
        wchar_t text[16];
        for (std::size_t i = 0; i <= length; ++i) {
            text[i] = static_cast<wchar_t>(digits[i]);
        }
        HGDIOBJ previousFont = record_.font != nullptr ? SelectObject(dc, record_.font) : nullptr;
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, record_.textColour);
        DrawTextW(dc, text, static_cast<int>(length), &client,
                  DT_SINGLELINE | DT_CENTER | DT_VCENTER);
        if (previousFont != nullptr) {
            SelectObject(dc, previousFont);
        }
    }

    HWND window_;
    Record& record_;
};

}  // namespace

DigitRecord* DigitRecordOf(HWND counter) {
    return ControlRecordOf<DigitRecord>(counter);
}

LRESULT CALLBACK DigitWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    return ControlWindowProc<Digit>(window, message, wParam, lParam);
}
