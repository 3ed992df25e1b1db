// controlPanel: the control panel program shows its main dialog, started first if it is not
// running.
#include "asio/asio_direct_sound.h"
#include "platform/user/device_access.h"

namespace q407::asio {
namespace {

// The panel's message window and its program, found by the system's search rules.
constexpr wchar_t kPanelWindowClass[] = L"Q407 Class";
constexpr wchar_t kPanelProgram[] = L"Q407pan.exe";
// What the panel's window takes as "show the main dialog".
constexpr WPARAM kShowMainDialog = 9;

}  // namespace

ASIOError AsioDirectSound::controlPanel() {
    HWND panel = FindWindowW(kPanelWindowClass, nullptr);
    if (panel == nullptr) {
        // Not waited for: a panel that is still starting shows itself.
        (void)ShellExecuteW(nullptr, nullptr, kPanelProgram, nullptr, nullptr, SW_SHOWNORMAL);
        panel = FindWindowW(kPanelWindowClass, nullptr);
        if (panel == nullptr) return ASE_OK;
    }
    // Both only fail when the window has just gone, which leaves nothing to show.
    (void)PostMessageW(panel, WM_SHOWWINDOW, kShowMainDialog, 0);
    (void)SetForegroundWindow(panel);
    return ASE_OK;
}

}  // namespace q407::asio
