// q407 info: boots the emulated machine with a virtual Q407 LX and Q407DRV, opens the device from
// an emulated user process as a client does, and reports the driver and the device.
#pragma once

#include <iosfwd>

namespace q407::tools {

// Exit status 0 on success, 1 when the device cannot be reached, 2 for bad arguments.
int InfoCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
