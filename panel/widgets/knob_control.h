// Oxa_KnobClass: a rotary control. A pointer picture circles the centre at the control's angle;
// dragging upwards, the up key and the wheel turn it clockwise. Changes are told to the parent
// with WM_HSCROLL: code 5 with the position while dragging, code 4 after keys and the wheel.
#pragma once

#include <windows.h>

inline constexpr wchar_t kKnobClassName[] = L"Oxa_KnobClass";

struct KnobRecord {
    float maximumAngle;  // radians
    float minimumAngle;
    float angle;
    LONG lastY;  // pointer row at the last drag step
    LONG focus;  // 1 focused, 0 not
    LONG position;
    LONG steps;
    HBITMAP focusedPointer;
    HBITMAP unfocusedPointer;
    LONG radius;
    HBITMAP background;
};

KnobRecord* KnobRecordOf(HWND knob);

LRESULT CALLBACK KnobWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
