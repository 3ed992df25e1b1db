// Oxa_DBLVSClass: a double vertical slider with a stereo meter between its thumbs. The client
// area is split in three by two x positions: a press left of the first moves the left thumb,
// up to the second both, beyond it the right thumb. Both positions travel in one value:
// SBM_SETPOS/SBM_GETPOS carry the left in the low word and the right in the high word.
#pragma once

#include <windows.h>

inline constexpr wchar_t kDoubleSliderClassName[] = L"Oxa_DBLVSClass";

struct DoubleSliderRecord {
    LONG bottom;  // thumb centres' row at the minimum
    LONG top;     // thumb centres' row at the maximum
    LONG maximum;
    LONG minimum;
    LONG leftPosition;
    LONG rightPosition;
    LONG focus;  // 1 focused, -1 not
    LONG thumbOffset;
    HBITMAP background;  // deleted with the window
    HBITMAP focusedThumb;
    HBITMAP unfocusedThumb;
    HBITMAP meterPicture;  // lit meter; its upper (100 - level) percent is left dark
    LONG leftLevel;        // percent
    LONG rightLevel;       // percent
    LONG meterChanged;
    LONG activePart;  // -1 none, 0 left, 1 both, 2 right
    LONG firstSplit;
    LONG secondSplit;
};

DoubleSliderRecord* DoubleSliderRecordOf(HWND slider);

LRESULT CALLBACK DoubleSliderWindowProc(HWND window, UINT message, WPARAM wParam,
                                        LPARAM lParam) noexcept;
