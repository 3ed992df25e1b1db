// The pointer's client coordinates and the wheel's turn from mouse message parameters (signed:
// a captured pointer may be left of or above the window).
#pragma once

#include <windows.h>

inline int MouseX(LPARAM lParam) {
    return static_cast<short>(LOWORD(lParam));
}
inline int MouseY(LPARAM lParam) {
    return static_cast<short>(HIWORD(lParam));
}
// +1 for a turn away from the user, -1 towards, 0 for none.
inline int WheelDirection(WPARAM wParam) {
    int delta = static_cast<short>(HIWORD(wParam));
    return delta > 0 ? 1 : (delta < 0 ? -1 : 0);
}
