#include "panel/widgets/state4_control.h"

#include "panel/widgets/control_window.h"
#include "panel/widgets/paint_buffer.h"

namespace {

class State4 {
  public:
    using Record = State4Record;

    State4(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_PAINT: {
                PaintBuffer buffer(window_);
                HBITMAP picture = record_.state >= 0 && record_.state <= 3
                                      ? record_.pictures[record_.state]
                                      : nullptr;
                DrawBitmap(buffer.dc(), picture, 0, 0, buffer.width(), buffer.height());
                return 0;
            }
            case WM_ERASEBKGND:
                return 1;
            case BM_GETCHECK:
                return record_.state;
            case BM_SETCHECK:
                if (wParam <= 3) {
                    record_.state = static_cast<LONG>(wParam);
                    InvalidateRect(window_, nullptr, FALSE);
                }
                return 0;
            default:
                return DefWindowProcW(window_, message, wParam, lParam);
        }
    }

    void Destroy() {}

  private:
    HWND window_;
    Record& record_;
};

}  // namespace

State4Record* State4RecordOf(HWND indicator) {
    return ControlRecordOf<State4Record>(indicator);
}

LRESULT CALLBACK State4WindowProc(HWND window, UINT message, WPARAM wParam,
                                  LPARAM lParam) noexcept {
    return ControlWindowProc<State4>(window, message, wParam, lParam);
}
