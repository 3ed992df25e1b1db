// The q407 command: tools around the Q407 LX host software and its virtual device.
#include <iostream>
#include <string_view>

#include "tools/demo_command.h"
#include "tools/device_command.h"
#include "tools/info_command.h"
#include "tools/loopback_command.h"
#include "tools/machine_command.h"
#include "tools/midi_command.h"
#include "tools/mixer_command.h"
#include "tools/panel_command.h"
#include "tools/play_command.h"
#include "tools/pnp_command.h"
#include "tools/record_command.h"
#include "tools/session_command.h"
#include "tools/stream_command.h"

namespace {

void Usage(std::ostream& out) {
    out << "usage: q407 COMMAND [OPTIONS]\n"
           "commands:\n"
           "  demo     the main job: an ASIO round trip through a looped-back virtual Q407 LX\n"
           "  session  the ASIO test host: play a WAV file or test signal, record inputs\n"
           "  stream   stream on a virtual Q407 LX and report the pipe counters\n"
           "  loopback ASIO round trip through a looped-back virtual Q407 LX\n"
           "  info     the driver and device as a client process sees them\n"
           "  pnp      plug, stream and remove a virtual Q407 LX many times over\n"
           "  play     play a WAV file through a WDM wave subdevice (ZEL_WaveN)\n"
           "  record   record a WDM wave subdevice into a WAV file\n"
           "  midi     send, receive and loop MIDI through ZEL_Midi1\n"
           "  mixer    the WDM mixers' lines and mute states; set a mute\n"
           "  machine  run the emulated machine as a service for client processes\n"
           "  device   list, unplug, plug, sleep or wake a running machine's devices\n"
           "  panel    the control panel under Wine, on a machine with a virtual Q407 LX\n"
           "Run 'q407 COMMAND --help' for a command's options.\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "q407: no command given\n";
        Usage(std::cerr);
        return 2;
    }
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        Usage(std::cout);
        return 0;
    }
    if (command == "demo")
        return q407::tools::DemoCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "session")
        return q407::tools::SessionCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "stream")
        return q407::tools::StreamCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "info")
        return q407::tools::InfoCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "pnp") return q407::tools::PnpCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "play")
        return q407::tools::PlayCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "record")
        return q407::tools::RecordCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "midi")
        return q407::tools::MidiCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "mixer")
        return q407::tools::MixerCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "machine")
        return q407::tools::MachineCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "device")
        return q407::tools::DeviceCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "panel")
        return q407::tools::PanelCommand(argc - 2, argv + 2, std::cout, std::cerr);
    if (command == "loopback")
        return q407::tools::LoopbackCommand(argc - 2, argv + 2, std::cout, std::cerr);
    std::cerr << "q407: unknown command '" << command << "'\n";
    Usage(std::cerr);
    return 2;
}
