// The control panel program's entry point.
#include "panel/app/panel_app.h"
// After windows.h (through the application header).
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    q407::panel::CZELPanelApp app(instance);
    const int code = app.Run(argv != nullptr ? argc : 0, argv);
    if (argv != nullptr) LocalFree(argv);
    return code;
}
