// q407 machine: the emulated machine as a long-running service. Virtual Q407 LX devices with
// Q407DRV and Q407WDM run in real time; client processes (q407 session, play, record, info, midi,
// mixer, the panel, q407 device) connect through a Unix-domain socket, each as one emulated
// process on the machine. SIGINT or SIGTERM stops it cleanly.
#pragma once

#include <iosfwd>

namespace q407::tools {

// Exit statuses: 0 stopped clean; 1 the machine failed or left something behind; 2 usage; 3 a
// machine already runs on the socket.
enum MachineExit : int {
    kMachineExitOk = 0,
    kMachineExitFailed = 1,
    kMachineExitUsage = 2,
    kMachineExitRunning = 3,
};

int MachineCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
