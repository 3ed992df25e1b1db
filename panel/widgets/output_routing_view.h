// The output routing window (class Oxa_OutputRoutingClass): per device output a minus button, a
// number label and a plus button, and one stereo-link button. It edits the OutputMap, which the
// creator owns and keeps alive while the window exists, through an OutputRoutingModel, and posts
// WM_COMMAND (the notification identifier, lParam = the low word of its handle) to its owner after
// each command so that the map is sent to the driver.
#pragma once

#include <windows.h>

#include "shared/output_map.h"

namespace q407::panel {

inline constexpr int kOutputRoutingNotifyId = 3072;
inline constexpr int kOutputPlusFirst = 6288;
inline constexpr int kOutputMinusFirst = 6400;
inline constexpr int kOutputLabelFirst = 6416;
inline constexpr int kOutputLinkButton = 6448;
inline constexpr int kOutputResetCommand = 6529;

inline constexpr wchar_t kOutputRoutingClassName[] = L"Oxa_OutputRoutingClass";

// The window procedure (OutputRoutingWindowProc) is declared in routing_view_procedures.h for the
// class registration.

struct OutputRoutingCreateParams {
    HINSTANCE module = nullptr;
    HWND owner = nullptr;
    int notifyId = kOutputRoutingNotifyId;
    int x = 150;  // screen position
    int y = 38;
    int linkX = 48;  // client position of the link button
    int linkY = 217;
    int rowCount = 8;
    const wchar_t* linkedPicture = L"OUTPUT_ROUTING_MAIN_ON";
    const wchar_t* unlinkedPicture = L"OUTPUT_ROUTING_MAIN_OFF";
    const wchar_t* jackLit = L"FP_JAK_N";
    const wchar_t* jackNormal = L"FP_JAK_F";
    OutputMap* map = nullptr;
};

// Created hidden; nullptr when the window or its record cannot be created.
HWND CreateOutputRoutingView(const OutputRoutingCreateParams& params);

}  // namespace q407::panel
