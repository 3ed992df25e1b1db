// Where the machine listens and clients look for it.
#pragma once

#include <string>

namespace q407::remote {

// $Q407_MACHINE when set and not empty; else $XDG_RUNTIME_DIR/q407/machine.sock when
// XDG_RUNTIME_DIR names a directory; else /tmp/q407-<uid>/machine.sock. The machine creates the
// folder (0700); clients never do.
std::string DefaultMachineSocket();

}  // namespace q407::remote
