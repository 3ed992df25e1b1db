#include "panel/widgets/toggle_control.h"

#include "panel/widgets/bitmap_cache.h"
#include "panel/widgets/control_window.h"
#include "panel/widgets/paint_buffer.h"

namespace {

class Toggle {
  public:
    using Record = ToggleRecord;

    Toggle(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_PAINT:
                Paint();
                return 0;
            case WM_ERASEBKGND:
                return 0;
            case WM_GETDLGCODE:
                return DLGC_WANTALLKEYS;
            case BM_GETCHECK:
                return record_.state == 1 ? 1 : 0;
            case BM_SETCHECK:
                if (wParam == 0 || wParam == 1) {
                    record_.state = static_cast<LONG>(wParam);
                }
                InvalidateRect(window_, nullptr, FALSE);
                return 0;
            case WM_LBUTTONDOWN:
                SetFocus(window_);
                SetCapture(window_);
                return 0;
            case WM_LBUTTONUP:
                Release();
                return 0;
            default:
                return DefWindowProcW(window_, message, wParam, lParam);
        }
    }

    void Destroy() {}

  private:
    void Paint() {
        PAINTSTRUCT paint{};
        HDC dc = BeginPaint(window_, &paint);
        if (dc != nullptr) {
            RECT client{};
            GetClientRect(window_, &client);
            HBITMAP picture =
                record_.state == 1 ? record_.checkedPicture : record_.uncheckedPicture;
            DrawBitmap(dc, picture, 0, 0, client.right, client.bottom);
        }
        EndPaint(window_, &paint);
    }

    void Release() {
        ReleaseCapture();
        record_.state = record_.state == 1 ? 0 : 1;
        int id = GetDlgCtrlID(window_);
        PostMessageW(GetParent(window_), WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), 1),
                     reinterpret_cast<LPARAM>(window_));
    }

    HWND window_;
    Record& record_;
};

}  // namespace

ToggleRecord* ToggleRecordOf(HWND toggle) {
    return ControlRecordOf<ToggleRecord>(toggle);
}

LRESULT CALLBACK ToggleWindowProc(HWND window, UINT message, WPARAM wParam,
                                  LPARAM lParam) noexcept {
    return ControlWindowProc<Toggle>(window, message, wParam, lParam);
}

HWND CreateToggle(HINSTANCE module, HWND parent, int id, int x, int y,
                  const wchar_t* checkedPicture, const wchar_t* uncheckedPicture) {
    HBITMAP checked = GetCachedBitmap(module, checkedPicture);
    HBITMAP unchecked = GetCachedBitmap(module, uncheckedPicture);
    SIZE size = BitmapSize(checked);
    HWND toggle =
        CreateWindowExW(0, kToggleClassName, L"", WS_CHILD, x, y, size.cx, size.cy, parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), module, nullptr);
    ToggleRecord* record = ToggleRecordOf(toggle);
    if (record == nullptr) {
        return nullptr;
    }
    record->state = 0;
    record->checkedPicture = checked;
    record->uncheckedPicture = unchecked;
    ShowWindow(toggle, SW_SHOWNORMAL);
    return toggle;
}
