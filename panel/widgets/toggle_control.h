// Oxa_TogleClass: a two-picture toggle button. A press takes the focus and the mouse; the
// release inverts the state and posts WM_COMMAND (identifier, code 1) to the parent, which
// answers with BM_SETCHECK to repaint it: the release itself does not repaint.
#pragma once

#include <windows.h>

inline constexpr wchar_t kToggleClassName[] = L"Oxa_TogleClass";

struct ToggleRecord {
    LONG state;  // 1 checked, 0 not
    HBITMAP checkedPicture;
    HBITMAP uncheckedPicture;
};

ToggleRecord* ToggleRecordOf(HWND toggle);

LRESULT CALLBACK ToggleWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

// A shown, unchecked toggle child of the parent at (x, y), the size of the checked picture;
// the pictures come from the bitmap cache. nullptr when the window cannot be created.
HWND CreateToggle(HINSTANCE module, HWND parent, int id, int x, int y,
                  const wchar_t* checkedPicture, const wchar_t* uncheckedPicture);
