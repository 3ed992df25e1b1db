// Oxa_RoundVSClass: a dial whose position follows the pointer's angle around its centre. Its
// pictures are strips of square frames, one frame per step of the position; the second picture
// shows it disabled (BM_SETCHECK 0). Changes are told to the parent with WM_VSCROLL.
#pragma once

#include <windows.h>

inline constexpr wchar_t kDialClassName[] = L"Oxa_RoundVSClass";

struct DialRecord {
    HBITMAP enabledPicture;
    HBITMAP disabledPicture;
    LONG startAngle;  // degrees, clockwise from the right, where the position's minimum lies
    LONG centreX;
    LONG centreY;
    LONG minimum;
    LONG maximum;
    LONG position;
    LONG enabled;  // BM_SETCHECK
    LONG focus;
    LONG dragging;
    LONG changed;  // the position moved during the current drag
};

DialRecord* DialRecordOf(HWND dial);

LRESULT CALLBACK DialWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
