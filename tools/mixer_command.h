// "q407 mixer": the port-class driver's mixer subdevices on a virtual Q407 LX as an application
// sees them through the audio stack: each mixer's lines (playback or recording path) with their
// mute states, and "--device ZEL_MixerN --set NODE --mute on|off" to change one.
#pragma once

#include <iosfwd>

namespace q407::tools {

int MixerCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
