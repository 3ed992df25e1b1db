// Starting the project's own programs by their Windows file names, as separate Linux processes:
// what ShellExecuteW does for a client that runs outside the machine's Linux process.
#pragma once

#include <string>
#include <vector>

namespace q407::win32::bench {

// The command that starts the program named by a Windows file name ("Q407Pan.exe", with or
// without a folder, in any case): the panel runs the command line in Q407_PANEL_COMMAND through
// the shell when that is set, else "q407 panel" from the folder of the running executable when
// that file is executable, with "--machine SOCKET" when machineSocket is not empty, so that the
// panel joins the caller's machine. Empty when the program is unknown or nothing could start it.
std::vector<std::string> KnownProgramCommand(const std::wstring& file,
                                             const std::string& machineSocket = {});

// Starts the program without waiting for it (its exit is collected in the background), on the
// machine this process is linked to, if any. False when it is unknown or could not be started.
bool StartKnownProgram(const std::wstring& file);

}  // namespace q407::win32::bench
