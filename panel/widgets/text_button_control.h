// Oxa_TextBtnClass: a button showing one of two texts on a fill colour of its state (the text
// when not checked is the window text). A click tells the parent; the parent decides the state
// with BM_SETCHECK.
#pragma once

#include <windows.h>

inline constexpr wchar_t kTextButtonClassName[] = L"Oxa_TextBtnClass";

struct TextButtonRecord {
    COLORREF checkedTextColour;
    COLORREF checkedFillColour;
    COLORREF uncheckedTextColour;
    COLORREF uncheckedFillColour;
    LONG state;  // 1 checked, 0 not
    wchar_t uncheckedText[64];
    wchar_t checkedText[64];
};

TextButtonRecord* TextButtonRecordOf(HWND button);

LRESULT CALLBACK TextButtonWindowProc(HWND window, UINT message, WPARAM wParam,
                                      LPARAM lParam) noexcept;
