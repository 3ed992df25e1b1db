// Oxa_State4Class: a four-state picture indicator, set by its parent; the mouse is ignored.
#pragma once

#include <windows.h>

inline constexpr wchar_t kState4ClassName[] = L"Oxa_State4Class";

struct State4Record {
    LONG state;           // 0..3
    HBITMAP pictures[4];  // for states 0, 1, 2, 3
};

State4Record* State4RecordOf(HWND indicator);

LRESULT CALLBACK State4WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
