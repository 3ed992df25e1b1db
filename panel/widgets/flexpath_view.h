// The FlexPATH device-routing windows: the full view (class Oxa_FpathAdvanceClass, with the Reset
// menu) and its compact twin (class Oxa_FpathClass). Both draw and edit the RouteTable through a
// PatchModel; the table stays owned by the creator, which must keep it alive while the window
// exists. After each edit the window posts WM_COMMAND (the notification identifier, lParam = the
// low word of its handle) to its owner, which then sends the table to the driver.
//
// The classes are registered with RegisterControlClasses.
#pragma once

#include <windows.h>

#include "shared/route_record.h"

namespace q407::panel {

inline constexpr int kFlexPathNotifyId = 3328;
inline constexpr int kFlexPathOutButtonFirst = 6272;  // MME, WDM, ASIO
inline constexpr int kFlexPathResetCommand = 6528;

inline constexpr wchar_t kFlexPathAdvanceClassName[] = L"Oxa_FpathAdvanceClass";
inline constexpr wchar_t kFlexPathCompactClassName[] = L"Oxa_FpathClass";

// The window procedures (FlexPathWindowProc, FpathCompactWindowProc) are declared in
// routing_view_procedures.h for the class registration.

struct FlexPathCreateParams {
    HINSTANCE module = nullptr;
    HWND owner = nullptr;
    int notifyId = kFlexPathNotifyId;
    int x = 5;  // screen position
    int y = 38;
    int inputCount = 16;
    int playbackCount = 8;
    const wchar_t* background = L"FP_F_VIRTUAL";
    const wchar_t* jackLit = L"FP_JAK_N";
    const wchar_t* jackNormal = L"FP_JAK_F";
    RouteTable* table = nullptr;
};

// The view, created hidden; nullptr when the window or its record cannot be created.
HWND CreateFlexPathView(const FlexPathCreateParams& params);
// The compact twin: no Reset menu, otherwise created the same way.
HWND CreateFlexPathCompactView(const FlexPathCreateParams& params);

}  // namespace q407::panel
