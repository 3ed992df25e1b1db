// The host half of the winelib device bridge against a machine stand-in: UTF-8 paths, tagged
// handles that die with their machine, registrations whose waiting thread ends with them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <string>

#include "platform/user/remote/client_link.h"
#include "platform/user/winelib/device_bridge.h"
#include "tests/platform/user/remote/fake_machine.h"

namespace q407::remote {
namespace {

using namespace std::chrono_literals;
using testing::FakeMachine;

constexpr q407_bridge_guid kClass = {
    0xCE872CD5u, 0xE4FCu, 0x4EC5u, {0xA9, 0x92, 0x5B, 0xF4, 0xD3, 0x95, 0xB3, 0x50}};
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kNoSuchDevice = 433;
constexpr uint32_t kFileNotFound = 2;

// The bridge keeps its link for the life of the process, as the panel does; the test process lets
// it go before it ends, so that the link's threads are joined.
class LinkRelease : public ::testing::Environment {
  public:
    void TearDown() override { ClientLink::Disconnect(); }
};
[[maybe_unused]] ::testing::Environment* const kLinkRelease =
    ::testing::AddGlobalTestEnvironment(new LinkRelease);

// Where the bridge looks for its machine.
void UseMachine(const std::string& socket) {
    ASSERT_EQ(setenv("Q407_MACHINE", socket.c_str(), 1), 0);
}

// A machine with two interfaces, one of them with a name beyond ASCII, that opens the second
// and echoes control messages reversed.
void Furnish(FakeMachine& machine) {
    machine.On(Op::GetClassDevs, [](FakeMachine& f, const Message& m) {
        WireWriter w;
        w.U32(0).U32(2).WString(L"\\\\?\\usb#one").WString(L"\\\\?\\usb#tw\u00f6\u20ac");
        f.Reply(m, w);
    });
    machine.On(Op::CreateFile, [](FakeMachine& f, const Message& m) {
        WireReader r(m.payload.data(), m.payload.size());
        const std::wstring path = r.WString();
        WireWriter w;
        if (path == L"\\\\?\\usb#tw\u00f6\u20ac")
            w.U32(0).U64(0x2C);
        else
            w.U32(kFileNotFound).U64(0);
        f.Reply(m, w);
    });
    machine.On(Op::DeviceIoControl, [](FakeMachine& f, const Message& m) {
        WireReader r(m.payload.data(), m.payload.size());
        r.U64();
        r.U32();
        r.U64();
        r.U32();
        const std::vector<uint8_t> input = r.Bytes();
        std::vector<uint8_t> out(input.rbegin(), input.rend());
        WireWriter w;
        w.U32(0).U32(static_cast<uint32_t>(out.size())).Bytes(out.data(), out.size());
        f.Reply(m, w);
    });
}

TEST(DeviceBridgeHost, PathsCrossAsUtf8AndHandlesAreTaggedAndCloseOnce) {
    FakeMachine machine;
    Furnish(machine);
    UseMachine(machine.Path());
    q407_bridge_set_program("Q407Pan.exe");

    uint32_t required = 0, error = 0;
    char small[8];
    EXPECT_EQ(q407_bridge_class_paths(&kClass, 0x12, small, sizeof small, &required, &error), 0);
    EXPECT_EQ(error, kInsufficientBuffer);
    const std::string expected =
        std::string("\\\\?\\usb#one") + '\0' + "\\\\?\\usb#tw\xc3\xb6\xe2\x82\xac" + '\0' + '\0';
    ASSERT_EQ(required, expected.size());
    std::string paths(required, 'x');
    ASSERT_EQ(q407_bridge_class_paths(&kClass, 0x12, paths.data(), required, &required, &error), 1);
    EXPECT_EQ(paths, expected);
    EXPECT_EQ(machine.Program(), L"Q407Pan.exe");

    uint64_t device = 0;
    EXPECT_EQ(q407_bridge_open("\\\\?\\usb#one", 0xC0000000u, 3, 3, 0x80, &device, &error), 0);
    EXPECT_EQ(error, kFileNotFound);
    ASSERT_EQ(q407_bridge_open("\\\\?\\usb#tw\xc3\xb6\xe2\x82\xac", 0xC0000000u, 3, 3, 0x80,
                               &device, &error),
              1);
    EXPECT_TRUE(Q407_BRIDGE_IS_OURS(device));
    EXPECT_FALSE(Q407_BRIDGE_IS_OURS(0x2C));

    uint8_t in[3] = {1, 2, 3}, out[3] = {};
    uint32_t returned = 0;
    ASSERT_EQ(q407_bridge_control(device, 0x2A3BB8u, in, 3, out, 3, &returned, &error), 1);
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[2], 1);

