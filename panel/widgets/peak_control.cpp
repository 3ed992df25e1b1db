#include "panel/widgets/peak_control.h"

#include "panel/widgets/control_window.h"
#include "panel/widgets/level_bars.h"
#include "panel/widgets/paint_buffer.h"

namespace {

class Peak {
  public:
    using Record = PeakRecord;

    Peak(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_PAINT:
                Paint();
                return 0;
            case WM_ERASEBKGND:
                return 1;
            case kSetLevelsMessage: {
                LONG left = LOWORD(lParam);
                LONG right = HIWORD(lParam);
                record_.changed = left != record_.leftLevel || right != record_.rightLevel;
                record_.leftLevel = left;
                record_.rightLevel = right;
                if (record_.changed != 0) {
                    RedrawNow(window_);
                }
                return 0;
            }
            default:
                return DefWindowProcW(window_, message, wParam, lParam);
        }
    }

    void Destroy() {
        if (record_.unlitPicture != nullptr) {
            DeleteObject(record_.unlitPicture);
            record_.unlitPicture = nullptr;
        }
    }

  private:
    void Paint() {
        PaintBuffer buffer(window_);
        HDC dc = buffer.dc();
        if (dc == nullptr) {
            return;
        }
        RECT client{0, 0, buffer.width(), buffer.height()};
        FillColour(dc, client, RGB(0, 0, 0));
        SIZE lit = BitmapSize(record_.litPicture);
        int x = (client.right - 2 * lit.cx) / 2;
        DrawBar(dc, x, lit, record_.leftLevel);
        DrawBar(dc, x + lit.cx, lit, record_.rightLevel);
    }

    // The upper (100 - level) percent dark, the rest from the lit picture.
    void DrawBar(HDC dc, int x, SIZE lit, LONG level) {
        int dark = q407::panel::DarkRows(lit.cy, level);
        RECT darkRect{x, 0, x + lit.cx, dark};
        FillColour(dc, darkRect, RGB(0, 0, 0));
        DrawBitmap(dc, record_.litPicture, x, dark, lit.cx, lit.cy - dark, 0, dark);
    }

    HWND window_;
    Record& record_;
};

}  // namespace

PeakRecord* PeakRecordOf(HWND meter) {
    return ControlRecordOf<PeakRecord>(meter);
}

LRESULT CALLBACK PeakWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    return ControlWindowProc<Peak>(window, message, wParam, lParam);
}
