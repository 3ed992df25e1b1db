#include "panel/widgets/state3_control.h"

#include "panel/widgets/control_window.h"
#include "panel/widgets/paint_buffer.h"

namespace {

class State3 {
  public:
    using Record = State3Record;

    State3(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_PAINT:
                Paint();
                return 0;
            case WM_ERASEBKGND:
                return 1;
            case BM_GETCHECK:
                return record_.state;
            case BM_SETCHECK:
                // Only the three states have a picture.
                if (wParam <= 2) {
                    record_.state = static_cast<LONG>(wParam);
                    InvalidateRect(window_, nullptr, FALSE);
                }
                return 0;
            case WM_LBUTTONDOWN:
                SetCapture(window_);
                SetFocus(window_);
                PostMessageW(GetParent(window_), WM_COMMAND,
                             static_cast<WPARAM>(GetDlgCtrlID(window_)), HandleLowWord(window_));
                return 0;
            case WM_LBUTTONUP:
                ReleaseCapture();
                return 0;
            default:
                return DefWindowProcW(window_, message, wParam, lParam);
        }
    }

    void Destroy() {}

  private:
    void Paint() {
        PaintBuffer buffer(window_);
        HBITMAP picture = record_.state == 1   ? record_.stateOnePicture
                          : record_.state == 2 ? record_.stateTwoPicture
                                               : record_.stateZeroPicture;
        DrawBitmap(buffer.dc(), picture, 0, 0, buffer.width(), buffer.height());
    }

    HWND window_;
    Record& record_;
};

}  // namespace

State3Record* State3RecordOf(HWND button) {
    return ControlRecordOf<State3Record>(button);
}

LRESULT CALLBACK State3WindowProc(HWND window, UINT message, WPARAM wParam,
                                  LPARAM lParam) noexcept {
    return ControlWindowProc<State3>(window, message, wParam, lParam);
}
