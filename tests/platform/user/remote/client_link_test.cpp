#include "platform/user/remote/client_link.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include "tests/platform/user/remote/fake_machine.h"

namespace q407::remote {
namespace {

using testing::FakeMachine;

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

class ClientLinkTest : public ::testing::Test {
  protected:
    void Connect() {
        std::string error;
        ASSERT_TRUE(ClientLink::Connect(machine_.Path(), L"link test", &error)) << error;
        link_ = ClientLink::Current();
        ASSERT_NE(link_, nullptr);
    }
    void TearDown() override { ClientLink::Disconnect(); }

    FakeMachine machine_;
    ClientLink* link_ = nullptr;
};

TEST_F(ClientLinkTest, HelloNamesTheProgramAndMachineThreadsSeeNoLink) {
    Connect();
    EXPECT_EQ(link_->ProcessId(), FakeMachine::kProcessId);
    EXPECT_EQ(machine_.helloVersion, kProtocolVersion);
    EXPECT_EQ(machine_.helloPid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(machine_.Program(), L"link test");
    EXPECT_EQ(machine_.lastThread.load(), static_cast<uint32_t>(gettid()));
    {
        ClientLink::MachineThreadScope scope;
        EXPECT_EQ(ClientLink::Current(), nullptr);
        {
            ClientLink::MachineThreadScope nested;
            EXPECT_EQ(ClientLink::Current(), nullptr);
        }
        EXPECT_EQ(ClientLink::Current(), nullptr);
    }
    EXPECT_EQ(ClientLink::Current(), link_);
    std::string error;
    EXPECT_FALSE(ClientLink::Connect(machine_.Path(), L"again", &error));
    EXPECT_NE(error.find("already"), std::string::npos);

    ClientLink::Disconnect();
    EXPECT_EQ(ClientLink::Current(), nullptr);
    for (int i = 0; i < 200 && !machine_.ended; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(machine_.sawGoodbye);
    EXPECT_TRUE(machine_.ended);
    // The old link fails its callers instead of reaching a closed socket.
    WireWriter none;
    std::vector<uint8_t> reply;
    EXPECT_FALSE(link_->Call(Op::CloseHandle, none, &reply));
    EXPECT_FALSE(link_->Alive());
}

TEST(ClientLinkConnect, NoMachineIsAReadableFailureAndReconnectingWorks) {
    std::string error;
    EXPECT_FALSE(ClientLink::Connect("/tmp/q407-no-such-folder/machine.sock", L"x", &error));
    EXPECT_NE(error.find("/tmp/q407-no-such-folder/machine.sock"), std::string::npos);
    EXPECT_EQ(ClientLink::Current(), nullptr);
    // Several machines one after the other in one process.
    for (int round = 0; round < 3; ++round) {
        FakeMachine machine;
        ASSERT_TRUE(ClientLink::Connect(machine.Path(), L"round", &error)) << error;
        EXPECT_TRUE(ClientLink::Current()->Alive());
        ClientLink::Disconnect();
    }
}

TEST(ClientLinkConnect, AHelloWithoutTheArenaIsRefused) {
    FakeMachine machine;
    machine.On(Op::Hello, [](FakeMachine& f, const Message& m) {
        WireWriter w;
        w.U32(0).U32(1);
        f.Reply(m, w);  // no descriptor
    });
    std::string error;
    EXPECT_FALSE(ClientLink::Connect(machine.Path(), L"x", &error));
    EXPECT_NE(error.find("malformed"), std::string::npos);
    EXPECT_EQ(ClientLink::Current(), nullptr);
}

// The machine reaches our memory only through the link, and only where we can read or write:
// a bad address is answered ok=0 and this process carries on.
TEST_F(ClientLinkTest, MemoryAndMappingRequestsAreServedDuringACall) {
    uint8_t buffer[64];
    for (size_t i = 0; i < sizeof buffer; ++i) buffer[i] = static_cast<uint8_t>(i);
    // A page that is certainly not mapped.
    void* hole = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(hole, MAP_FAILED);
    ASSERT_EQ(munmap(hole, 4096), 0);
    const auto good = reinterpret_cast<uint64_t>(buffer);
    const auto bad = reinterpret_cast<uint64_t>(hole);

    struct Seen {
        uint32_t badReadOk = 9, goodReadOk = 9, badWriteOk = 9, goodWriteOk = 9;
        std::vector<uint8_t> goodData;
        uint64_t view = 0, unalignedView = 1, pastArenaView = 1;
        bool badReadCarriesData = true;
    } seen;
    machine_.On(Op::DeviceIoControl, [&](FakeMachine& f, const Message& m) {
        WireWriter readBad, readGood, writeBad, writeGood, map, mapOdd, mapPast;
        readBad.U64(bad).U32(16);
        auto a0 = f.Request(Op::ReadMemory, readBad);
        WireReader a(a0.data(), a0.size());
        seen.badReadOk = a.U32();
        seen.badReadCarriesData = !a.Bytes().empty();
        readGood.U64(good + 8).U32(8);
        auto b = f.Request(Op::ReadMemory, readGood);
        WireReader rb(b.data(), b.size());
        seen.goodReadOk = rb.U32();
        seen.goodData = rb.Bytes();
        const uint8_t patch[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        writeBad.U64(bad).Bytes(patch, 4);
        auto c = f.Request(Op::WriteMemory, writeBad);
        seen.badWriteOk = WireReader(c.data(), c.size()).U32();
        writeGood.U64(good + 60).Bytes(patch, 4);
        auto d = f.Request(Op::WriteMemory, writeGood);
        seen.goodWriteOk = WireReader(d.data(), d.size()).U32();
        map.U64(f.Page()).U64(f.Page());
        auto e = f.Request(Op::MapView, map);
        seen.view = WireReader(e.data(), e.size()).U64();
        mapOdd.U64(100).U64(f.Page());
        auto g = f.Request(Op::MapView, mapOdd);
        seen.unalignedView = WireReader(g.data(), g.size()).U64();
        mapPast.U64(uint64_t{1} << 63).U64(f.Page());
        auto h = f.Request(Op::MapView, mapPast);
        seen.pastArenaView = WireReader(h.data(), h.size()).U64();
        WireWriter w;
        w.U32(0);
        f.Reply(m, w);
    });
    Connect();
    WireWriter call;
    std::vector<uint8_t> reply;
    ASSERT_TRUE(link_->Call(Op::DeviceIoControl, call, &reply));
    EXPECT_EQ(seen.badReadOk, 0u);
    EXPECT_FALSE(seen.badReadCarriesData);
    EXPECT_EQ(seen.goodReadOk, 1u);
    EXPECT_EQ(seen.goodData, std::vector<uint8_t>({8, 9, 10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(seen.badWriteOk, 0u);
    EXPECT_EQ(seen.goodWriteOk, 1u);
    EXPECT_EQ(buffer[59], 59);
    EXPECT_EQ(buffer[60], 0xEE);
    EXPECT_EQ(buffer[63], 0xEE);
    EXPECT_EQ(seen.unalignedView, 0u);
    EXPECT_EQ(seen.pastArenaView, 0u);
    ASSERT_NE(seen.view, 0u);
    // The view shows the arena's second page, shared: a write through it reaches the arena.
    auto* view = reinterpret_cast<uint8_t*>(seen.view);
    EXPECT_EQ(view[0], 0xA1);
    EXPECT_EQ(view[machine_.Page() - 1], 0xA1);
    EXPECT_EQ(link_->ViewCount(), 1u);

    // A stray unmap (our own buffer, a wrong length) is ignored; the machine's own view goes.
    WireWriter stray, wrongLength, right;
    stray.U64(good).U64(machine_.Page());
    machine_.Notice(Op::UnmapView, stray);
    wrongLength.U64(seen.view).U64(machine_.Page() * 2);
    machine_.Notice(Op::UnmapView, wrongLength);
    right.U64(seen.view).U64(machine_.Page());
    machine_.Notice(Op::UnmapView, right);
    for (int i = 0; i < 400 && link_->ViewCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(link_->ViewCount(), 0u);
    EXPECT_EQ(buffer[0], 0);  // still ours, still mapped
}

TEST_F(ClientLinkTest, RepliesFindTheirCallersWhateverTheOrder) {
    // Two calls held until both arrived, then answered in reverse order. The handler owns what
    // it keeps: it may still be running when the test has its answers.
    auto calls = std::make_shared<std::vector<Message>>();
    machine_.On(Op::DeviceIoControl, [calls](FakeMachine& f, const Message& m) {
        calls->push_back(m);
        if (calls->size() < 2) return;
        for (auto it = calls->rbegin(); it != calls->rend(); ++it) {
            WireReader r(it->payload.data(), it->payload.size());
            WireWriter w;
            w.U32(r.U32() * 10);
            f.Reply(*it, w);
        }
    });
    Connect();
    auto call = [this](uint32_t value) {
        WireWriter w;
        w.U32(value);
        std::vector<uint8_t> reply;
        EXPECT_TRUE(link_->Call(Op::DeviceIoControl, w, &reply));
        WireReader r(reply.data(), reply.size());
        return r.U32();
    };
    auto first = std::async(std::launch::async, call, 3u);
    auto second = std::async(std::launch::async, call, 5u);
    EXPECT_EQ(first.get(), 30u);
    EXPECT_EQ(second.get(), 50u);
}

TEST_F(ClientLinkTest, TheMachineGoingMidCallFailsTheCallerAndSignalsGone) {
    machine_.On(Op::DeviceIoControl, [](FakeMachine& f, const Message&) { f.Close(); });
    Connect();
    EXPECT_FALSE(Readable(link_->GoneFd(), 0));
    WireWriter w;
    std::vector<uint8_t> reply = {1, 2, 3};
    EXPECT_FALSE(link_->Call(Op::DeviceIoControl, w, &reply));
    EXPECT_TRUE(reply.empty());
    EXPECT_FALSE(link_->Alive());
    EXPECT_TRUE(Readable(link_->GoneFd(), 1000));
    EXPECT_FALSE(link_->Call(Op::CloseHandle, w, &reply));  // later calls fail at once
}

// A notice handler may itself call the machine (a window told to refresh asks the device).
TEST_F(ClientLinkTest, NoticeHandlersRunInOrderAndMayCallTheMachine) {
    std::promise<std::vector<uint32_t>> done;
    std::vector<uint32_t> got;
    machine_.On(Op::CloseHandle, [](FakeMachine& f, const Message& m) {
        WireWriter w;
        w.U32(0);
        f.Reply(m, w);
    });
    machine_.On(Op::DeviceIoControl, [](FakeMachine& f, const Message& m) {
        for (uint32_t i = 1; i <= 3; ++i) {
            WireWriter n;
            n.U32(i);
            f.Notice(Op::PostedMessage, n);
        }
        WireWriter w;
        w.U32(0);
        f.Reply(m, w);
    });
    Connect();
    link_->SetNoticeHandler(Op::PostedMessage, [&](WireReader& r) {
        got.push_back(r.U32());
        WireWriter w;
        std::vector<uint8_t> reply;
        EXPECT_TRUE(link_->Call(Op::CloseHandle, w, &reply));
        if (got.size() == 3) done.set_value(got);
    });
    WireWriter w;
    std::vector<uint8_t> reply;
    ASSERT_TRUE(link_->Call(Op::DeviceIoControl, w, &reply));
    auto result = done.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(result.get(), std::vector<uint32_t>({1, 2, 3}));
}

}  // namespace
}  // namespace q407::remote
