// Oxa_TextBtnBmpClass: the text button drawn on a picture, with a text colour per state.
#pragma once

#include <windows.h>

inline constexpr wchar_t kPictureTextButtonClassName[] = L"Oxa_TextBtnBmpClass";

struct PictureTextButtonRecord {
    HBITMAP background;
    COLORREF checkedTextColour;
    COLORREF uncheckedTextColour;
    LONG state;  // 1 checked, 0 not
    wchar_t uncheckedText[64];
    wchar_t checkedText[64];
};

PictureTextButtonRecord* PictureTextButtonRecordOf(HWND button);

LRESULT CALLBACK PictureTextButtonWindowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) noexcept;
