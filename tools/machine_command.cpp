#include "tools/machine_command.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "platform/user/remote/socket_path.h"
#include "platform/user/remote/wire_message.h"
#include "platform/user/remote/wire_ops.h"
#include "sim/host/pnp_manager.h"
#include "sim/host/pool.h"
#include "sim/host/trace_log.h"
#include "sim/host/verifier.h"
#include "sim/service/audio_handlers.h"
#include "sim/service/machine_server.h"
#include "sim/service/window_registry.h"
#include "tools/cli_parse.h"
#include "tools/device_rig.h"
#include "tools/machine_devices.h"
#include "tools/machine_feeds.h"
#include "tools/machine_settings.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

// Device requests arrive on the connections' workers, which run in their clients' processes; the
// device changes themselves run on the machine's main thread, as the system's own work. A worker
// waits for its answer; once the machine stops, waiting and new requests are answered at once.
class DeviceRequestQueue {
  public:
    DeviceRequestQueue() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~DeviceRequestQueue() {
        if (wake_ >= 0) close(wake_);
    }
    int WakeFd() const { return wake_; }

    std::string Ask(const std::string& request) {
        auto item = std::make_shared<Item>();
        item->request = request;
        {
            std::unique_lock lock(mutex_);
            if (closed_) return Stopping();
            items_.push_back(item);
        }
        const uint64_t one = 1;
        if (write(wake_, &one, sizeof(one)) < 0) {
            // The counter is far from full; a failed wake leaves the request to the next pass.
        }
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return item->answered; });
        return item->answer;
    }

    // On the main thread: answers every waiting request.
    void Serve(MachineDevices& devices) {
        uint64_t count = 0;
        if (read(wake_, &count, sizeof(count)) < 0) {
            // EAGAIN: nothing was signalled; the queue is looked at anyway.
        }
        for (;;) {
            std::shared_ptr<Item> item;
            {
                std::lock_guard lock(mutex_);
                if (items_.empty()) return;
                item = items_.front();
                items_.pop_front();
            }
            std::string answer = devices.RunText(item->request);
            std::lock_guard lock(mutex_);
            item->answer = std::move(answer);
            item->answered = true;
            done_.notify_all();
        }
    }

    void Close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        for (const auto& item : items_) {
            item->answer = Stopping();
            item->answered = true;
        }
        items_.clear();
        done_.notify_all();
    }

  private:
    struct Item {
        std::string request;
        std::string answer;
        bool answered = false;
    };
    static std::string Stopping() {
        return nlohmann::json{{"ok", false}, {"error", "the machine is stopping"}}.dump();
    }
    int wake_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Item>> items_;
    bool closed_ = false;
};

// Every driver tag still in pool once the devices are gone, in the pool's report form.
std::string DriverPoolLeft() {
    std::string left;
    for (const DriverPoolTag& t : DriverPoolNow())
        left += "tag " + t.tag + ": " + std::to_string(t.allocations) + " allocations, " +
                std::to_string(t.bytes) + " bytes; ";
    return left;
}

std::string TraceLine(const sim::TraceEntry& entry) {
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "[%.6f] ",
                  double(entry.time) / double(sim::kTicksPerSecond));
    std::string line = stamp + entry.text;
    if (line.empty() || line.back() != '\n') line += '\n';
    return line;
}

constexpr int kTraceKeepMs = 10000;

struct Options {
    std::string socket;
    int units = 1;
    uint32_t rate = 48000;
    MachineFeedOptions feeds;
    std::string logPath;
    std::string settingsPath;
    bool json = false;
};

}  // namespace

int MachineCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    Options o;
    o.socket = remote::DefaultMachineSocket();
    o.settingsPath = DefaultMachineSettingsPath();
    CLI::App app(
        "Runs the emulated machine in real time with virtual Q407 LX devices (Q407DRV and "
        "Q407WDM loaded) and serves client processes on a Unix-domain socket until SIGINT or "
        "SIGTERM.",
        "q407 machine");
    app.add_option("--socket", o.socket, "the socket to listen on")->capture_default_str();
    app.add_option("--units", o.units, "virtual devices on the machine")
        ->check(CLI::Range(1, 8))
        ->capture_default_str();
    app.add_option("--rate", o.rate, "sample rate when no settings are stored (given: always)")
        ->check(CLI::IsMember({44100, 48000, 88200, 96000}))
        ->capture_default_str();
    app.add_option("--input", o.feeds.input,
                   "what the inputs carry: loopback, ramp, signal, silence or a WAV file")
        ->capture_default_str();
    app.add_option("--outputs", o.feeds.outputsWav,
                   "write each device's 8 outputs to this WAV file (unit n: FILE-n)");
    app.add_option("--pcap", o.feeds.pcapPath,
                   "write each device's USB traffic as a usbmon pcap file (unit n: FILE-n)");
    app.add_option("--log", o.logPath, "write the trace to this file (default: standard error)");
    app.add_option("--settings", o.settingsPath, "the registry file loaded at start, saved at stop")
        ->capture_default_str();
    app.add_flag("--json", o.json, "one JSON object at start and one at stop");
    if (auto exit = ParseCommandLine(app, argc, argv, out, err)) return *exit;
    const bool rateGiven = app.count("--rate") > 0;

    std::string error;
    MachineFeeds feeds;
    if (!feeds.Prepare(o.feeds, &error)) {
        err << "q407 machine: " << error << "\n";
        return kMachineExitUsage;
    }
    if (service::MachineAnswersOn(o.socket)) {
        err << "q407 machine: a machine is already running on " << o.socket
            << " (stop it first, or choose another --socket)\n";
        return kMachineExitRunning;
    }
    std::ofstream log;
    if (!o.logPath.empty()) {
        log.open(o.logPath, std::ios::app);
        if (!log) {
            err << "q407 machine: cannot write the log file '" << o.logPath << "'\n";
            return kMachineExitUsage;
        }
    }

    // The signals are taken through a descriptor: blocked here, before any thread starts, so
    // that every thread of the machine inherits the mask and none runs a handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // A client or terminal gone mid-write is an error to report, not a reason to die.
    signal(SIGPIPE, SIG_IGN);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);
    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0) {
        err << "q407 machine: cannot take the stop signals: " << std::strerror(errno) << "\n";
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        return kMachineExitFailed;
    }

    int status = kMachineExitOk;
    std::vector<std::string> problems;
    {
        DeviceRigOptions rigOptions;
        rigOptions.clockMode = sim::ClockMode::Real;
        rigOptions.childDriver = WdmDriverEntryPoint();
        rigOptions.units = o.units;
        DeviceRig rig(rigOptions);
        std::mutex logMutex;
        int sink = 0;
        if (log.is_open()) {
            sink = sim::TraceLog::Instance().AddSink([&](const sim::TraceEntry& entry) {
                std::lock_guard lock(logMutex);
                log << TraceLine(entry) << std::flush;
            });
        } else {
            sim::TraceLog::Instance().SetEchoToStderr(true);
        }

        bool booted = LoadMachineSettings(rig, o.settingsPath, o.rate, rateGiven, &error);
        if (booted) {
            const NTSTATUS started = rig.Start();
            if (!NT_SUCCESS(started)) {
                error = "the devices did not start: status " + StatusText(started);
                booted = false;
            }
        }
        for (int unit = 0; booted && unit < rig.Units(); ++unit)
            booted = feeds.Apply(rig, unit, &error);

        MachineDevices devices(rig);
        DeviceRequestQueue requests;
        service::MachineServer server(service::MachineServerOptions{o.socket});
        if (booted) {
            devices.OnPlugged([&](int unit) {
                std::string why;
                if (!feeds.Apply(rig, unit, &why))
                    err << "q407 machine: unit " << unit << ": " << why << "\n";
            });
            // Requests come over a connection of their own: the asker is not counted.
            devices.CountClients([&server] {
                const size_t connections = server.ConnectionCount();
                return connections > 0 ? connections - 1 : 0;
            });
            server.Handlers().Add(
                remote::Op::DeviceCommand,
                [&requests](service::CallContext&, remote::WireReader& in,
                            remote::WireWriter& reply) {
                    const std::string request = in.String();
                    if (!in.AtEnd()) {
                        reply.String(
                            nlohmann::json{{"ok", false}, {"error", "malformed request"}}.dump());
                        return;
                    }
                    reply.String(requests.Ask(request));
                });
            service::AddAudioHandlers(server.Handlers());
            service::AddWindowHandlers(server.Handlers());
            booted = server.Start(&error);
            if (!booted && service::MachineAnswersOn(o.socket)) status = kMachineExitRunning;
        }
        if (!booted) {
            err << "q407 machine: " << error << "\n";
            if (status == kMachineExitOk) status = kMachineExitFailed;
        } else {
            if (o.json) {
                out << nlohmann::json{{"event", "started"},
                                      {"socket", o.socket},
                                      {"units", o.units},
                                      {"pid", getpid()},
                                      {"settings", o.settingsPath}}
                           .dump()
                    << std::endl;
            } else {
                out << "q407 machine: listening on " << o.socket << " (" << o.units
                    << (o.units == 1 ? " unit" : " units") << ", pid " << getpid()
                    << "); Ctrl-C stops it\n"
                    << std::flush;
            }
            int stopSignal = 0;
            while (stopSignal == 0) {
                pollfd fds[2] = {{signals, POLLIN, 0}, {requests.WakeFd(), POLLIN, 0}};
                // The log keeps every entry for tests to read; here each has gone to its sink
                // already, so a machine that runs for days drops them now and then.
                const int ready = poll(fds, 2, kTraceKeepMs);
                if (ready == 0) sim::TraceLog::Instance().Clear();
                if (ready < 0 && errno != EINTR) {
                    problems.push_back(std::string("waiting for signals failed: ") +
                                       std::strerror(errno));
                    break;
                }
                if (fds[1].revents & POLLIN) requests.Serve(devices);
                if (fds[0].revents & POLLIN) {
                    signalfd_siginfo info{};
                    if (read(signals, &info, sizeof(info)) == sizeof(info))
                        stopSignal = static_cast<int>(info.ssi_signo);
                }
            }
            if (!o.json) out << "q407 machine: stopping\n" << std::flush;
        }

        // Stop: no more device requests, the connections' processes end (their drivers' cleanup
        // runs), the devices go, the settings the engine saved on removal go to the file.
        requests.Close();
        server.Stop();
        if (server.ConnectionCount() != 0)
            problems.push_back(std::to_string(server.ConnectionCount()) +
                               " connections still open after the stop");
        if (!feeds.Finish(rig, &error)) problems.push_back(error);
        for (int unit = 0; unit < rig.Units(); ++unit) {
            if (!rig.Removed(unit) && !NT_SUCCESS(rig.Remove(unit))) rig.Unplug(unit);
        }
        rig.Pnp().WaitIdle();
        for (int unit = 0; unit < rig.Units(); ++unit) {
            if (!rig.Removed(unit))
                problems.push_back("unit " + std::to_string(unit) + " was not removed");
        }
        if (booted && !SaveMachineSettings(o.settingsPath, &error)) problems.push_back(error);
        const std::string left = DriverPoolLeft();
        if (!left.empty()) problems.push_back("pool left by the drivers: " + left);
        if (sink != 0) sim::TraceLog::Instance().RemoveSink(sink);
        sim::TraceLog::Instance().SetEchoToStderr(false);
        if (booted) {
            if (!problems.empty()) status = kMachineExitFailed;
            if (o.json) {
                out << nlohmann::json{{"event", "stopped"},
                                      {"clean", problems.empty()},
                                      {"problems", problems},
                                      {"settings", o.settingsPath}}
                           .dump()
                    << std::endl;
            } else if (problems.empty()) {
                out << "q407 machine: stopped clean (devices removed, nothing left in pool, "
                       "settings saved to "
                    << o.settingsPath << ")\n";
            }
            for (const std::string& problem : problems) err << "q407 machine: " << problem << "\n";
        }
    }
    close(signals);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return status;
}

}  // namespace q407::tools
