// Window procedures for the three routing view classes in test programs that link the controls
// without the views: the registration names them. A program that links the views takes theirs
// (the linker only pulls these from their archive for names nothing else defines).
#include "panel/widgets/routing_view_procedures.h"

LRESULT CALLBACK FpathCompactWindowProc(HWND window, UINT message, WPARAM wParam,
                                        LPARAM lParam) noexcept {
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK FlexPathWindowProc(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept {
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK OutputRoutingWindowProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) noexcept {
    return DefWindowProcW(window, message, wParam, lParam);
}
