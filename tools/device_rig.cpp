#include "tools/device_rig.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "sim/device/usb_bus.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "sim/host/registry_store.h"
#include "usbdriver/control/function_device.h"

namespace q407::tools {
namespace {

const wchar_t kServiceName[] = L"Q407DRV";
const wchar_t kSettingsValueName[] = L"MixerQ40714";

NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor) {
    return sim::SendSystemRequest(device, IRP_MJ_PNP, minor, nullptr, STATUS_NOT_SUPPORTED);
}

}  // namespace

// Construction order is teardown order reversed: the machine outlives the device on its bus.
struct DeviceRig::Machine {
    explicit Machine(sim::ClockMode mode) : machine(mode) {}
    sim::Machine machine;
    sim::VirtualQ407 device;
    PDRIVER_OBJECT driver = nullptr;
};

DeviceRig::DeviceRig(const DeviceRigOptions& options)
    : machine_(std::make_unique<Machine>(options.clockMode)) {
    if (!NT_SUCCESS(sim::LoadDriver(kServiceName, Q407DriverEntry, &machine_->driver))) return;
    if (!NT_SUCCESS(sim::CallAddDevice(machine_->driver, machine_->device.Pdo()))) return;
    functionalDevice_ = sim::TopOfStack(machine_->device.Pdo());
}

DeviceRig::~DeviceRig() {
    Remove();
    if (machine_->driver != nullptr) (void)sim::UnloadDriver(kServiceName);
    machine_.reset();
}

void DeviceRig::StoreSettings(const MixerSettings& settings) {
    const std::wstring key = sim::DeviceRegistryKeyPath(
        machine_->device.Pdo(), PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    const auto* bytes = reinterpret_cast<const UCHAR*>(&settings);
    sim::RegistryStore::Instance().SetValue(key, kSettingsValueName, REG_BINARY,
                                            std::vector<UCHAR>(bytes, bytes + sizeof(settings)));
}

NTSTATUS DeviceRig::Start() {
    if (functionalDevice_ == nullptr || removed_) return STATUS_NO_SUCH_DEVICE;
    return SendPnp(functionalDevice_, IRP_MN_START_DEVICE);
}

void DeviceRig::Stop() {
    if (functionalDevice_ == nullptr || removed_) return;
    if (NT_SUCCESS(SendPnp(functionalDevice_, IRP_MN_QUERY_STOP_DEVICE)))
        (void)SendPnp(functionalDevice_, IRP_MN_STOP_DEVICE);
    else
        (void)SendPnp(functionalDevice_, IRP_MN_CANCEL_STOP_DEVICE);
}

void DeviceRig::BeginRemove() {
    if (functionalDevice_ == nullptr || removed_ || surpriseRemoved_) return;
    (void)SendPnp(functionalDevice_, IRP_MN_SURPRISE_REMOVAL);
    surpriseRemoved_ = true;
}

void DeviceRig::FinishRemove() {
    if (functionalDevice_ == nullptr || removed_) return;
    (void)SendPnp(functionalDevice_, IRP_MN_REMOVE_DEVICE);
    removed_ = true;
}

void DeviceRig::Remove() {
    if (functionalDevice_ == nullptr || removed_) return;
    if (!surpriseRemoved_ && !NT_SUCCESS(SendPnp(functionalDevice_, IRP_MN_QUERY_REMOVE_DEVICE))) {
        (void)SendPnp(functionalDevice_, IRP_MN_CANCEL_REMOVE_DEVICE);
        BeginRemove();
    }
    FinishRemove();
}

bool DeviceRig::Started() const {
    return Facade() != nullptr;
}

DeviceFacade* DeviceRig::Facade() const {
    if (functionalDevice_ == nullptr || removed_) return nullptr;
    return ExtensionOf(functionalDevice_)->facade;
}

void DeviceRig::RunFor(sim::ClockTicks duration) {
    machine_->machine.RunFor(duration);
}

void DeviceRig::RunForSeconds(double seconds) {
    RunFor(static_cast<sim::ClockTicks>(seconds * double(sim::kTicksPerSecond)));
}

sim::Q407Device& DeviceRig::Device() {
    return machine_->device.Device();
}

bool StartDeviceWithSettings(DeviceRig& rig, const MixerSettings& settings, std::string* error) {
    rig.StoreSettings(settings);
    const NTSTATUS status = rig.Start();
    if (NT_SUCCESS(status)) return true;
    char text[64];
    std::snprintf(text, sizeof(text), "the device did not start: status 0x%08" PRIX32,
                  static_cast<uint32_t>(status));
    *error = text;
    return false;
}

}  // namespace q407::tools
