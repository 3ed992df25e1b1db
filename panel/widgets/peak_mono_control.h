// Oxa_PeakMonoClass: a mono level meter, lit from the bottom up to its level in pixels.
// WM_USER + 1 sets the level (lParam) and redraws at once when it changed.
#pragma once

#include <windows.h>

inline constexpr wchar_t kPeakMonoClassName[] = L"Oxa_PeakMonoClass";

struct PeakMonoRecord {
    LONG level;  // pixels
    LONG changed;
    HBITMAP unlitPicture;  // deleted with the window
    HBITMAP litPicture;
};

PeakMonoRecord* PeakMonoRecordOf(HWND meter);

LRESULT CALLBACK PeakMonoWindowProc(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept;
