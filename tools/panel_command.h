// q407 panel: the control panel as a user sees it. Starts a machine with one virtual Q407 LX
// (real time, its inputs fed by a test signal so that the meters move) on a private socket, or
// uses the one given, then the panel program under Wine in a prefix of its own, on the current
// X display or on a private Xvfb screen, and opens the panel's main window. It can take a
// screenshot of that window and end, and unplug and plug the device again on a schedule. SIGINT
// or SIGTERM stops everything it started.
#pragma once

#include <iosfwd>

namespace q407::tools {

// Exit statuses: 0 the panel ran (and the screenshot was written); 1 something failed; 2 usage.
enum PanelExit : int {
    kPanelExitOk = 0,
    kPanelExitFailed = 1,
    kPanelExitUsage = 2,
};

int PanelCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
