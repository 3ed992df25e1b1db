// "q407 session": the ASIO test host on a virtual Q407 LX whose outputs are looped back to its
// inputs. Plays a WAV file or the test signal to the chosen outputs, records the chosen inputs to
// a WAV file, and reports the driver, the reported latencies, the buffer switches and, for every
// recorded input whose source was played, the round trip and whether it came back bit-exact.
// With --latency-sweep it measures the round trip over many starts instead.
#pragma once

#include <iosfwd>

namespace q407::tools {

// 0 on success, 1 when the session could not run, 2 for bad arguments or files, 3 when the
// latency sweep found a reported latency that differs from the round trip.
int SessionCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
