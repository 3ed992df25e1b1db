#include "tests/sim/host/portcls/fake_adapter_driver.h"

#include <memory>

namespace q407::testing {
namespace {

std::unique_ptr<FakeWaveLog> g_WaveLog = std::make_unique<FakeWaveLog>();
std::unique_ptr<FakeMidiLog> g_MidiLog = std::make_unique<FakeMidiLog>();
PUNKNOWN g_WaveMiniport = nullptr;
PUNKNOWN g_MidiMiniport = nullptr;

// Creates the port of the class, binds the miniport and registers the subdevice; the driver's
// own references go once the registration holds the port.
NTSTATUS InstallSubdevice(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources,
                          const GUID& portClass, PUNKNOWN miniport, const wchar_t* name) {
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, portClass);
    if (!NT_SUCCESS(status)) return status;
    status = port->Init(device, irp, miniport, nullptr, resources);
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(device, const_cast<PWCHAR>(name), port);
    port->Release();
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT device, PIRP irp, PRESOURCELIST resources) {
    NTSTATUS status = CreateFakeWavePciMiniport(g_WaveLog.get(), &g_WaveMiniport);
    if (NT_SUCCESS(status))
        status = InstallSubdevice(device, irp, resources, CLSID_PortWavePci, g_WaveMiniport,
                                  kFakeWaveName);
    if (g_WaveMiniport != nullptr) g_WaveMiniport->Release();  // the port holds it now
    if (!NT_SUCCESS(status)) return status;
    status = CreateFakeDmusMiniport(g_MidiLog.get(), &g_MidiMiniport);
    if (NT_SUCCESS(status))
        status =
            InstallSubdevice(device, irp, resources, CLSID_PortDMus, g_MidiMiniport, kFakeMidiName);
    if (g_MidiMiniport != nullptr) g_MidiMiniport->Release();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    return PcAddAdapterDevice(driver, physicalDevice, StartDevice, 4, 0);
}

}  // namespace

NTSTATUS FakeAdapterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}

FakeWaveLog& FakeAdapterWaveLog() {
    return *g_WaveLog;
}
FakeMidiLog& FakeAdapterMidiLog() {
    return *g_MidiLog;
}
PUNKNOWN FakeAdapterWaveMiniport() {
    return g_WaveMiniport;
}
PUNKNOWN FakeAdapterMidiMiniport() {
    return g_MidiMiniport;
}

void ResetFakeAdapter() {
    g_WaveLog = std::make_unique<FakeWaveLog>();
    g_MidiLog = std::make_unique<FakeMidiLog>();
    g_WaveMiniport = nullptr;
    g_MidiMiniport = nullptr;
}

}  // namespace q407::testing
