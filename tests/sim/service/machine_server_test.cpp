// A machine with a started device serving clients on its socket: the calls reach the drivers in
// the client's emulated process, the client's memory is reached only through the protocol, events
// signalled in the kernel show on the client's eventfd, a client that vanishes mid-call leaves
// nothing behind, and a client that breaks the protocol is refused or dropped without disturbing
// the others.
#include "sim/service/machine_server.h"

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
namespace {

using remote::MessageHeader;
using remote::MessageKind;
using remote::Op;
using remote::WireReader;
using remote::WireWriter;

GUID InterfaceGuid() {
    GUID guid{};
    guid.Data1 = GUID_DEVINTERFACE_Q407.Data1;
    guid.Data2 = GUID_DEVINTERFACE_Q407.Data2;
    guid.Data3 = GUID_DEVINTERFACE_Q407.Data3;
    for (int i = 0; i < 8; ++i) guid.Data4[i] = GUID_DEVINTERFACE_Q407.Data4[i];
    return guid;
}

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

// Signals (1) or clears (0) the event behind a handle of the calling process, as a driver does.
constexpr auto kKernelEventOp = Op::DeviceCommand;

class MachineServerTest : public ::testing::Test {
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

TEST_F(MachineServerTest, ClientListsOpensAndControlsTheDeviceThroughItsOwnMemory) {
    RawClient client(SocketPath());
    ASSERT_TRUE(client.Connected());
    const uint32_t processId = client.Hello(L"panel");
    ASSERT_NE(processId, 0u);
    struct stat arena {};
    ASSERT_GE(client.ArenaFd(), 0);
    ASSERT_EQ(::fstat(client.ArenaFd(), &arena), 0);
    EXPECT_GT(arena.st_size, 0);

    const std::wstring path = InterfacePath(client);
    ASSERT_EQ(path.rfind(L"\\\\?\\", 0), 0u) << "a Win32 interface path";
    const uint64_t device = Open(client);
    ASSERT_NE(device, 0u);

    // The message travels as the call's input copy: the machine answers from it, never from this
    // process's buffer, and the results come back in the reply, not in the buffer.
    ControlMessage buffer{};
    ControlMessage query = MakeControlMessage(DeviceServicesType::QueryDriverVersion);
    IoResult io = Control(client, device, query, &buffer);
    ASSERT_TRUE(io.delivered);
    EXPECT_EQ(io.error, 0u);
    EXPECT_EQ(io.returned, kControlMessageSize);
    ASSERT_EQ(io.output.size(), kControlMessageSize);
    ControlMessage answered;
    std::memcpy(&answered, io.output.data(), sizeof answered);
    EXPECT_EQ(GetU32(answered, cm::kVersionMajor), 1u);
    EXPECT_EQ(GetU32(answered, cm::kVersionMinor), 4u);
    EXPECT_EQ(GetU32(buffer, cm::kClass), 0u);
    EXPECT_EQ(client.requestsServed, 0);

    // A client address outside the call's buffers is written through the client's answers.
    MixerSettings settings{};
    ControlMessage read = MakeControlMessage(SettingsAndPanelType::ReadSettings);
    SetU64(read, cm::kSettingsAddress, reinterpret_cast<uint64_t>(&settings));
    io = Control(client, device, read, &buffer);
    ASSERT_TRUE(io.delivered);
    EXPECT_EQ(io.error, 0u);
    EXPECT_EQ(settings.sampleRate, DefaultMixerSettings().sampleRate);
    EXPECT_GT(client.requestsServed, 0);

    // A bad client address fails the request cleanly.
    SetU64(read, cm::kSettingsAddress, 0x10);
    io = Control(client, device, read, &buffer);
    ASSERT_TRUE(io.delivered);
    EXPECT_EQ(io.error, win32::ERROR_NOACCESS);

    // The status record is mapped into the client from the arena at an address of its own.
    ControlMessage map = MakeControlMessage(SettingsAndPanelType::MapStatusForPanel);
    SetU32(map, cm::kMapFlag, 1);
    io = Control(client, device, map, &buffer);
    ASSERT_TRUE(io.delivered);
    ASSERT_EQ(io.error, 0u);
    ASSERT_EQ(io.output.size(), kControlMessageSize);
    std::memcpy(&answered, io.output.data(), sizeof answered);
    const auto* status =
        reinterpret_cast<const EngineStatus*>(GetU64(answered, cm::kStatusAddress));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->sampleRate, DefaultMixerSettings().sampleRate);

    WireWriter close;
    close.U64(device);
    EXPECT_EQ(ErrorOnly(client, Op::CloseHandle, close), 0u);
    EXPECT_EQ(ErrorOnly(client, Op::CloseHandle, close), win32::ERROR_INVALID_HANDLE);

