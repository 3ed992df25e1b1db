// A machine with a started virtual device (real time) serving clients on a private socket,
// and what tests of its clients share: the device interface, the calls spelled on the wire, the
// processes seen ending. Every test ends with the machine stopped, the device removed and nothing
// of the control side left in pool.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/bench_win32.h"
#include "shared/control_message.h"
#include "shared/device_interface.h"
#include "shared/engine_status.h"
#include "shared/mixer_settings.h"
#include "sim/host/pool.h"
#include "sim/service/client_connection.h"
#include "tests/sim/service/raw_client.h"
#include "tools/device_rig.h"
#include "usbdriver/control/client_attachment.h"

namespace q407::service::testing {

using remote::MessageHeader;
using remote::MessageKind;
using remote::Op;
using remote::WireReader;
using remote::WireWriter;

inline GUID InterfaceGuid() {
    GUID guid{};
    guid.Data1 = GUID_DEVINTERFACE_Q407.Data1;
    guid.Data2 = GUID_DEVINTERFACE_Q407.Data2;
    guid.Data3 = GUID_DEVINTERFACE_Q407.Data3;
    for (int i = 0; i < 8; ++i) guid.Data4[i] = GUID_DEVINTERFACE_Q407.Data4[i];
    return guid;
}

inline bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

// Signals (1) or clears (0) the event behind a handle of the calling process, as a driver does.
inline constexpr auto kKernelEventOp = Op::DeviceCommand;

class ServiceFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(tools::StartDeviceWithSettings(rig_, DefaultMixerSettings(), &error)) << error;
        char directory[] = "/tmp/q407-service-XXXXXX";
        ASSERT_NE(::mkdtemp(directory), nullptr);
        directory_ = directory;
        server_ =
            std::make_unique<MachineServer>(MachineServerOptions{directory_ + "/machine.sock"});
        server_->Handlers().Add(kKernelEventOp, [](CallContext&, WireReader& in, WireWriter& out) {
            const uint64_t handle = in.U64();
            const uint32_t set = in.U32();
            PVOID object = nullptr;
            if (ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)),
                                          0, *ExEventObjectType, UserMode, &object, nullptr) < 0) {
                out.U32(win32::ERROR_INVALID_HANDLE);
                return;
            }
            if (set != 0) {
                KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
            } else {
                KeClearEvent(static_cast<PKEVENT>(object));
            }
            ObDereferenceObject(object);
            out.U32(0);
        });
        server_->OnConnectionEnded([this](uint32_t processId) {
            std::lock_guard lock(mutex_);
            ended_.push_back(processId);
            changed_.notify_all();
        });
        ASSERT_TRUE(server_->Start(&error)) << error;
    }

    // Every test ends with the machine stopped, the device removed and nothing of the control
    // side left in pool.
    void TearDown() override {
        server_->Stop();
        EXPECT_EQ(server_->ConnectionCount(), 0u);
        rig_.BeginRemove();
        rig_.FinishRemove();
        EXPECT_EQ(SharedBufferCount(), 0);
        EXPECT_EQ(sim::Pool::LeakReport({POOL_TAG("Zel9"), POOL_TAG("Zel6"), POOL_TAG("Zel5"),
                                         POOL_TAG("Zel2"), POOL_TAG("None"), POOL_TAG("Mdl "),
                                         POOL_TAG("Even"), POOL_TAG("File")}),
                  "");
        ::rmdir(directory_.c_str());
    }

    std::string SocketPath() const { return directory_ + "/machine.sock"; }

    bool WaitEnded(uint32_t processId) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
            return std::find(ended_.begin(), ended_.end(), processId) != ended_.end();
        });
    }

    static std::wstring InterfacePath(RawClient& client) {
        WireWriter w;
        w.Guid(InterfaceGuid()).U32(win32::DIGCF_PRESENT | win32::DIGCF_DEVICEINTERFACE);
        std::vector<uint8_t> reply;
        if (!client.Call(Op::GetClassDevs, w, &reply)) return {};
        WireReader r(reply.data(), reply.size());
        const uint32_t error = r.U32();
        const uint32_t count = r.U32();
        if (error != 0 || count != 1) return {};
        std::wstring path = r.WString();
        return r.AtEnd() ? path : std::wstring();
    }

    static uint64_t Open(RawClient& client, uint32_t* error = nullptr) {
        WireWriter w;
        w.WString(InterfacePath(client))
            .U32(win32::GENERIC_READ | win32::GENERIC_WRITE)
            .U32(win32::FILE_SHARE_READ | win32::FILE_SHARE_WRITE)
            .U32(win32::OPEN_EXISTING)
            .U32(win32::FILE_ATTRIBUTE_NORMAL);
        std::vector<uint8_t> reply;
        if (!client.Call(Op::CreateFile, w, &reply)) return 0;
        WireReader r(reply.data(), reply.size());
        const uint32_t err = r.U32();
        const uint64_t handle = r.U64();
        if (error != nullptr) *error = err;
        return r.AtEnd() && err == 0 ? handle : 0;
    }

    struct IoResult {
        bool delivered = false;
        uint32_t error = 0;
        uint32_t returned = 0;
        std::vector<uint8_t> output;
    };

    // The control request with the message as its input copy; the client's buffer at address is
    // both ranges, as clients send the message.
    static IoResult Control(RawClient& client, uint64_t device, const ControlMessage& message,
                            const void* address) {
        WireWriter w;
        const auto at = reinterpret_cast<uintptr_t>(address);
        w.U64(device)
            .U32(IOCTL_Q407_CONTROL_MESSAGE)
            .U64(at)
            .U32(kControlMessageSize)
            .Bytes(&message, kControlMessageSize)
            .U64(at)
            .U32(kControlMessageSize);
        IoResult result;
        std::vector<uint8_t> reply;
        if (!client.Call(Op::DeviceIoControl, w, &reply)) return result;
        WireReader r(reply.data(), reply.size());
        result.error = r.U32();
        result.returned = r.U32();
        result.output = r.Bytes();
        result.delivered = r.AtEnd();
        return result;
    }

    static uint32_t ErrorOnly(RawClient& client, Op op, const WireWriter& w) {
        std::vector<uint8_t> reply;
        if (!client.Call(op, w, &reply)) return 0xFFFFFFFFu;
        WireReader r(reply.data(), reply.size());
        return r.U32();
    }

    static uint32_t SignalEvent(RawClient& client, uint64_t handle, bool set) {
        WireWriter w;
        w.U64(handle).U32(set ? 1 : 0);
        return ErrorOnly(client, kKernelEventOp, w);
    }

    tools::DeviceRig rig_{{sim::ClockMode::Real}};
    std::string directory_;
    std::unique_ptr<MachineServer> server_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint32_t> ended_;
};

}  // namespace q407::service::testing
