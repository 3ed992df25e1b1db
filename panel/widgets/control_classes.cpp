#include "panel/widgets/control_classes.h"

#include "panel/widgets/bitmap_cache.h"
#include "panel/widgets/control_font.h"
#include "panel/widgets/dial_control.h"
#include "panel/widgets/digit_control.h"
#include "panel/widgets/double_slider_control.h"
#include "panel/widgets/knob_control.h"
#include "panel/widgets/peak_control.h"
#include "panel/widgets/peak_mono_control.h"
#include "panel/widgets/picture_text_button_control.h"
#include "panel/widgets/routing_view_procedures.h"
#include "panel/widgets/slider_control.h"
#include "panel/widgets/small_text_control.h"
#include "panel/widgets/state3_control.h"
#include "panel/widgets/state4_control.h"
#include "panel/widgets/text_button_control.h"
#include "panel/widgets/toggle_control.h"

namespace {

enum class ClassCursor {
    kArrow,        // the system arrow
    kModuleArrow,  // the arrow's number from the program's resources, which hold no cursors
    kModuleSize,   // "psize" from the program's resources, likewise absent
};

struct ControlClass {
    const wchar_t* name;
    WNDPROC procedure;
    bool doubleClicks;
    ClassCursor cursor;
    bool extended;  // registered with RegisterClassExW
};

// In registration order.
const ControlClass kClasses[] = {
    {kDigitClassName, DigitWindowProc, false, ClassCursor::kModuleArrow, false},
    {kState3ClassName, State3WindowProc, false, ClassCursor::kArrow, false},
    {kState4ClassName, State4WindowProc, false, ClassCursor::kArrow, false},
    {kKnobClassName, KnobWindowProc, true, ClassCursor::kModuleSize, false},
    {kSliderClassName, SliderWindowProc, true, ClassCursor::kModuleSize, false},
    {kSmallTextClassName, SmallTextWindowProc, false, ClassCursor::kModuleArrow, false},
    {kDoubleSliderClassName, DoubleSliderWindowProc, true, ClassCursor::kModuleArrow, false},
    {kPeakClassName, PeakWindowProc, true, ClassCursor::kModuleArrow, false},
    {kPeakMonoClassName, PeakMonoWindowProc, true, ClassCursor::kModuleArrow, false},
    {kTextButtonClassName, TextButtonWindowProc, false, ClassCursor::kModuleArrow, false},
    {kPictureTextButtonClassName, PictureTextButtonWindowProc, false, ClassCursor::kModuleArrow,
     false},
    {kToggleClassName, ToggleWindowProc, false, ClassCursor::kArrow, false},
    {L"Oxa_FpathClass", FpathCompactWindowProc, false, ClassCursor::kArrow, true},
    {L"Oxa_FpathAdvanceClass", FlexPathWindowProc, false, ClassCursor::kArrow, false},
    {L"Oxa_OutputRoutingClass", OutputRoutingWindowProc, false, ClassCursor::kArrow, false},
    {kDialClassName, DialWindowProc, true, ClassCursor::kModuleSize, false},
};
static_assert(sizeof kClasses / sizeof kClasses[0] == 16);

HCURSOR ClassCursorOf(HINSTANCE module, ClassCursor cursor) {
    switch (cursor) {
        case ClassCursor::kArrow:
            return LoadCursorW(nullptr, IDC_ARROW);
        case ClassCursor::kModuleArrow:
            return LoadCursorW(module, IDC_ARROW);
        case ClassCursor::kModuleSize:
            return LoadCursorW(module, L"psize");
    }
    return nullptr;
}

}  // namespace

void RegisterControlClasses(HINSTANCE module) {
    for (const ControlClass& control : kClasses) {
        UINT style = CS_GLOBALCLASS | CS_HREDRAW | CS_VREDRAW;
        if (control.doubleClicks) {
            style |= CS_DBLCLKS;
        }
        HCURSOR cursor = ClassCursorOf(module, control.cursor);
        HBRUSH background = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
        // Registration failures are not checked: a class registered before stays usable.
        if (control.extended) {
            WNDCLASSEXW info{};
            info.cbSize = sizeof info;
            info.style = style;
            info.lpfnWndProc = control.procedure;
            info.cbWndExtra = 4;
            info.hInstance = module;
            info.hCursor = cursor;
            info.hbrBackground = background;
            info.lpszClassName = control.name;
            RegisterClassExW(&info);
        } else {
            WNDCLASSW info{};
            info.style = style;
            info.lpfnWndProc = control.procedure;
            info.cbWndExtra = 4;
            info.hInstance = module;
            info.hCursor = cursor;
            info.hbrBackground = background;
            info.lpszClassName = control.name;
            RegisterClassW(&info);
        }
    }
    ClearBitmapCache();
    GetControlFont();
}
