// The panel's way to the USB driver: the units of the device found and opened, and one small
// synchronous operation per control message the panel sends. Everything runs on the panel's
// user-interface thread; nothing is locked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "panel/app/version_info.h"
#include "platform/user/device_access.h"
#include "shared/control_message.h"
#include "shared/engine_status.h"
#include "shared/mixer_settings.h"

namespace q407::panel {

inline constexpr int32_t kUnitSlots = 8;
// The USB buffer count a failed or out-of-range read stands for.
inline constexpr int32_t kFallbackUsbBufferCount = 5;

// Laid out as the ASIO driver's table of units: eight handle slots, the count kept, the slot the
// requests go to, a zero word and the reference count of the device watcher and the main dialog.
class USBDevice {
  public:
    // All zero; filled by open.
    USBDevice() = default;
    // Closes what is still open.
    ~USBDevice();
    USBDevice(const USBDevice&) = delete;
    USBDevice& operator=(const USBDevice&) = delete;

    // Enumerates the device interfaces when nothing is open yet, keeping the (at most eight) that
    // answer interface version 1.0; whether any unit is open.
    bool open();
    // Closes every handle, last slot first; count and selected become 0.
    void closeAll();
    // Unit u is slot count - 1 - u; a unit beyond the count selects the last slot (unit 0).
    void selectUnit(int32_t unit);
    int32_t count() const { return count_; }
    int32_t selected() const { return selected_; }

    // For an object made with new: the last release deletes it. Both return the new count.
    int32_t addRef();
    int32_t release();
    int32_t refCount() const { return refCount_; }

    // The requests, to the selected slot. Each returns whether the USB driver carried it out.
    bool readSettings(MixerSettings* area);
    bool writeSettings(const MixerSettings* block);
    // flag 1 maps the engine's status record into this process, 0 unmaps it; *key and *record
    // carry the current mapping in and the driver's answer out (all 64 bits of both).
    bool mapPanelStatus(uint32_t flag, uint64_t* key, EngineStatus** record);
    bool readRate(uint32_t* rate);
    // The settings block's USB buffer count when it lies in 2..5, else (or on failure) 5.
    int32_t readUsbBuffer();
    // The buffer size in samples; 0 when the request fails.
    uint32_t getLatency();
    // Fails while another application records, unless force is 1.
    bool setLatency(uint32_t samples, uint32_t force);
    // Read, change the rate, write, read back: false only when the first read fails; the rate
    // read back goes to *rateReadBack (when given and the read back succeeded).
    bool setConfiguration(uint32_t rate, uint32_t* rateReadBack = nullptr);
    // n in 2..5 only.
    bool setUsbBuffer(uint32_t n);
    bool getDriverVersion(VersionInfo* info);
    // The texts are formatted whatever the request's outcome ("0.0  (0)" build 9 without one).
    bool getFirmwareVersion(VersionInfo* info);
    // True without a request when there is nothing to send.
    bool sendCodecBytes(uint32_t byteCount, const uint8_t* bytes);
    bool setDigitalOptions(uint8_t options);

  private:
    bool selectedHandleValid() const;
    bool send(ControlMessage* message);
    // Opens one interface path and keeps it when it answers version 1.0.
    void keepIfAnswering(const WCHAR* path);

    HANDLE handles_[kUnitSlots] = {};
    int32_t count_ = 0;
    int32_t selected_ = 0;
    [[maybe_unused]] int32_t zero_ = 0;
    int32_t refCount_ = 0;

    friend struct USBDeviceLayout;
};

// The 48-byte record of a 32-bit process takes 80 bytes with 64-bit handles.
struct USBDeviceLayout {
    static_assert(offsetof(USBDevice, count_) == kUnitSlots * sizeof(HANDLE));
    static_assert(offsetof(USBDevice, selected_) == kUnitSlots * sizeof(HANDLE) + 4);
    static_assert(offsetof(USBDevice, zero_) == kUnitSlots * sizeof(HANDLE) + 8);
    static_assert(offsetof(USBDevice, refCount_) == kUnitSlots * sizeof(HANDLE) + 12);
    static_assert(sizeof(USBDevice) == kUnitSlots * sizeof(HANDLE) + 16);
};

// The driver's device-interface class in the system's GUID type.
GUID InterfaceClass();

// The codec port's send routine as the main dialog installs it: context is the USBDevice.
bool SendCodecBytesToDevice(void* context, const uint8_t* bytes, uint32_t count);

}  // namespace q407::panel
