// "q407 demo", the main job: the machine boots with a virtual Q407 LX whose outputs are looped
// back to its inputs; the ASIO test host loads the ASIO driver as hosts do, plays the test signal
// on all 8 outputs and records all 16 inputs. The report gives the device, firmware and driver
// versions, rate and buffer size, the measured round trip beside what the driver reports,
// bit-exactness per channel and the dropouts; the recording goes to a WAV file and, when asked,
// a plot of the first impulse's round trip to a PNG file. Beside the ASIO session, another
// application plays a stereo WDM stream through the port-class driver's ZEL_Wave1, which the
// engine mixes into outputs 1/2 (their inputs are checked as that mix), and loops MIDI bytes
// through ZEL_Midi1 and the device's MIDI connectors; the report gives the frames played and the
// MIDI bytes sent, received, lost or out of order.
#pragma once

#include <iosfwd>

namespace q407::tools {

// 0 when every output came back bit-exact (outputs 1/2 as the mix) without a dropout, the reported
// input plus output latency equals the measured round trip, the WDM stream played whole and every
// MIDI byte came back in order; 3 when the session ran but that does not hold; 1 when
// it could not run; 2 for bad arguments.
int DemoCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
