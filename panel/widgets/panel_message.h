// Every message box of the panel goes through ShowPanelMessage, so that a test program can watch
// and answer them instead of a person.
#pragma once

#include <windows.h>

// Answers a box in place of MessageBoxW: receives its arguments and returns the button chosen.
using PanelMessageHook = int (*)(HWND owner, const wchar_t* text, const wchar_t* caption,
                                 UINT type);

// MessageBoxW, or the installed hook when there is one.
int ShowPanelMessage(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);

// Installs a hook (nullptr restores MessageBoxW) and returns the one it replaces.
PanelMessageHook SetPanelMessageHook(PanelMessageHook hook);
