// q407 device: the devices of a running machine (q407 machine): list them, pull one out, plug it
// in again, put the machine to sleep and wake it.
#pragma once

#include <iosfwd>

namespace q407::tools {

// Exit statuses: 0 done; 1 no machine answers; 2 usage; 4 the machine refused the request.
enum DeviceExit : int {
    kDeviceExitOk = 0,
    kDeviceExitNoMachine = 1,
    kDeviceExitUsage = 2,
    kDeviceExitRefused = 4,
};

int DeviceCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
