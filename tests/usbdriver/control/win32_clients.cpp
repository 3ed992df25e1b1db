#include "win32_clients.h"

#include "tools/device_client.h"

namespace q407::testing {
namespace {

constexpr uint32_t kSharedBytes = 0x30000;
constexpr uint32_t kHalfBytes = 4096;

bool Send(HANDLE device, ControlMessage* m) {
    return tools::SendControlMessage(device, m);
}

}  // namespace

bool AsioLikeClient::Start(std::string* failure) {
    tools::DeviceConnection connection;
    if (!tools::OpenQ407Device(&connection)) {
        *failure = "no device answered";
        return false;
    }
    device_ = connection.handle;
    ControlMessage map = MakeControlMessage(AsioStreamingType::MapStatusForAsio);
    SetU32(map, cm::kMapFlag, 1);
    if (!Send(device_, &map) || GetU64(map, cm::kStatusAddress) == 0) {
        *failure = "status not mapped";
        return false;
    }
    status_ = reinterpret_cast<const EngineStatus*>(GetU64(map, cm::kStatusAddress));
    key_ = GetU64(map, cm::kMappingKey);

    ControlMessage alloc = MakeControlMessage(AsioStreamingType::AllocSharedBuffer);
    SetU32(alloc, cm::kSharedBufferSize, kSharedBytes);
    SetU64(alloc, cm::kSharedBufferKey, key_);
    SetU64(alloc, cm::kSharedBufferVariable, reinterpret_cast<uint64_t>(&buffer_));
    if (!Send(device_, &alloc) || buffer_ == 0) {
        *failure = "no shared buffer";
        return false;
    }
    // Halves: input 0 at 0 and 4096, output 0 at 8192 and 12288.
    for (uint32_t direction = 0; direction < 2; ++direction) {
        for (uint32_t half = 0; half < 2; ++half) {
            ControlMessage m = MakeControlMessage(AsioStreamingType::SetAsioChannelBuffer);
            SetU32(m, cm::kDirection, direction);
            SetU32(m, cm::kHalf, half);
            SetU32(m, cm::kStride, 1);
            SetU64(m, cm::kBufferAddress,
                   buffer_ + (direction == 1 ? 0 : 2 * kHalfBytes) + half * kHalfBytes);
            SetU64(m, cm::kSharedBufferKey, key_);
            if (!Send(device_, &m)) {
                *failure = "buffer not registered";
                return false;
            }
        }
    }
    event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ControlMessage setEvent = MakeControlMessage(AsioStreamingType::SetAsioEvent);
    SetU64(setEvent, cm::kAsioEventHandle, reinterpret_cast<uint64_t>(event_));
    if (event_ == nullptr || !Send(device_, &setEvent)) {
        *failure = "event refused";
        return false;
    }
    ControlMessage run = MakeControlMessage(AsioStreamingType::RunAsioChannels);
    SetU32(run, cm::kChannelFlag, 1);
    SetU32(run, cm::kOutputMask, 1);
    SetU32(run, cm::kInputMask, 1);
    if (!Send(device_, &run)) {
        *failure = "channels not started";
        return false;
    }
    return true;
}

bool AsioLikeClient::WaitPeriods(int n, uint32_t timeoutMs, std::vector<uint32_t>* halves) {
    for (int i = 0; i < n; ++i) {
        if (WaitForSingleObject(event_, timeoutMs) != WAIT_OBJECT_0) return false;
        halves->push_back(status_->lastInputHalf);
    }
    return true;
}

void AsioLikeClient::Stop() {
    ControlMessage run = MakeControlMessage(AsioStreamingType::RunAsioChannels);
    SetU32(run, cm::kOutputMask, 1);
    SetU32(run, cm::kInputMask, 1);
    Send(device_, &run);
    ControlMessage clear = MakeControlMessage(AsioStreamingType::SetAsioEvent);
    Send(device_, &clear);
    ControlMessage free = MakeControlMessage(AsioStreamingType::AllocSharedBuffer);
    SetU64(free, cm::kSharedBufferKey, key_);
    Send(device_, &free);
    ControlMessage unmap = MakeControlMessage(AsioStreamingType::MapStatusForAsio);
    Send(device_, &unmap);
    CloseHandle(event_);
    CloseHandle(device_);
    status_ = nullptr;
}

bool PanelLikeClient::Start(std::string* failure) {
    tools::DeviceConnection connection;
    if (!tools::OpenQ407Device(&connection)) {
        *failure = "no device answered";
        return false;
    }
    device_ = connection.handle;
    removal_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ControlMessage set = MakeControlMessage(SettingsAndPanelType::SetRemovalEvent);
    SetU64(set, cm::kRemovalEventHandle, reinterpret_cast<uint64_t>(removal_));
    ControlMessage map = MakeControlMessage(SettingsAndPanelType::MapStatusForPanel);
    SetU32(map, cm::kMapFlag, 1);
    if (!Send(device_, &set) || !Send(device_, &map) || GetU64(map, cm::kStatusAddress) == 0) {
        *failure = "panel attachment refused";
        return false;
    }
    status_ = reinterpret_cast<const EngineStatus*>(GetU64(map, cm::kStatusAddress));
    return true;
}

bool PanelLikeClient::RemovalSignalled() {
    return WaitForSingleObject(removal_, 0) == WAIT_OBJECT_0;
}

void PanelLikeClient::Close() {
    CloseHandle(removal_);
    CloseHandle(device_);
}

}  // namespace q407::testing
