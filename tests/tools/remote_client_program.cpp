// A client program of a running machine, for the tests that run machine and clients as separate
// Linux processes: it links to the machine's socket, then attaches the way the panel does (the
// status record mapped, the removal event set) or the way the ASIO driver does (status, shared
// buffer, period event, channels running), and reports on standard output, one line each:
//   ready {"address": A, "process": P, "sampleRate": R, "latency": L, "usbBuffers": N}
//   streaming            (asio: ten periods have come)
//   done {"periods": N}  (the time ran out; exit 0)
//   removed              (panel: the removal event came; exit 4)
//   gone                 (the machine went away; exit 3)
// Usage: remote_client_program SOCKET panel|asio SECONDS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/remote/client_link.h"
#include "tests/usbdriver/control/win32_clients.h"

namespace {

using Clock = std::chrono::steady_clock;

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void Ready(const q407::EngineStatus* status) {
    char line[256];
    std::snprintf(line, sizeof(line),
                  "ready {\"address\": %llu, \"process\": %u, \"sampleRate\": %u, \"latency\": "
                  "%u, \"usbBuffers\": %u}",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(status)),
                  q407::remote::ClientLink::Current()->ProcessId(), status->sampleRate,
                  status->latency, status->usbBufferCount);
    Say(line);
}

bool MachineGone() {
    return !q407::remote::ClientLink::Current()->Alive();
}

int RunPanel(double seconds) {
    q407::testing::PanelLikeClient panel;
    std::string failure;
    if (!panel.Start(&failure)) {
        Say("failed " + failure);
        return MachineGone() ? 3 : 1;
    }
    Ready(panel.Status());
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (MachineGone()) {
            Say("gone");
            return 3;
        }
        if (panel.RemovalSignalled()) {
            // As the panel does: the device is going, let go of it.
            panel.Close();
            Say("removed");
            return 4;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    panel.Close();
    Say("done {\"periods\": 0}");
    return 0;
}

int RunAsio(double seconds) {
    q407::testing::AsioLikeClient asio;
    std::string failure;
    if (!asio.Start(&failure)) {
        Say("failed " + failure);
        return MachineGone() ? 3 : 1;
    }
    Ready(asio.Status());
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    int periods = 0;
    std::vector<uint32_t> halves;
    while (Clock::now() < end) {
        if (!asio.WaitPeriods(1, 5000, &halves)) {
            Say(MachineGone() ? "gone" : "stalled");
            return MachineGone() ? 3 : 1;
        }
        if (++periods == 10) Say("streaming");
    }
    asio.Stop();
    Say("done {\"periods\": " + std::to_string(periods) + "}");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SOCKET panel|asio SECONDS\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[2];
    const double seconds = std::atof(argv[3]);
    std::string error;
    if (!q407::remote::ClientLink::Connect(
            argv[1], L"remote client " + std::wstring(mode.begin(), mode.end()), &error)) {
        Say("failed " + error);
        return 3;
    }
    const int status = mode == "asio" ? RunAsio(seconds) : mode == "panel" ? RunPanel(seconds) : 2;
    q407::remote::ClientLink::Disconnect();
    return status;
}
