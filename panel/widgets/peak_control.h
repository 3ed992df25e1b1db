// Oxa_PeakClass: a stereo level meter, two bars side by side, each lit from the bottom up to
// its level in percent. WM_USER + 1 sets both levels (left in the low word of lParam, right in
// the high word) and redraws at once when one changed.
#pragma once

#include <windows.h>

inline constexpr wchar_t kPeakClassName[] = L"Oxa_PeakClass";
inline constexpr UINT kSetLevelsMessage = WM_USER + 1;

struct PeakRecord {
    LONG leftLevel;   // percent
    LONG rightLevel;  // percent
    LONG changed;
    HBITMAP unlitPicture;  // deleted with the window
    HBITMAP litPicture;
};

PeakRecord* PeakRecordOf(HWND meter);

LRESULT CALLBACK PeakWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
