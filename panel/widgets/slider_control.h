// Oxa_VSClass: a vertical slider. The thumb travels between two pixel rows, the maximum at the
// top; the pointer's row maps linearly to the position. Changes are told to the parent with
// WM_VSCROLL: code 5 (SB_THUMBTRACK) with the position while dragging, code 4 (SB_THUMBPOSITION)
// after keys and the wheel, code 0 on release.
#pragma once

#include <windows.h>

inline constexpr wchar_t kSliderClassName[] = L"Oxa_VSClass";

struct SliderRecord {
    LONG bottom;  // thumb centre's row at the minimum
    LONG top;     // thumb centre's row at the maximum
    LONG maximum;
    LONG minimum;
    LONG position;
    LONG focus;          // 1 focused, -1 not
    LONG thumbOffset;    // pointer row minus thumb centre row when a drag took the thumb
    HBITMAP background;  // deleted with the window
    HBITMAP focusedThumb;
    HBITMAP unfocusedThumb;
    HBITMAP fill;  // optional: shown from the thumb down
};

SliderRecord* SliderRecordOf(HWND slider);

LRESULT CALLBACK SliderWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
