#include "tools/midi_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "sim/host/portcls/audio_client.h"
#include "tools/cli_parse.h"
#include "tools/device_rig.h"
#include "tools/machine_choice.h"
#include "tools/subdevice_listing.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

// Bytes handed to the port ahead of what has come back (of what the device has sent, when nothing
// is to come back): enough to keep the wire busy, few enough that no queue on the way (the
// driver's events, the engine's rings, the device's MIDI IN FIFO) grows.
constexpr uint64_t kMidiAheadBytes = 192;
constexpr size_t kMidiChunkBytes = 8;  // one kernel event's worth per send
constexpr double kMidiStep = 0.005;

std::string Hex(const std::vector<uint8_t>& bytes, size_t limit = 64) {
    std::string text;
    char two[4];
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(two, sizeof(two), "%02X", bytes[i]);
        if (!text.empty()) text += ' ';
        text += two;
    }
    if (bytes.size() > limit) text += " ...";
    return text;
}

uint64_t DeviceMidiOut(WdmMachine& machine) {
    return machine.Rig().Device().Counters().midiOutBytes;
}

}  // namespace

std::vector<uint8_t> MidiPattern(size_t count) {
    std::vector<uint8_t> bytes(count);
    uint32_t state = 0x2545F491U;
    for (size_t i = 0; i < count; ++i) {
        state = state * 1664525U + 1013904223U;
        bytes[i] = static_cast<uint8_t>((state >> 16) % 0xFD);
    }
    return bytes;
}

int RunMidiTransfer(WdmMachine& machine, const std::vector<uint8_t>& bytes, bool expectLoop,
                    double wait, MidiTransfer* transfer, std::string* error,
                    const std::function<void(uint64_t done, uint64_t total)>& progress) {
    ClientScope scope(machine);
    std::unique_ptr<sim::audio::MidiPort> port;
    transfer->status = sim::audio::MidiPort::Open(Widen(kMidiSubdevice), &port);
    if (transfer->status == kStatusPinBusy) {
        *error = std::string(kMidiSubdevice) +
                 " is busy: another client holds its streams (status " +
                 StatusText(transfer->status) + ")";
        return kWdmExitBusy;
    }
    if (transfer->status < 0) {
        *error = std::string("cannot open ") + kMidiSubdevice + ": status " +
                 StatusText(transfer->status);
        return kWdmExitRefused;
    }
    // On a linked machine the device's wire is out of reach: what the port took stands for what
    // went out.
    transfer->wireSeen = !machine.Linked();
    const uint64_t outBefore = transfer->wireSeen ? DeviceMidiOut(machine) : 0;
    const size_t beforeMark = transfer->wireSeen ? machine.Rig().Device().MidiOut().size() : 0;
    const double start = machine.Now();
    double quiet = 0;
    size_t offset = 0;
    uint64_t lastProgress = 0;
    for (;;) {
        const uint64_t out = transfer->wireSeen ? DeviceMidiOut(machine) - outBefore : offset;
        const uint64_t done = expectLoop ? transfer->received.size() : out;
        while (offset < bytes.size() && offset < done + kMidiAheadBytes) {
            const size_t count = std::min(kMidiChunkBytes, bytes.size() - offset);
            const int32_t status = port->Send(bytes.data() + offset, count);
            if (status < 0) {
                transfer->status = status;
                break;
            }
            offset += count;
        }
        if (transfer->status < 0) break;
        const size_t had = transfer->received.size();
        port->Receive(&transfer->received);
        const bool arrived = transfer->received.size() != had;
        const bool allOut = offset == bytes.size() && out >= bytes.size();
        if (expectLoop && transfer->received.size() >= bytes.size() && allOut) break;
        quiet = arrived || !allOut ? 0 : quiet + kMidiStep;
        if (quiet >= wait) break;
        // Nothing moves for a long while although bytes are outstanding: the driver is stuck.
        if (machine.Now() - start > wait + double(bytes.size()) / 1000.0 + 10.0) break;
        machine.Advance(kMidiStep);
        if (progress && (transfer->received.size() - lastProgress >= 4096 || allOut)) {
            lastProgress = transfer->received.size();
            progress(expectLoop ? transfer->received.size() : out, bytes.size());
        }
    }
    transfer->sent = offset;
    transfer->seconds = machine.Now() - start;
    if (transfer->wireSeen) {
        transfer->deviceOut = DeviceMidiOut(machine) - outBefore;
        const std::vector<sim::MidiOutByte> wire = machine.Rig().Device().MidiOut();
        std::vector<uint8_t> wireBytes;
        for (size_t i = beforeMark; i < wire.size(); ++i) wireBytes.push_back(wire[i].value);
        transfer->outMatches = wireBytes == bytes;
    } else {
        transfer->deviceOut = offset;
        transfer->outMatches = true;  // unseen; the loop's bytes are checked below
    }
    if (expectLoop) {
        const size_t common = std::min(bytes.size(), transfer->received.size());
        for (size_t i = 0; i < common && transfer->firstMismatch < 0; ++i)
            if (transfer->received[i] != bytes[i]) transfer->firstMismatch = int64_t(i);
        if (transfer->firstMismatch < 0 && transfer->received.size() > bytes.size())
            transfer->firstMismatch = int64_t(bytes.size());
        transfer->lost =
            bytes.size() > transfer->received.size() ? bytes.size() - transfer->received.size() : 0;
    }
    if (transfer->status < 0) {
        *error = std::string(kMidiSubdevice) + " refused the bytes: status " +
                 StatusText(transfer->status);
        return kWdmExitRefused;
    }
    if (!transfer->outMatches) return kWdmExitNotExact;
    if (expectLoop && !transfer->Intact(bytes.size())) return kWdmExitNotExact;
    return kWdmExitOk;
}

