// The driver's side of the conversation with the USB driver: the units of the device found and
// opened, the engine's status record mapped into this process, and one routine per control
// message the driver sends. One link per process, kept in static storage; the driver object
// (asio_direct_sound.h) opens it in init and closes it when it is destroyed.
#pragma once

#include <atomic>
#include <cstdint>

#include "asio/usb_device_table.h"
#include "platform/user/device_access.h"
#include "shared/control_message.h"
#include "shared/engine_status.h"

namespace q407::asio {

class AsioDirectSound;

// Channel masks of one unit for RunAsioChannels: bit k of `input` for input 16d + k, bit k of
// `output` for output 8d + k.
struct UnitMasks {
    uint32_t output = 0;
    uint32_t input = 0;
};

class AsioDeviceLink {
  public:
    // Finds and opens the units (at most kMaxUnits), refuses while another ASIO client runs,
    // maps the status record and reads the buffer size and USB buffer count. False, with nothing
    // left open, when any of that fails.
    bool Open();
    // Unmaps the status record and closes every unit; safe to call when not open.
    void Close();
    bool IsOpen() const { return devices_ != nullptr; }
    int32_t UnitCount() const { return devices_ != nullptr ? devices_->count : 0; }

    int32_t DeviceBufferFrames() const { return deviceBufferFrames_; }
    int32_t UsbBufferSetting() const { return usbBufferSetting_; }
    uint64_t ClientKey() const { return clientKey_; }

    // The mapped status record's sample rate (Hz) and underrun counter; 0 when unmapped.
    uint32_t StatusSampleRate() const;
    void ClearUnderrunCounter();

    // The requests. Each returns whether the USB driver carried it out; `error` (optional)
    // receives the Win32 error of a failed request.
    bool SetSampleRateOnAllUnits(uint32_t hz);
    bool SetChannelHalf(uint32_t direction, int32_t unit, uint32_t channelInUnit, uint32_t half,
                        uint64_t clientAddress);
    // The USB driver writes the buffer's address, all 8 bytes, into *variable.
    bool AllocSharedBuffer(uint32_t bytes, uint64_t* variable);
    // To each unit whose two masks are not both zero.
    void RunChannels(uint32_t runFlag, const UnitMasks* masks, int32_t unitCount);
    bool SetAsioEvent(HANDLE event);
    bool WriteAsioOutput(int32_t unit, uint32_t half, uint32_t enable);
    bool GetLatency(uint32_t* frames, DWORD* error = nullptr);
    // The USB buffer count of the settings block: 2..5, else (or when the request fails) 5.
    int32_t ReadUsbBufferSetting();

    // The one live driver object; read by the notification thread.
    std::atomic<AsioDirectSound*> currentDriver{nullptr};
    // The notification thread and its wake event while a start succeeded.
    HANDLE notifyThread = nullptr;
    HANDLE wakeEvent = nullptr;
    // Tells the thread to end at its next wake-up.
    std::atomic<bool> stopThread{false};

  private:
    bool Send(int32_t slot, ControlMessage* message, DWORD* error = nullptr);
    bool SendToUnit(int32_t unit, ControlMessage* message, DWORD* error = nullptr);
    bool MapStatus(uint32_t flag);
    void CloseAllHandles();

    USBDevice* devices_ = nullptr;
    EngineStatus* statusRecord_ = nullptr;
    uint64_t clientKey_ = 0;
    int32_t deviceBufferFrames_ = 0;
    int32_t usbBufferSetting_ = 0;
};

AsioDeviceLink& TheDeviceLink();

}  // namespace q407::asio
