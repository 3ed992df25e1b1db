#include "panel/widgets/text_button_control.h"

#include "panel/widgets/control_window.h"
#include "panel/widgets/text_button_base.h"

template <>
COLORREF TextButtonBase<TextButtonRecord>::DrawBackground(HDC dc, const RECT& client) {
    FillColour(dc, client, Checked() ? record_.checkedFillColour : record_.uncheckedFillColour);
    return Checked() ? record_.checkedTextColour : record_.uncheckedTextColour;
}

template <>
LPARAM TextButtonBase<TextButtonRecord>::NotifiedHandle() const {
    return reinterpret_cast<LPARAM>(window_);
}

TextButtonRecord* TextButtonRecordOf(HWND button) {
    return ControlRecordOf<TextButtonRecord>(button);
}

LRESULT CALLBACK TextButtonWindowProc(HWND window, UINT message, WPARAM wParam,
                                      LPARAM lParam) noexcept {
    return ControlWindowProc<TextButtonBase<TextButtonRecord>>(window, message, wParam, lParam);
}
