// A machine with a started device serving clients on its socket: the calls reach the drivers in
// the client's emulated process, the client's memory is reached only through the protocol, events
// signalled in the kernel show on the client's eventfd, a client that vanishes mid-call leaves
// nothing behind, and a client that breaks the protocol is refused or dropped without disturbing
// the others.
#include "tests/sim/service/service_fixture.h"

namespace q407::service::testing {
namespace {

using MachineServerTest = ServiceFixture;

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

    // Client threads come and go: more of them over time than the machine runs workers at once.
    for (uint32_t thread = 2; thread < 2 + 2 * kMaxWorkersPerConnection; ++thread) {
        WireWriter w;
        w.Guid(InterfaceGuid()).U32(win32::DIGCF_PRESENT | win32::DIGCF_DEVICEINTERFACE);
        std::vector<uint8_t> reply;
        ASSERT_TRUE(client.Call(Op::GetClassDevs, w, &reply, nullptr, thread));
        WireReader r(reply.data(), reply.size());
        ASSERT_EQ(r.U32(), 0u) << "thread " << thread;
    }

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
