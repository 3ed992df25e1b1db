// "q407 midi": MIDI through Q407WDM's MIDI subdevice (ZEL_Midi1) of a virtual Q407 LX, as an
// application reaches it through the audio stack.
//   q407 midi send HEX...            bytes out of the device's MIDI OUT (looped back to MIDI IN)
//   q407 midi receive --seconds S    what arrives at MIDI IN (--inject HEX... feeds the wire)
//   q407 midi loop [--bytes N]       N pattern bytes round the loop, none lost or reordered
//   q407 midi --list                 the subdevices
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace q407::tools {

class WdmMachine;

inline constexpr char kMidiSubdevice[] = "ZEL_Midi1";

// N bytes that a MIDI loop must return in order: pseudo-random, never the device's idle marker
// 0xFD (which the wire does not carry) nor above it.
std::vector<uint8_t> MidiPattern(size_t count);

struct MidiTransfer {
    uint64_t sent = 0;       // bytes the port took
    uint64_t deviceOut = 0;  // bytes the device put on its MIDI OUT wire
    std::vector<uint8_t> received;
    bool outMatches = false;     // the device's MIDI OUT carried exactly what was sent, in order
    bool wireSeen = true;        // false on a linked machine: its MIDI OUT wire is out of reach
    uint64_t lost = 0;           // expected bytes that did not come back
    int64_t firstMismatch = -1;  // index of the first received byte that differs, or -1
    double seconds = 0;          // machine time the transfer took
    int32_t status = 0;          // of the open or the send that failed
    bool Intact(size_t expected) const {
        return received.size() == expected && firstMismatch < 0 && lost == 0;
    }
};

// Sends `bytes` through the MIDI port, paced by what the device has sent, and collects what comes
// back until everything has, or `wait` seconds of machine time pass without a byte arriving
// (with expectLoop false: until the bytes are out, then `wait` seconds). One of the WdmExit
// statuses, with the message when it is not 0.
int RunMidiTransfer(WdmMachine& machine, const std::vector<uint8_t>& bytes, bool expectLoop,
                    double wait, MidiTransfer* transfer, std::string* error,
                    const std::function<void(uint64_t done, uint64_t total)>& progress = {});

// Parses "90 3C 7F" or "903C7F" words into bytes; false, with the message, on anything else.
bool ParseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>* bytes,
                   std::string* error);

int MidiCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace q407::tools
