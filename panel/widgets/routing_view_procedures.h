// The window procedures of the routing views, defined with the views; the control classes'
// registration names them.
#pragma once

#include <windows.h>

// Oxa_FpathClass, the compact device-routing view.
LRESULT CALLBACK FpathCompactWindowProc(HWND window, UINT message, WPARAM wParam,
                                        LPARAM lParam) noexcept;
// Oxa_FpathAdvanceClass, the device-routing view.
LRESULT CALLBACK FlexPathWindowProc(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept;
// Oxa_OutputRoutingClass, the output-channel routing view.
LRESULT CALLBACK OutputRoutingWindowProc(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) noexcept;