    ASSERT_TRUE(client.Send(MessageKind::Notice, static_cast<uint16_t>(Op::Goodbye), 0, {}));
    EXPECT_TRUE(WaitEnded(processId));
    EXPECT_TRUE(client.ClosedByMachine());
}

TEST_F(MachineServerTest, EventsSignalledInTheKernelShowOnTheClientsEventfd) {
    RawClient client(SocketPath());
    ASSERT_NE(client.Hello(L"asio host"), 0u);

    WireWriter create;
    create.U32(0).U32(0);
    std::vector<uint8_t> reply;
    std::vector<int> fds;
    ASSERT_TRUE(client.Call(Op::CreateEvent, create, &reply, &fds));
    WireReader r(reply.data(), reply.size());
    EXPECT_EQ(r.U32(), 0u);
    const uint64_t event = r.U64();
    ASSERT_TRUE(r.AtEnd());
    ASSERT_EQ(fds.size(), 1u);
    const int fd = fds[0];
    EXPECT_FALSE(Readable(fd, 0));
    EXPECT_EQ(SignalEvent(client, event, true), 0u);
    EXPECT_TRUE(Readable(fd, 1000));
    EXPECT_EQ(SignalEvent(client, event, false), 0u);
    EXPECT_FALSE(Readable(fd, 0));
    ::close(fd);

    // An event born signalled hands over a signalled eventfd.
    WireWriter signalled;
    signalled.U32(1).U32(1);
    ASSERT_TRUE(client.Call(Op::CreateEvent, signalled, &reply, &fds));
    ASSERT_EQ(fds.size(), 1u);
    EXPECT_TRUE(Readable(fds[0], 0));
    ::close(fds[0]);

    // Device changes: the registration's event is mirrored too, the records come on request.
    win32::DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = win32::DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = InterfaceGuid();
    WireWriter reg;
    reg.Bytes(&filter, sizeof filter).U64(0x1234).U32(win32::DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_TRUE(client.Call(Op::RegisterDeviceNotification, reg, &reply, &fds));
    WireReader rr(reply.data(), reply.size());
    EXPECT_EQ(rr.U32(), 0u);
    const uint64_t notify = rr.U64();
    ASSERT_EQ(fds.size(), 1u);
    const int changes = fds[0];
    EXPECT_FALSE(Readable(changes, 0));

    rig_.Unplug();
    EXPECT_TRUE(Readable(changes, 2000));
    WireWriter small;
    small.U64(notify).U32(8);
    ASSERT_TRUE(client.Call(Op::TakeDeviceChange, small, &reply));
    WireReader rs(reply.data(), reply.size());
    EXPECT_EQ(rs.U32(), win32::ERROR_INSUFFICIENT_BUFFER);
    (void)rs.U64();
    (void)rs.U64();
    const uint32_t required = rs.U32();
    EXPECT_GT(required, sizeof filter);

    WireWriter take;
    take.U64(notify).U32(required);
    ASSERT_TRUE(client.Call(Op::TakeDeviceChange, take, &reply));
    WireReader rt(reply.data(), reply.size());
    EXPECT_EQ(rt.U32(), 0u);
    EXPECT_EQ(rt.U64(), 0x1234u);
    EXPECT_EQ(rt.U64(), win32::DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(rt.U32(), required);
    const std::vector<uint8_t> record = rt.Bytes();
    ASSERT_TRUE(rt.AtEnd());
    ASSERT_EQ(record.size(), required);
    win32::DEV_BROADCAST_HDR header;
    std::memcpy(&header, record.data(), sizeof header);
    EXPECT_EQ(header.dbch_devicetype, win32::DBT_DEVTYP_DEVICEINTERFACE);

    ASSERT_EQ(rig_.Replug(), STATUS_SUCCESS);
    WireWriter unregister;
    unregister.U64(notify);
    EXPECT_EQ(ErrorOnly(client, Op::UnregisterDeviceNotification, unregister), 0u);
    EXPECT_EQ(ErrorOnly(client, Op::UnregisterDeviceNotification, unregister),
              win32::ERROR_INVALID_HANDLE);
    ::close(changes);
}

TEST_F(MachineServerTest, ClientVanishingMidCallEndsItsProcessAndLeavesNothing) {
    RawClient client(SocketPath());
    const uint32_t processId = client.Hello(L"doomed");
    ASSERT_NE(processId, 0u);
    const uint64_t device = Open(client);
    ASSERT_NE(device, 0u);
    ControlMessage buffer{};
    ControlMessage map = MakeControlMessage(SettingsAndPanelType::MapStatusForPanel);
    SetU32(map, cm::kMapFlag, 1);
    ASSERT_EQ(Control(client, device, map, &buffer).error, 0u);
    WireWriter create;
    create.U32(1).U32(0);
    std::vector<uint8_t> reply;
    std::vector<int> fds;
    ASSERT_TRUE(client.Call(Op::CreateEvent, create, &reply, &fds));
    for (int fd : fds) ::close(fd);
    win32::DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = win32::DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = InterfaceGuid();
    WireWriter reg;
    reg.Bytes(&filter, sizeof filter).U64(1).U32(win32::DEVICE_NOTIFY_SERVICE_HANDLE);
    ASSERT_TRUE(client.Call(Op::RegisterDeviceNotification, reg, &reply, &fds));
    for (int fd : fds) ::close(fd);

    // The machine asks for the client's memory; the client dies instead of answering. The call
    // fails at once rather than after the request's time-out.
    client.beforeRequest = [](const remote::Message&) { return false; };
    MixerSettings settings{};
    ControlMessage read = MakeControlMessage(SettingsAndPanelType::ReadSettings);
    SetU64(read, cm::kSettingsAddress, reinterpret_cast<uint64_t>(&settings));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Control(client, device, read, &buffer).delivered);
    EXPECT_TRUE(WaitEnded(processId));
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(kRequestTimeoutMs));
    EXPECT_EQ(server_->ConnectionCount(), 0u);
}

TEST_F(MachineServerTest, ProtocolBreachesAreRefusedOrDroppedWhileOthersAreServed) {
    RawClient good(SocketPath());
    ASSERT_NE(good.Hello(L"good"), 0u);

    {  // A call before the hello.
        RawClient early(SocketPath());
        WireWriter w;
        w.Guid(InterfaceGuid()).U32(win32::DIGCF_DEVICEINTERFACE);
        ASSERT_TRUE(
            early.Send(MessageKind::Call, static_cast<uint16_t>(Op::GetClassDevs), 1, w.Data()));
        EXPECT_TRUE(early.ClosedByMachine());
    }
    {  // A hello of another protocol version.
        RawClient other(SocketPath());
        EXPECT_EQ(other.Hello(L"future", 99), 0u);
        EXPECT_TRUE(other.ClosedByMachine());
    }
    {  // Short and trailing payloads, unknown ops, a second hello: refused, the link stays.
        RawClient sloppy(SocketPath());
        ASSERT_NE(sloppy.Hello(L"sloppy"), 0u);
        WireWriter shortPath;
        shortPath.U16(7);
        EXPECT_EQ(ErrorOnly(sloppy, Op::CreateFile, shortPath), win32::ERROR_INVALID_PARAMETER);
        WireWriter trailing;
        trailing.U64(1).U32(0);
        EXPECT_EQ(ErrorOnly(sloppy, Op::CloseHandle, trailing), win32::ERROR_INVALID_PARAMETER);
        WireWriter none;
        EXPECT_EQ(ErrorOnly(sloppy, static_cast<Op>(0x7777), none), win32::ERROR_INVALID_PARAMETER);
        WireWriter hello;
        hello.U32(1).U32(1).WString(L"again");
        EXPECT_EQ(ErrorOnly(sloppy, Op::Hello, hello), win32::ERROR_INVALID_PARAMETER);
        // A copy shorter than the input length it claims.
        WireWriter io;
        io.U64(1).U32(0).U64(0x1000).U32(64).Bytes("abc", 3).U64(0).U32(0);
        EXPECT_EQ(ErrorOnly(sloppy, Op::DeviceIoControl, io), win32::ERROR_INVALID_PARAMETER);
        // An answer nobody asked for is ignored.
        ASSERT_TRUE(sloppy.Send(MessageKind::Answer, static_cast<uint16_t>(Op::ReadMemory), 999,
                                {1, 0, 0, 0}));
        EXPECT_FALSE(InterfacePath(sloppy).empty());
        // A reply is not the client's to send.
        ASSERT_TRUE(sloppy.Send(MessageKind::Reply, static_cast<uint16_t>(Op::Hello), 1, {}));
        EXPECT_TRUE(sloppy.ClosedByMachine());
    }
    {  // A header announcing more than the limit.
        RawClient greedy(SocketPath());
        ASSERT_NE(greedy.Hello(L"greedy"), 0u);
        MessageHeader h{};
        h.payloadLength = remote::kMaxPayload + 1;
        h.kind = static_cast<uint16_t>(MessageKind::Call);
        h.op = static_cast<uint16_t>(Op::CloseHandle);
        h.id = 5;
        ASSERT_TRUE(greedy.SendBytes(&h, sizeof h));
        EXPECT_TRUE(greedy.ClosedByMachine());
    }
    {  // A message cut short by the client's end.
        RawClient cut(SocketPath());
        ASSERT_NE(cut.Hello(L"cut"), 0u);
        MessageHeader h{};
        h.payloadLength = 100;
        h.kind = static_cast<uint16_t>(MessageKind::Call);
        h.op = static_cast<uint16_t>(Op::CreateFile);
        h.id = 6;
        h.thread = 1;
        ASSERT_TRUE(cut.SendBytes(&h, sizeof h));
        ASSERT_TRUE(cut.SendBytes("0123456789", 10));
        ::shutdown(cut.Socket(), SHUT_WR);
        EXPECT_TRUE(cut.ClosedByMachine());
    }
    EXPECT_FALSE(InterfacePath(good).empty());
    const uint64_t device = Open(good);
    EXPECT_NE(device, 0u);
    WireWriter close;
    close.U64(device);
    EXPECT_EQ(ErrorOnly(good, Op::CloseHandle, close), 0u);
}

}  // namespace
}  // namespace q407::service::testing
