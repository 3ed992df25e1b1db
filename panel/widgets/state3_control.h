// Oxa_State3Class: a three-state picture button. A press takes the focus and the mouse and
// tells the parent at once; the parent sets the next state with BM_SETCHECK.
#pragma once

#include <windows.h>

inline constexpr wchar_t kState3ClassName[] = L"Oxa_State3Class";

struct State3Record {
    LONG state;  // 0, 1 or 2
    HBITMAP stateOnePicture;
    HBITMAP stateTwoPicture;
    HBITMAP stateZeroPicture;
};

State3Record* State3RecordOf(HWND button);

LRESULT CALLBACK State3WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
