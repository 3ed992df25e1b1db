// Clients written as Win32 code against platform/user, as the ASIO driver and the panel reach the
// device: each call runs in the emulated process of the calling thread. The interface uses plain
// types only, so that tests can include it beside the kernel's headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shared/engine_status.h"

namespace q407::testing {

// The ASIO driver's attachment: status mapped for the ASIO slot, one shared buffer under the
// mapping key, input and output channel 0 registered for both halves, the period event, channels
// running.
class AsioLikeClient {
  public:
    bool Start(std::string* failure);
    // Waits for n period events (each at most timeoutMs) and records the mapped status's half
    // index after each; false on a time-out.
    bool WaitPeriods(int n, uint32_t timeoutMs, std::vector<uint32_t>* halves);
    // Stops the channels and gives everything back with control messages.
    void Stop();

    const EngineStatus* Status() const { return status_; }
    uint64_t BufferAddress() const { return buffer_; }

  private:
    void* device_ = nullptr;
    void* event_ = nullptr;
    const EngineStatus* status_ = nullptr;
    uint64_t key_ = 0;
    uint64_t buffer_ = 0;
};

// The panel's attachment: status mapped for the panel slot and the removal event set.
class PanelLikeClient {
  public:
    bool Start(std::string* failure);
    const EngineStatus* Status() const { return status_; }
    // True when the removal event is signalled.
    bool RemovalSignalled();
    void Close();

  private:
    void* device_ = nullptr;
    void* removal_ = nullptr;
    const EngineStatus* status_ = nullptr;
};

}  // namespace q407::testing
