// Oxa_SmallTextClass: a one-line label, its text centred at the top on a filled background, in
// the control font. It has no mouse or keyboard behaviour.
#pragma once

#include <windows.h>

inline constexpr wchar_t kSmallTextClassName[] = L"Oxa_SmallTextClass";

// Filled by the creator right after creating the window; WM_SETTEXT writes the text.
struct SmallTextRecord {
    COLORREF textColour;
    COLORREF fillColour;
    wchar_t text[64];  // at most 63 characters and the terminator
};

SmallTextRecord* SmallTextRecordOf(HWND label);

LRESULT CALLBACK SmallTextWindowProc(HWND window, UINT message, WPARAM wParam,
                                     LPARAM lParam) noexcept;