    EXPECT_EQ(q407_bridge_close(device, &error), 1);
    EXPECT_EQ(machine.Closed(), std::vector<uint64_t>{0x2C}) << "the machine's own handle";
    EXPECT_EQ(q407_bridge_close(device, &error), 0);
    EXPECT_EQ(error, kInvalidHandle);
    EXPECT_EQ(q407_bridge_control(device, 0x2A3BB8u, in, 3, out, 3, &returned, &error), 0);
    EXPECT_EQ(error, kInvalidHandle);
    EXPECT_EQ(q407_bridge_close(0x2C, &error), 0) << "a value the bridge never issued";
    EXPECT_EQ(error, kInvalidHandle);
}

TEST(DeviceBridgeHost, NoMachineMeansNothingPresentAndHandlesDieWithTheirMachine) {
    UseMachine("/tmp/q407-bridge-no-such-folder/machine.sock");
    uint32_t required = 0, error = 0;
    char paths[8];
    ASSERT_EQ(q407_bridge_class_paths(&kClass, 0x12, paths, sizeof paths, &required, &error), 1);
    EXPECT_EQ(required, 1u);
    EXPECT_EQ(paths[0], '\0');
    uint64_t device = 0;
    EXPECT_EQ(q407_bridge_open("\\\\?\\usb#one", 0, 0, 3, 0, &device, &error), 0);
    EXPECT_EQ(error, kFileNotFound);

    uint8_t in[1] = {7}, out[1] = {};
    uint32_t returned = 0;
    {
        FakeMachine first;
        Furnish(first);
        UseMachine(first.Path());
        ASSERT_EQ(
            q407_bridge_open("\\\\?\\usb#tw\xc3\xb6\xe2\x82\xac", 0, 0, 3, 0, &device, &error), 1);
    }
    // The first machine is gone; a second one is found, and the old handle means nothing to it.
    FakeMachine second;
    Furnish(second);
    UseMachine(second.Path());
    ASSERT_EQ(q407_bridge_class_paths(&kClass, 0x12, nullptr, 0, &required, &error), 0);
    EXPECT_EQ(error, kInsufficientBuffer);
    EXPECT_GT(required, 1u) << "the second machine's interfaces";
    EXPECT_EQ(q407_bridge_control(device, 0x2A3BB8u, in, 1, out, 1, &returned, &error), 0);
    EXPECT_EQ(error, kNoSuchDevice);
    EXPECT_EQ(q407_bridge_close(device, &error), 1) << "closed with its machine";
    EXPECT_TRUE(second.Closed().empty());
}

TEST(DeviceBridgeHost, AWaitingThreadWakesForChangesAndEndsWithTheRegistration) {
    FakeMachine machine;
    std::atomic<int> queued{-1};
    machine.On(Op::RegisterDeviceNotification, [&](FakeMachine& f, const Message& m) {
        WireReader r(m.payload.data(), m.payload.size());
        const std::vector<uint8_t> filter = r.Bytes();
        EXPECT_GE(filter.size(), 28u + sizeof(wchar_t));
        EXPECT_EQ(r.U64(), 0x10086u) << "the window's handle value";
        const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        queued = dup(fd);
        WireWriter w;
        w.U32(0).U64(0x5000);
        f.Reply(m, w, {fd});
        close(fd);
    });
    std::atomic<int> unregistered{0};
    machine.On(Op::UnregisterDeviceNotification, [&](FakeMachine& f, const Message& m) {
        ++unregistered;
        WireWriter w;
        w.U32(0);
        f.Reply(m, w);
    });
    UseMachine(machine.Path());

    uint64_t registration = 0;
    uint32_t error = 0;
    ASSERT_EQ(q407_bridge_register(0x10086, 32, 5, &kClass, 0, &registration, &error), 1);
    EXPECT_TRUE(Q407_BRIDGE_IS_OURS(registration));

    // The machine queues a change: the waiting thread returns 1.
    auto first =
        std::async(std::launch::async, [&] { return q407_bridge_wait_change(registration); });
    const uint64_t one = 1;
    ASSERT_EQ(write(queued.load(), &one, 8), 8);
    ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(first.get(), 1);
    uint64_t drained = 0;
    ASSERT_EQ(read(queued.load(), &drained, 8), 8);  // the machine took it back

    // Unregistering wakes a thread blocked in the wait, with 0.
    auto second =
        std::async(std::launch::async, [&] { return q407_bridge_wait_change(registration); });
    EXPECT_EQ(second.wait_for(100ms), std::future_status::timeout) << "nothing queued yet";
    EXPECT_EQ(q407_bridge_unregister(registration, &error), 1);
    ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(second.get(), 0);
    EXPECT_EQ(unregistered.load(), 1);
    EXPECT_EQ(q407_bridge_unregister(registration, &error), 0);
    EXPECT_EQ(error, kInvalidHandle);
    EXPECT_EQ(q407_bridge_wait_change(registration), 0);

    q407_bridge_release(registration);
    EXPECT_EQ(unregistered.load(), 1) << "released after unregistering: not unregistered again";
    EXPECT_EQ(q407_bridge_unregister(registration, &error), 0);
    close(queued.load());
}

}  // namespace
}  // namespace q407::remote
