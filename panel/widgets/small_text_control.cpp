#include "panel/widgets/small_text_control.h"

#include "panel/widgets/control_font.h"
#include "panel/widgets/control_window.h"
#include "panel/widgets/paint_buffer.h"
#include "panel/widgets/record_text.h"

namespace {

class SmallText {
  public:
    using Record = SmallTextRecord;

    SmallText(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_SETTEXT:
                CopyRecordText(record_.text, reinterpret_cast<const wchar_t*>(lParam));
                InvalidateRect(window_, nullptr, TRUE);
                return 0;
            case WM_GETTEXT:
                return GetText(wParam, reinterpret_cast<wchar_t*>(lParam));
            case WM_GETTEXTLENGTH:
                return static_cast<LRESULT>(RecordTextLength(record_.text));
            case WM_PAINT:
                Paint();
                return 0;
            case WM_ERASEBKGND:
                return 0;
            default:
                return DefWindowProcW(window_, message, wParam, lParam);
        }
    }

    void Destroy() {}

  private:
    // The record holds the text, not the window: answer from it so that the text shown can be
    // read back.
    LRESULT GetText(WPARAM capacity, wchar_t* buffer) const {
        if (buffer == nullptr || capacity == 0) {
            return 0;
        }
        std::size_t length = RecordTextLength(record_.text);
        if (length >= capacity) {
            length = capacity - 1;
        }
        for (std::size_t i = 0; i < length; ++i) {
            buffer[i] = record_.text[i];
        }
        buffer[length] = L'\0';
        return static_cast<LRESULT>(length);
    }

    void Paint() {
        PaintBuffer buffer(window_);
        HDC dc = buffer.dc();
        if (dc == nullptr) {
            return;
        }
        RECT client{0, 0, buffer.width(), buffer.height()};
        FillColour(dc, client, record_.fillColour);
        HGDIOBJ previousFont = SelectObject(dc, GetControlFont());
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, record_.textColour);
        SetTextAlign(dc, TA_CENTER | TA_TOP);
        TextOutW(dc, buffer.width() / 2, 0, record_.text,
                 static_cast<int>(RecordTextLength(record_.text)));
        SelectObject(dc, previousFont);
    }

    HWND window_;
    Record& record_;
};

}  // namespace

SmallTextRecord* SmallTextRecordOf(HWND label) {
    return ControlRecordOf<SmallTextRecord>(label);
}

LRESULT CALLBACK SmallTextWindowProc(HWND window, UINT message, WPARAM wParam,
                                     LPARAM lParam) noexcept {
    return ControlWindowProc<SmallText>(window, message, wParam, lParam);
}
