#include "tools/device_rig.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
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

void StoreSettingsOf(PDEVICE_OBJECT pdo, const std::vector<UCHAR>& settings) {
    const std::wstring key =
        sim::DeviceRegistryKeyPath(pdo, PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    sim::RegistryStore::Instance().SetValue(key, kSettingsValueName, REG_BINARY, settings);
}

}  // namespace

// Construction order is teardown order reversed: the machine outlives the devices on its bus, and
// the devices outlive the Plug and Play manager that removes them. A unit keeps its serial
// number, so a replugged unit is the same device instance to the system.
struct DeviceRig::Machine {
    Machine(sim::ClockMode mode, int unitCount) : machine(mode) {
        for (int unit = 0; unit < unitCount; ++unit)
            devices.push_back(std::make_unique<sim::VirtualQ407>(SerialOf(unit)));
    }
    static unsigned SerialOf(int unit) { return static_cast<unsigned>(unit) + 1; }

    sim::Machine machine;
    std::vector<std::unique_ptr<sim::VirtualQ407>> devices;
    sim::PnpManager pnp;
    std::vector<UCHAR> settings;

    sim::VirtualQ407& Unit(int unit) const { return *devices.at(static_cast<size_t>(unit)); }
    PDEVICE_OBJECT Pdo(int unit) const { return Unit(unit).Pdo(); }
};

DeviceRig::DeviceRig(const DeviceRigOptions& options)
    : machine_(
          std::make_unique<Machine>(options.clockMode, options.units > 0 ? options.units : 1)) {
    machine_->pnp.RegisterDriver(kQ407HardwareId, kServiceName, Q407DriverEntry);
    if (options.childDriver != nullptr)
        machine_->pnp.RegisterDriver(kChildHardwareId, kChildServiceName, options.childDriver);
}

DeviceRig::~DeviceRig() {
    for (int unit = 0; unit < Units(); ++unit) {
        if (machine_->pnp.Knows(machine_->Pdo(unit)) && !NT_SUCCESS(Remove(unit))) {
            // Vetoed: the device goes the way a pulled one does.
            Unplug(unit);
        }
    }
    machine_.reset();
}

void DeviceRig::StoreSettings(const MixerSettings& settings) {
    const auto* bytes = reinterpret_cast<const UCHAR*>(&settings);
    machine_->settings.assign(bytes, bytes + sizeof(settings));
    for (int unit = 0; unit < Units(); ++unit)
        StoreSettingsOf(machine_->Pdo(unit), machine_->settings);
}

NTSTATUS DeviceRig::Start() {
    NTSTATUS result = STATUS_SUCCESS;
    for (int unit = 0; unit < Units(); ++unit) {
        const NTSTATUS status = StartUnit(unit);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    }
    return result;
}

NTSTATUS DeviceRig::StartUnit(int unit) {
    PDEVICE_OBJECT pdo = machine_->Pdo(unit);
    if (pdo == nullptr || !machine_->Unit(unit).Bus().Plugged()) return STATUS_NO_SUCH_DEVICE;
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
    NTSTATUS result = STATUS_SUCCESS;
    for (int unit = 0; unit < Units(); ++unit) {
        const NTSTATUS status = machine_->pnp.Stop(machine_->Pdo(unit));
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    }
    return result;
}

void DeviceRig::Unplug(int unit) {
    sim::VirtualQ407& device = machine_->Unit(unit);
    if (!device.Bus().Plugged()) return;
    device.Bus().Unplug();
    machine_->pnp.ReportMissing(device.Pdo());
    machine_->pnp.WaitIdle();
}

NTSTATUS DeviceRig::Replug(int unit) {
    if (machine_->Unit(unit).Bus().Plugged()) return STATUS_OBJECT_NAME_COLLISION;
    machine_->pnp.WaitIdle();
    if (machine_->pnp.Knows(machine_->Pdo(unit))) return STATUS_DELETE_PENDING;
    // The old device's objects go before the new one takes its instance path.
    std::unique_ptr<sim::VirtualQ407>& slot = machine_->devices.at(static_cast<size_t>(unit));
    slot.reset();
    slot = std::make_unique<sim::VirtualQ407>(Machine::SerialOf(unit));
    if (!machine_->settings.empty()) StoreSettingsOf(slot->Pdo(), machine_->settings);
    return machine_->pnp.Plug(slot->Pdo());
}

void DeviceRig::BeginRemove(int unit) {
    Unplug(unit);
}

void DeviceRig::FinishRemove(int unit) {
    (void)unit;  // the manager's removals are machine-wide work
    machine_->pnp.WaitIdle();
}

NTSTATUS DeviceRig::Remove(int unit) {
    if (!machine_->pnp.Knows(machine_->Pdo(unit))) return STATUS_SUCCESS;
    return machine_->pnp.Remove(machine_->Pdo(unit));
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

bool DeviceRig::Removed(int unit) const {
    return !machine_->pnp.Knows(machine_->Pdo(unit));
}

PDEVICE_OBJECT DeviceRig::FunctionalDevice(int unit) const {
    PDEVICE_OBJECT pdo = machine_->Pdo(unit);
    if (pdo == nullptr || !machine_->pnp.Knows(pdo)) return nullptr;
    PDEVICE_OBJECT above = pdo->AttachedDevice;
    if (above == nullptr || above->DriverObject != sim::FindDriver(kServiceName)) return nullptr;
    return above;
}

PDEVICE_OBJECT DeviceRig::ChildDevice(int unit) const {
    const auto children = machine_->pnp.ChildrenOf(machine_->Pdo(unit));
    return children.empty() ? nullptr : children.front();
}

DeviceFacade* DeviceRig::Facade(int unit) const {
    PDEVICE_OBJECT fdo = FunctionalDevice(unit);
    return fdo != nullptr ? ExtensionOf(fdo)->facade : nullptr;
}

void DeviceRig::RunFor(sim::ClockTicks duration) {
    machine_->machine.RunFor(duration);
}

void DeviceRig::RunForSeconds(double seconds) {
    RunFor(static_cast<sim::ClockTicks>(seconds * double(sim::kTicksPerSecond)));
}

int DeviceRig::Units() const {
    return static_cast<int>(machine_->devices.size());
}

sim::Q407Device& DeviceRig::Device(int unit) {
    return machine_->Unit(unit).Device();
}

sim::VirtualQ407& DeviceRig::VirtualDevice(int unit) {
    return machine_->Unit(unit);
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
