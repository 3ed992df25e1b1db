#include "panel/widgets/picture_text_button_control.h"

#include "panel/widgets/control_window.h"
#include "panel/widgets/text_button_base.h"

template <>
COLORREF TextButtonBase<PictureTextButtonRecord>::DrawBackground(HDC dc, const RECT& client) {
    DrawBitmap(dc, record_.background, 0, 0, client.right, client.bottom);
    return Checked() ? record_.checkedTextColour : record_.uncheckedTextColour;
}

template <>
LPARAM TextButtonBase<PictureTextButtonRecord>::NotifiedHandle() const {
    return HandleLowWord(window_);
}

PictureTextButtonRecord* PictureTextButtonRecordOf(HWND button) {
    return ControlRecordOf<PictureTextButtonRecord>(button);
}

LRESULT CALLBACK PictureTextButtonWindowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) noexcept {
    return ControlWindowProc<TextButtonBase<PictureTextButtonRecord>>(window, message, wParam,
                                                                      lParam);
}
