#include "panel/widgets/panel_message.h"

namespace {
// Used on the user-interface thread only, as every box is.
PanelMessageHook g_hook = nullptr;
}  // namespace

int ShowPanelMessage(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    if (g_hook != nullptr) {
        return g_hook(owner, text, caption, type);
    }
    return MessageBoxW(owner, text, caption, type);
}

PanelMessageHook SetPanelMessageHook(PanelMessageHook hook) {
    PanelMessageHook previous = g_hook;
    g_hook = hook;
    return previous;
}
