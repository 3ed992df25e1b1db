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

}  // namespace

// Construction order is teardown order reversed: the machine outlives the devices on its bus.
// A unit's devices that were unplugged stay until the rig goes, as objects the driver may still
// hold references to.
struct DeviceRig::Unit {
    std::vector<std::unique_ptr<sim::VirtualQ407>> devices;  // the last one is plugged in
    PDEVICE_OBJECT functionalDevice = nullptr;
    bool unplugged = false;  // surprise-removed; the device object waits for its handles
    bool removed = false;
};

struct DeviceRig::Machine {
    explicit Machine(sim::ClockMode mode) : machine(mode) {}
    sim::Machine machine;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<Unit> units;
    unsigned nextSerial = 1;
    std::vector<UCHAR> settings;
};

DeviceRig::DeviceRig(const DeviceRigOptions& options)
    : machine_(std::make_unique<Machine>(options.clockMode)) {
    machine_->units.resize(static_cast<size_t>(options.units > 0 ? options.units : 1));
    if (!NT_SUCCESS(sim::LoadDriver(kServiceName, Q407DriverEntry, &machine_->driver))) return;
    for (int unit = 0; unit < Units(); ++unit) {
        if (!NT_SUCCESS(AddUnit(unit))) return;
    }
}

DeviceRig::~DeviceRig() {
    for (int unit = 0; unit < Units(); ++unit) {
        if (machine_->units[size_t(unit)].functionalDevice != nullptr &&
            !machine_->units[size_t(unit)].removed) {
            BeginRemove(unit);
            FinishRemove(unit);
        }
    }
    if (machine_->driver != nullptr) (void)sim::UnloadDriver(kServiceName);
    machine_.reset();
}

NTSTATUS DeviceRig::AddUnit(int unit) {
    Unit& u = machine_->units[size_t(unit)];
    u.devices.push_back(std::make_unique<sim::VirtualQ407>(machine_->nextSerial++));
    u.functionalDevice = nullptr;
    u.unplugged = false;
    u.removed = false;
    const NTSTATUS status = sim::CallAddDevice(machine_->driver, u.devices.back()->Pdo());
    if (!NT_SUCCESS(status)) return status;
    u.functionalDevice = sim::TopOfStack(u.devices.back()->Pdo());
    if (!machine_->settings.empty()) {
        const std::wstring key = sim::DeviceRegistryKeyPath(
            u.devices.back()->Pdo(), PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
        sim::RegistryStore::Instance().SetValue(key, kSettingsValueName, REG_BINARY,
                                                machine_->settings);
    }
    return STATUS_SUCCESS;
}

void DeviceRig::StoreSettings(const MixerSettings& settings) {
    const auto* bytes = reinterpret_cast<const UCHAR*>(&settings);
    machine_->settings.assign(bytes, bytes + sizeof(settings));
    for (Unit& u : machine_->units) {
        if (u.devices.empty()) continue;
        const std::wstring key = sim::DeviceRegistryKeyPath(
            u.devices.back()->Pdo(), PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
        sim::RegistryStore::Instance().SetValue(key, kSettingsValueName, REG_BINARY,
                                                machine_->settings);
    }
}

NTSTATUS DeviceRig::Start() {
    NTSTATUS result = STATUS_SUCCESS;
    for (Unit& u : machine_->units) {
        if (u.functionalDevice == nullptr || u.removed) {
            if (NT_SUCCESS(result)) result = STATUS_NO_SUCH_DEVICE;
            continue;
        }
        const NTSTATUS status = StartFunctionDevice(u.functionalDevice);
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
    }
    return result;
}

void DeviceRig::Stop() {
    for (Unit& u : machine_->units) {
        if (u.functionalDevice != nullptr && !u.removed && !u.unplugged)
            StopFunctionDevice(u.functionalDevice);
    }
}

void DeviceRig::BeginRemove(int unit) {
    Unit& u = machine_->units.at(size_t(unit));
    if (u.functionalDevice == nullptr || u.removed) return;
    BeginRemoveFunctionDevice(u.functionalDevice);
}

void DeviceRig::FinishRemove(int unit) {
    Unit& u = machine_->units.at(size_t(unit));
    if (u.functionalDevice == nullptr || u.removed) return;
    FinishRemoveFunctionDevice(u.functionalDevice);
    u.removed = true;
}

// As the system handles a surprise removal: the driver stops the device at once, and removes it
// only once its handles are closed (here: when it is plugged in again or the rig goes).
void DeviceRig::Unplug(int unit) {
    Unit& u = machine_->units.at(size_t(unit));
    if (u.devices.empty() || u.removed || u.unplugged) return;
    u.devices.back()->Bus().Unplug();
    if (u.functionalDevice != nullptr) StopFunctionDevice(u.functionalDevice);
    u.unplugged = true;
}

NTSTATUS DeviceRig::Replug(int unit) {
    Unit& u = machine_->units.at(size_t(unit));
    if (!u.unplugged && !u.removed) return STATUS_INVALID_DEVICE_STATE;
    BeginRemove(unit);
    FinishRemove(unit);
    const NTSTATUS added = AddUnit(unit);
    if (!NT_SUCCESS(added)) return added;
    return StartFunctionDevice(u.functionalDevice);
}

bool DeviceRig::Started() const {
    return Facade() != nullptr;
}

int DeviceRig::Units() const {
    return static_cast<int>(machine_->units.size());
}

PDEVICE_OBJECT DeviceRig::FunctionalDevice(int unit) const {
    const Unit& u = machine_->units.at(size_t(unit));
    return u.removed ? nullptr : u.functionalDevice;
}

DeviceFacade* DeviceRig::Facade(int unit) const {
    const Unit& u = machine_->units.at(size_t(unit));
    if (u.functionalDevice == nullptr || u.removed) return nullptr;
    return ExtensionOf(u.functionalDevice)->facade;
}

void DeviceRig::RunFor(sim::ClockTicks duration) {
    machine_->machine.RunFor(duration);
}

void DeviceRig::RunForSeconds(double seconds) {
    RunFor(static_cast<sim::ClockTicks>(seconds * double(sim::kTicksPerSecond)));
}

sim::Q407Device& DeviceRig::Device(int unit) {
    return machine_->units.at(size_t(unit)).devices.back()->Device();
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
