#include "tools/device_rig.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "sim/device/usb_bus.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "sim/host/pnp_manager.h"
#include "sim/host/registry_store.h"
#include "usbdriver/control/function_device.h"

namespace q407::tools {
namespace {

const wchar_t kServiceName[] = L"Q407DRV";
const wchar_t kSettingsValueName[] = L"MixerQ40714";
constexpr unsigned kSerial = 1;

}  // namespace

// Construction order is teardown order reversed: the machine outlives the device on its bus, and
// the device outlives the Plug and Play manager that removes it.
struct DeviceRig::Machine {
    explicit Machine(sim::ClockMode mode)
        : machine(mode), device(std::make_unique<sim::VirtualQ407>(kSerial)) {}
    sim::Machine machine;
    std::unique_ptr<sim::VirtualQ407> device;
    sim::PnpManager pnp;

    PDEVICE_OBJECT Pdo() const { return device->Pdo(); }
};

DeviceRig::DeviceRig(const DeviceRigOptions& options)
    : machine_(std::make_unique<Machine>(options.clockMode)) {
    machine_->pnp.RegisterDriver(kQ407HardwareId, kServiceName, Q407DriverEntry);
    if (options.childDriver != nullptr)
        machine_->pnp.RegisterDriver(kChildHardwareId, kChildServiceName, options.childDriver);
}

DeviceRig::~DeviceRig() {
    if (machine_->pnp.Knows(machine_->Pdo()) && !NT_SUCCESS(Remove())) {
        // Vetoed: the device goes the way a pulled one does.
        Unplug();
    }
    machine_.reset();
}

void DeviceRig::StoreSettings(const MixerSettings& settings) {
    const std::wstring key = sim::DeviceRegistryKeyPath(
        machine_->Pdo(), PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    const auto* bytes = reinterpret_cast<const UCHAR*>(&settings);
    sim::RegistryStore::Instance().SetValue(key, kSettingsValueName, REG_BINARY,
                                            std::vector<UCHAR>(bytes, bytes + sizeof(settings)));
}

NTSTATUS DeviceRig::Start() {
    PDEVICE_OBJECT pdo = machine_->Pdo();
    if (pdo == nullptr || !machine_->device->Bus().Plugged()) return STATUS_NO_SUCH_DEVICE;
    sim::PnpManager& pnp = machine_->pnp;
    if (!pnp.Knows(pdo)) return pnp.Plug(pdo);
    switch (pnp.StateOf(pdo)) {
        case sim::DeviceNodeState::Started:
            return STATUS_SUCCESS;
        case sim::DeviceNodeState::Stopped:
            return pnp.Restart(pdo);
        case sim::DeviceNodeState::Failed:
        case sim::DeviceNodeState::NoDriver:
            return pnp.Plug(pdo);
        default:
            return STATUS_DELETE_PENDING;
    }
}

NTSTATUS DeviceRig::Stop() {
    return machine_->pnp.Stop(machine_->Pdo());
}

void DeviceRig::Unplug() {
    if (!machine_->device->Bus().Plugged()) return;
    machine_->device->Bus().Unplug();
    machine_->pnp.ReportMissing(machine_->Pdo());
    machine_->pnp.WaitIdle();
}

NTSTATUS DeviceRig::Replug() {
    if (machine_->device->Bus().Plugged()) return STATUS_OBJECT_NAME_COLLISION;
    machine_->pnp.WaitIdle();
    if (machine_->pnp.Knows(machine_->Pdo())) return STATUS_DELETE_PENDING;
    // The old device's objects go before the new one takes its instance path.
    machine_->device.reset();
    machine_->device = std::make_unique<sim::VirtualQ407>(kSerial);
    return machine_->pnp.Plug(machine_->Pdo());
}

void DeviceRig::BeginRemove() {
    Unplug();
}

void DeviceRig::FinishRemove() {
    machine_->pnp.WaitIdle();
}

NTSTATUS DeviceRig::Remove() {
    if (!machine_->pnp.Knows(machine_->Pdo())) return STATUS_SUCCESS;
    return machine_->pnp.Remove(machine_->Pdo());
}

NTSTATUS DeviceRig::Sleep() {
    return machine_->pnp.Sleep(PowerSystemSleeping3);
}

NTSTATUS DeviceRig::Wake() {
    return machine_->pnp.Wake();
}

bool DeviceRig::Started() const {
    return Facade() != nullptr;
}

bool DeviceRig::Removed() const {
    return !machine_->pnp.Knows(machine_->Pdo());
}

PDEVICE_OBJECT DeviceRig::FunctionalDevice() const {
    PDEVICE_OBJECT pdo = machine_->Pdo();
    if (pdo == nullptr || !machine_->pnp.Knows(pdo)) return nullptr;
    PDEVICE_OBJECT above = pdo->AttachedDevice;
    if (above == nullptr || above->DriverObject != sim::FindDriver(kServiceName)) return nullptr;
    return above;
}

PDEVICE_OBJECT DeviceRig::ChildDevice() const {
    const auto children = machine_->pnp.ChildrenOf(machine_->Pdo());
    return children.empty() ? nullptr : children.front();
}

DeviceFacade* DeviceRig::Facade() const {
    PDEVICE_OBJECT fdo = FunctionalDevice();
    return fdo != nullptr ? ExtensionOf(fdo)->facade : nullptr;
}

void DeviceRig::RunFor(sim::ClockTicks duration) {
    machine_->machine.RunFor(duration);
}

void DeviceRig::RunForSeconds(double seconds) {
    RunFor(static_cast<sim::ClockTicks>(seconds * double(sim::kTicksPerSecond)));
}

sim::Q407Device& DeviceRig::Device() {
    return machine_->device->Device();
}

sim::VirtualQ407& DeviceRig::VirtualDevice() {
    return *machine_->device;
}

sim::PnpManager& DeviceRig::Pnp() {
    return machine_->pnp;
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
