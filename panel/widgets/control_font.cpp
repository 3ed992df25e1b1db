#include "panel/widgets/control_font.h"

HFONT GetControlFont() {
    // Used on the user-interface thread only.
    static HFONT font = CreateFontW(14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, 0, 0,
                                    0, 0, L"Arial");
    return font;
}