bool ParseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>* bytes,
                   std::string* error) {
    for (const std::string& word : words) {
        std::string digits;
        for (char c : word) {
            if (c == ',' || c == ':' || c == ' ') continue;
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                *error = "'" + word + "' is not hexadecimal bytes";
                return false;
            }
            digits += c;
        }
        if (digits.empty() || digits.size() % 2 != 0) {
            *error = "'" + word + "' is not a whole number of hexadecimal bytes";
            return false;
        }
        for (size_t i = 0; i < digits.size(); i += 2)
            bytes->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

int MidiCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CLI::App app{"MIDI through the port-class driver's MIDI subdevice on a virtual Q407 LX.",
                 "q407 midi"};
    bool list = false, json = false, realTime = false;
    app.add_flag("--list", list, "list the subdevices and exit");
    app.add_flag("--json", json, "print one JSON object instead of the report");
    app.add_flag("--realtime", realTime, "run against the wall clock (default: virtual time)");
    std::vector<std::string> sendWords, injectWords;
    double seconds = 1.0;
    size_t loopBytes = 4096;
    CLI::App* send = app.add_subcommand("send", "send bytes out of MIDI OUT (looped back to IN)");
    send->add_option("HEX", sendWords, "bytes, e.g. 90 3C 7F")->required();
    CLI::App* receive = app.add_subcommand("receive", "report what arrives at MIDI IN");
    receive->add_option("--seconds", seconds, "how long to listen")
        ->check(CLI::Range(0.01, 3600.0))
        ->capture_default_str();
    receive->add_option("--inject", injectWords, "bytes fed to the device's MIDI IN wire");
    CLI::App* loop = app.add_subcommand("loop", "pattern bytes round the device's MIDI loop");
    loop->add_option("--bytes", loopBytes, "how many bytes (1048576 for a megabyte)")
        ->check(CLI::Range(size_t(1), size_t(1) << 26))
        ->capture_default_str();
    // --json, --realtime and --list may come after the subcommand too.
    for (CLI::App* sub : {send, receive, loop}) sub->fallthrough();
    MachineOptions machineOptions;
    AddMachineOptions(app, &machineOptions);
    if (const std::optional<int> exit = ParseCommandLine(app, argc, argv, out, err)) return *exit;
    std::vector<uint8_t> sendBytes, injectBytes;
    std::string error;
    if (!ParseHexBytes(sendWords, &sendBytes, &error) ||
        !ParseHexBytes(injectWords, &injectBytes, &error)) {
        err << "q407 midi: " << error << "\n";
        return kWdmExitUsage;
    }
    if (!list && !send->parsed() && !receive->parsed() && !loop->parsed()) {
        err << "q407 midi: say send, receive or loop\nRun 'q407 midi --help' for the options.\n";
        return kWdmExitUsage;
    }
    std::vector<std::string> privateGiven = GivenOptions(app, {"--realtime"});
    if (receive->count("--inject") != 0) privateGiven.push_back("--inject");
    MachineChoice choice;
    if (const std::optional<int> exit =
            choice.Choose(machineOptions, "q407 midi", privateGiven, true, err))
        return *exit;
    WdmMachineOptions options;
    options.realTime = realTime;
    options.midiLoopback = !receive->parsed();
    WdmMachine machine;
    if (choice.Linked() ? !machine.UseLinked(&error) : !machine.Boot(options, &error)) {
        err << "q407 midi: " << error << "\n";
        return kWdmExitFailed;
    }
    if (list) {
        ClientScope scope(machine);
        const auto subdevices = sim::audio::ListSubdevices();
        PrintSubdeviceListing(out, subdevices, json);
        return kWdmExitOk;
    }

    MidiTransfer transfer;
    int status = kWdmExitOk;
    std::string what;
    std::vector<uint8_t> expected;
    if (receive->parsed()) {
        what = "receive";
        expected = injectBytes;
        ClientScope scope(machine);
        std::unique_ptr<sim::audio::MidiPort> port;
        transfer.status = sim::audio::MidiPort::Open(Widen(kMidiSubdevice), &port);
        if (transfer.status < 0) {
            err << "q407 midi: cannot open " << kMidiSubdevice << ": status "
                << StatusText(transfer.status) << "\n";
            return transfer.status == kStatusPinBusy ? kWdmExitBusy : kWdmExitRefused;
        }
        if (!machine.Linked()) machine.Rig().Device().SendMidiIn(injectBytes);
        const double start = machine.Now();
        while (machine.Now() - start < seconds) {
            machine.Advance(std::min(0.01, seconds - (machine.Now() - start) + 1e-6));
            port->Receive(&transfer.received);
        }
        transfer.seconds = machine.Now() - start;
        transfer.outMatches = true;
        if (!injectBytes.empty() && transfer.received != injectBytes) status = kWdmExitNotExact;
    } else {
        what = send->parsed() ? "send" : "loop";
        expected = send->parsed() ? sendBytes : MidiPattern(loopBytes);
        auto progress = [&](uint64_t done, uint64_t total) {
            char line[96];
            std::snprintf(line, sizeof(line), "q407 midi: %llu of %llu bytes looped\n",
                          static_cast<unsigned long long>(done),
                          static_cast<unsigned long long>(total));
            err << line << std::flush;
        };
        // In real time a busy host can hold the machine's thread back for a while: a quiet
        // second there does not yet mean the bytes are lost.
        const double quietSeconds = realTime || choice.Linked() ? 5.0 : 1.0;
        status =
            RunMidiTransfer(machine, expected, true, quietSeconds, &transfer, &error,
                            loop->parsed() ? progress : std::function<void(uint64_t, uint64_t)>{});
        if (status != kWdmExitOk && status != kWdmExitNotExact) {
            err << "q407 midi: " << error << "\n";
            return status;
        }
    }
    const bool passed = status == kWdmExitOk;
    if (json) {
        nlohmann::json j = {{"command", what},
                            {"device", kMidiSubdevice},
                            {"bytes_sent", transfer.sent},
                            {"device_midi_out_bytes", transfer.deviceOut},
                            {"bytes_received", transfer.received.size()},
                            {"seconds", transfer.seconds},
                            {"time", realTime || choice.Linked() ? "real" : "virtual"},
                            {"machine", choice.Describe()},
                            {"passed", passed}};
        if (what != "receive" && transfer.wireSeen) j["midi_out_matches"] = transfer.outMatches;
        if (what != "receive") {
            j["lost"] = transfer.lost;
            j["first_mismatch"] = transfer.firstMismatch;
        }
        if (transfer.received.size() <= 4096) j["received"] = Hex(transfer.received, 4096);
        out << j.dump() << "\n";
    } else {
        char line[200];
        out << "Q407 LX midi " << what << " through " << kMidiSubdevice << " ("
            << (realTime || choice.Linked() ? "real" : "virtual") << " time)\n";
        if (choice.Linked()) out << "  machine       " << choice.Describe() << "\n";
        if (what != "receive") {
            std::snprintf(line, sizeof(line), "  sent          %llu bytes (%s)\n",
                          static_cast<unsigned long long>(transfer.sent),
                          !transfer.wireSeen    ? "MIDI OUT not seen on a running machine"
                          : transfer.outMatches ? "MIDI OUT carried them in order"
                                                : "MIDI OUT DIFFERS");
            out << line;
        }
        std::snprintf(line, sizeof(line), "  received      %zu bytes in %.3f s: %s\n",
                      transfer.received.size(), transfer.seconds,
                      Hex(transfer.received, 24).c_str());
        out << line;
        if (what != "receive") {
            std::snprintf(line, sizeof(line), "  lost          %llu, first out of order: %lld\n",
                          static_cast<unsigned long long>(transfer.lost),
                          static_cast<long long>(transfer.firstMismatch));
            out << line;
        }
        out << (passed ? "PASSED" : "FAILED") << "\n";
    }
    return status;
}

}  // namespace q407::tools
