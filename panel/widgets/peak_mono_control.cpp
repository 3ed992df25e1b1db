#include "panel/widgets/peak_mono_control.h"

#include "panel/widgets/control_window.h"
#include "panel/widgets/level_bars.h"
#include "panel/widgets/paint_buffer.h"
#include "panel/widgets/peak_control.h"

namespace {

class PeakMono {
  public:
    using Record = PeakMonoRecord;

    PeakMono(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_PAINT:
                Paint();
                return 0;
            case WM_ERASEBKGND:
                return 1;
            case kSetLevelsMessage: {
                LONG level = static_cast<LONG>(lParam);
                record_.changed = level != record_.level;
                record_.level = level;
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
        SIZE lit = BitmapSize(record_.litPicture);
        int unlit = q407::panel::UnlitRows(lit.cy, record_.level);
        DrawBitmap(dc, record_.unlitPicture, 0, 0, lit.cx, unlit);
        DrawBitmap(dc, record_.litPicture, 0, unlit, lit.cx, lit.cy - unlit, 0, unlit);
    }

    HWND window_;
    Record& record_;
};

}  // namespace

PeakMonoRecord* PeakMonoRecordOf(HWND meter) {
    return ControlRecordOf<PeakMonoRecord>(meter);
}

LRESULT CALLBACK PeakMonoWindowProc(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept {
    return ControlWindowProc<PeakMono>(window, message, wParam, lParam);
}
