#include "tools/asio_device_session.h"

#include <chrono>
#include <thread>

// The session sees both sides: the host's Win32 names (through its header) and the emulated
// kernel's declarations of the same names, which clang would report as shadowing them.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wshadow"
#endif
#include "sim/host/process.h"
#include "tools/device_rig.h"
#include "tools/wdm_machine.h"
#include "usbdriver/control/device_facade.h"
#include "usbdriver/engine/stream_engine.h"
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

namespace q407::tools {
namespace {

struct Snapshot {
    sim::DeviceCounters device;
    uint64_t engine = 0;
};

Snapshot Take(DeviceRig& rig) {
    Snapshot s;
    s.device = rig.Device().Counters();
    if (DeviceFacade* facade = rig.Facade(); facade != nullptr && facade->engine != nullptr) {
        const StreamEngine& engine = *facade->engine;
        s.engine = engine.m_PathCounters.asioUnderruns + engine.m_PathCounters.asioHalvesDropped +
                   engine.m_Counters.captureUnitsDropped;
    }
    return s;
}

}  // namespace

// The engine's notification table with a probe before the ASIO event is set.
struct ProbedNotifications {
    EngineNotifications table{};
    const EngineNotifications* facade = nullptr;
    void (*probe)() = nullptr;
    static ProbedNotifications* Of(PVOID context) {
        return static_cast<ProbedNotifications*>(context);
    }
    static void Output(PVOID c) { Forward(c, &EngineNotifications::NotifyOutputPeriod); }
    static void Input(PVOID c) { Forward(c, &EngineNotifications::NotifyInputPeriod); }
    static void Midi(PVOID c) { Forward(c, &EngineNotifications::NotifyMidiIn); }
    static LONG Signal(PVOID c) {
        ProbedNotifications* self = Of(c);
        if (self->probe != nullptr) self->probe();
        return self->facade->SignalAsioPeriod != nullptr
                   ? self->facade->SignalAsioPeriod(self->facade->context)
                   : 0;
    }
    static void Forward(PVOID c, void (*EngineNotifications::*call)(PVOID)) {
        const EngineNotifications* facade = Of(c)->facade;
        if (facade->*call != nullptr) (facade->*call)(facade->context);
    }
};

// The library is unloaded before the machine goes, the machine after.
struct DeviceSession::State {
    explicit State(const DeviceRigOptions& options) : rig(options) {}
    ~State() { module.reset(); }
    DeviceRig rig;
    std::unique_ptr<AsioModule> module;
    ProbedNotifications probed;
};

DeviceSession::DeviceSession() = default;
DeviceSession::~DeviceSession() = default;

bool DeviceSession::Boot(const DeviceSessionOptions& options, std::string* error) {
    DeviceRigOptions rigOptions;
    rigOptions.clockMode = options.realTime ? sim::ClockMode::Real : sim::ClockMode::Virtual;
    if (options.wdmDriver) rigOptions.childDriver = WdmDriverEntryPoint();
    state_ = std::make_unique<State>(rigOptions);
    MixerSettings settings = DefaultMixerSettings();
    settings.sampleRate = static_cast<LONG>(options.rate);
    settings.latency = static_cast<LONG>(options.latency);
    settings.usbBufferCount = static_cast<LONG>(options.buffers);
    if (!StartDeviceWithSettings(state_->rig, settings, error)) return false;
    if (options.loopback) state_->rig.Device().LoopbackAllInputs();
    state_->rig.Device().SetMidiLoopback(options.midiLoopback);
    state_->module = std::make_unique<AsioModule>(
        options.libraryPath.empty() ? DefaultAsioModulePath() : options.libraryPath);
    if (!state_->module->Loaded()) {
        *error = "cannot load the ASIO driver: " + state_->module->Error();
        return false;
    }
    return true;
}

void DeviceSession::RunForSeconds(double seconds) {
    if (state_) state_->rig.RunForSeconds(seconds);
}

void DeviceSession::SetAsioEventProbe(void (*probe)()) {
    DeviceFacade* facade = state_ ? state_->rig.Facade() : nullptr;
    if (facade == nullptr || facade->engine == nullptr) return;
    StreamEngine& engine = *facade->engine;
    ProbedNotifications& probed = state_->probed;
    // The completions read the table without a lock: it changes only while no pipe runs, and
    // the next ASIO start starts them again.
    (void)engine.EnableStreaming(0);
    if (probe == nullptr) {
        if (probed.facade != nullptr) engine.m_Facade = probed.facade;
        probed.facade = nullptr;
        return;
    }
    if (probed.facade == nullptr) probed.facade = engine.m_Facade;
    probed.table = {&probed, ProbedNotifications::Output, ProbedNotifications::Input,
                    ProbedNotifications::Signal, ProbedNotifications::Midi};
    probed.probe = probe;
    engine.m_Facade = &probed.table;
}

DeviceRig& DeviceSession::Rig() {
    return state_->rig;
}

AsioSessionFailure DeviceSession::Run(const AsioSessionRequest& request,
                                      DeviceSessionResult* result, std::string* error,
                                      const std::function<void()>& finished) {
    if (!state_ || !state_->module || !state_->module->Loaded()) {
        *error = "the machine has not been booted";
        return AsioSessionFailure::NoDriver;
    }
    DeviceRig& rig = state_->rig;
    AsioSessionRequest run = request;
    if (!run.advance) run.advance = [&rig](double seconds) { rig.RunForSeconds(seconds); };
    Snapshot before = Take(rig);
    run.started = [&] {
        before = Take(rig);
        if (request.started) request.started();
    };
    AsioSessionFailure failure = AsioSessionFailure::None;
    {
        sim::Process host("q407 asio host");
        sim::Process::Scope scope(host);
        std::string why;
        result->deviceKnown = QueryDeviceReport(&result->device, &why);
        AsioHost asio(*state_->module);
        failure = asio.Run(run, &result->asio, error);
        if (finished) finished();
    }
    const Snapshot after = Take(rig);
    result->deviceUnderruns = after.device.underruns - before.device.underruns;
    result->deviceOverruns = after.device.overruns - before.device.overruns;
    result->engineDropouts = after.engine - before.engine;
    if (failure == AsioSessionFailure::None && state_->module->CanUnloadNow() != S_OK) {
        *error = "the ASIO driver library still holds objects after the session";
        failure = AsioSessionFailure::DriverError;
    }
    return failure;
}

AsioSessionFailure RunLinkedSession(const std::string& libraryPath,
                                    const AsioSessionRequest& request, DeviceSessionResult* result,
                                    std::string* error) {
    AsioModule module(libraryPath.empty() ? DefaultAsioModulePath() : libraryPath);
    if (!module.Loaded()) {
        *error = "cannot load the ASIO driver: " + module.Error();
        return AsioSessionFailure::NoDriver;
    }
    AsioSessionRequest run = request;
    if (!run.advance)
        run.advance = [](double seconds) {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        };
    std::string why;
    result->deviceKnown = QueryDeviceReport(&result->device, &why);
    AsioSessionFailure failure = AsioSessionFailure::None;
    {
        AsioHost asio(module);
        failure = asio.Run(run, &result->asio, error);
    }
    if (failure == AsioSessionFailure::None && module.CanUnloadNow() != S_OK) {
        *error = "the ASIO driver library still holds objects after the session";
        failure = AsioSessionFailure::DriverError;
    }
    return failure;
}

AsioSessionFailure RunDeviceSession(const DeviceSessionOptions& options,
                                    const AsioSessionRequest& request, DeviceSessionResult* result,
                                    std::string* error) {
    DeviceSession session;
    if (!session.Boot(options, error)) return AsioSessionFailure::NoDriver;
    return session.Run(request, result, error);
}

}  // namespace q407::tools
