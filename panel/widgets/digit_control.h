// Oxa_DigitExClass: a two-digit counter ("%02d") centred on a fill colour, in the font given
// with WM_SETFONT, which the counter then owns. SBM_SETPOS turns the value round at its ends.
#pragma once

#include <windows.h>

inline constexpr wchar_t kDigitClassName[] = L"Oxa_DigitExClass";

struct DigitRecord {
    HFONT font;  // deleted with the window
    COLORREF textColour;
    COLORREF fillColour;
    LONG value;
    LONG upperBound;
    LONG wrapValue;
};

DigitRecord* DigitRecordOf(HWND counter);

LRESULT CALLBACK DigitWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
