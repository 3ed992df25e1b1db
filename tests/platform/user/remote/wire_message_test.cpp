#include "platform/user/remote/wire_message.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace q407::remote {
namespace {

constexpr GUID kGuid = {
    0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01}};

TEST(WireCodec, EveryTypeRoundTripsAndConsumesTheWholePayload) {
    const std::wstring path = L"\\\\?\\usb#q407\U0001F3B5\u00e9";  // one character past the BMP
    WireWriter w;
    w.U8(0xAB).U16(0xBEEF).U32(0xDEADBEEF).U64(0x0123456789ABCDEFull).I64(-42);
    const uint8_t blob[] = {1, 2, 3};
    w.Bytes(blob, sizeof(blob)).Bytes(nullptr, 0).WString(path).String("json{}").Guid(kGuid);

    WireReader r(w.Data().data(), w.Data().size());
    EXPECT_EQ(r.U8(), 0xAB);
    EXPECT_EQ(r.U16(), 0xBEEF);
    EXPECT_EQ(r.U32(), 0xDEADBEEFu);
    EXPECT_EQ(r.U64(), 0x0123456789ABCDEFull);
    EXPECT_EQ(r.I64(), -42);
    EXPECT_EQ(r.Bytes(), std::vector<uint8_t>(blob, blob + 3));
    EXPECT_TRUE(r.Bytes().empty());
    EXPECT_EQ(r.WString(), path);
    EXPECT_EQ(r.String(), "json{}");
    GUID g = r.Guid();
    EXPECT_EQ(std::memcmp(&g, &kGuid, sizeof(GUID)), 0);
    EXPECT_TRUE(r.AtEnd());
}

TEST(WireCodec, LayoutIsLittleEndianWithUtf16AndTheGuidRecord) {
    WireWriter w;
    w.U32(0x01020304).WString(L"A\U0001F3B5").Guid(kGuid);
    const std::vector<uint8_t> expected = {
        0x04, 0x03, 0x02, 0x01,                                      // U32
        3,    0,    0,    0,    'A',  0,    0x3C, 0xD8, 0xB5, 0xDF,  // 3 UTF-16 units, a pair
        0x44, 0x33, 0x22, 0x11, 0x66, 0x55, 0x88, 0x77,              // Data1..Data3
        0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
    EXPECT_EQ(w.Data(), expected);
    // The record as a little-endian machine lays it out in memory.
    EXPECT_EQ(std::memcmp(w.Data().data() + 14, &kGuid, sizeof(GUID)), 0);
}

// Each reader on a payload one byte short of what it needs: !Ok, a zero result, and every later
// read yields zeros too even where bytes remain.
TEST(WireCodec, EveryReaderRefusesAnOverrunAndStaysFailed) {
    WireWriter full;
    full.U64(0x1111111111111111ull).Bytes("abcd", 4).WString(L"xy").String("hi").Guid(kGuid);
    const auto& d = full.Data();
    struct Case {
        const char* name;
        size_t need;
        bool (*read)(WireReader&);
    };
    const Case cases[] = {
        {"U8", 1, [](WireReader& r) { return r.U8() == 0; }},
        {"U16", 2, [](WireReader& r) { return r.U16() == 0; }},
        {"U32", 4, [](WireReader& r) { return r.U32() == 0; }},
        {"U64", 8, [](WireReader& r) { return r.U64() == 0; }},
        {"I64", 8, [](WireReader& r) { return r.I64() == 0; }},
        {"Guid", 16,
         [](WireReader& r) {
             GUID g = r.Guid();
             return g.Data1 == 0 && g.Data4[7] == 0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WireReader r(d.data(), c.need - 1);
        EXPECT_TRUE(c.read(r));
        EXPECT_FALSE(r.Ok());
        EXPECT_FALSE(r.AtEnd());
    }
    // Length-prefixed values: cut inside the prefix and inside the body.
    WireWriter bodies;
    bodies.Bytes("abcd", 4);
    for (size_t cut : {size_t{2}, size_t{7}}) {
        WireReader b(bodies.Data().data(), cut);
        EXPECT_TRUE(b.Bytes().empty());
        EXPECT_FALSE(b.Ok());
        WireReader s(bodies.Data().data(), cut);
        EXPECT_TRUE(s.String().empty());
        EXPECT_FALSE(s.Ok());
    }
    WireWriter wide;
    wide.WString(L"xy");
    WireReader ws(wide.Data().data(), wide.Data().size() - 1);
    EXPECT_TRUE(ws.WString().empty());
    EXPECT_FALSE(ws.Ok());

    // After a failure nothing more is read, though bytes remain.
    WireReader sticky(d.data(), d.size());
    sticky.Bytes(3);  // the blob is 4 bytes: over the caller's limit
    EXPECT_FALSE(sticky.Ok());
    EXPECT_EQ(sticky.U64(), 0u);
    EXPECT_FALSE(sticky.Ok());
}

TEST(WireCodec, LengthsOverTheCallersLimitsOrTheDataAreRefused) {
    WireWriter w;
    w.U32(0xFFFFFFFFu);  // a length prefix claiming 4 GiB, nothing behind it
    WireReader huge(w.Data().data(), w.Data().size());
    EXPECT_TRUE(huge.Bytes().empty());
    EXPECT_FALSE(huge.Ok());
    WireReader hugeWide(w.Data().data(), w.Data().size());
    EXPECT_TRUE(hugeWide.WString().empty());
    EXPECT_FALSE(hugeWide.Ok());

    WireWriter named;
    named.WString(L"abcdef").String("abcdef");
    WireReader r(named.Data().data(), named.Data().size());
    EXPECT_EQ(r.WString(6), L"abcdef");
    EXPECT_TRUE(r.String(5).empty());
    EXPECT_FALSE(r.Ok());
    WireReader narrow(named.Data().data(), named.Data().size());
    EXPECT_TRUE(narrow.WString(5).empty());
    EXPECT_FALSE(narrow.Ok());
}

TEST(WireCodec, LoneSurrogatesSurviveAsUnits) {
    WireWriter w;
    w.U32(2).U16(0xDC00).U16(0xD800);  // a low before a high: neither pairs
    WireReader r(w.Data().data(), w.Data().size());
    EXPECT_EQ(r.WString(),
              std::wstring({static_cast<wchar_t>(0xDC00), static_cast<wchar_t>(0xD800)}));
    EXPECT_TRUE(r.AtEnd());
}

class SocketPair : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd_), 0); }
    void TearDown() override {
        for (int& fd : fd_)
            if (fd >= 0) close(fd);
    }
    void CloseWriter() {
        close(fd_[0]);
        fd_[0] = -1;
    }
    static size_t OpenFds() {
        size_t n = 0;
        DIR* dir = opendir("/proc/self/fd");
        while (readdir(dir) != nullptr) ++n;
        closedir(dir);
        return n;
    }
    int fd_[2] = {-1, -1};
};

TEST_F(SocketPair, MessagesAndDescriptorsArriveWhole) {
    int events[2] = {eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK),
                     eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    WireWriter w;
    w.U32(7).String("hello");
    MessageHeader h{static_cast<uint32_t>(w.Data().size()), 6, 1, 99, 1234};
    ASSERT_TRUE(SendMessage(fd_[0], h, w.Data().data(), w.Data().size(), events, 2));
    MessageHeader empty{0, 10, 4, 100, 0};
    ASSERT_TRUE(SendMessage(fd_[0], empty, nullptr, 0));

    Message m;
    ASSERT_TRUE(ReceiveMessage(fd_[1], &m));
    EXPECT_EQ(m.header.payloadLength, w.Data().size());
    EXPECT_EQ(m.header.op, 6);
    EXPECT_EQ(m.header.kind, 1);
    EXPECT_EQ(m.header.id, 99u);
    EXPECT_EQ(m.header.thread, 1234u);
    EXPECT_EQ(m.payload, w.Data());
    ASSERT_EQ(m.fds.size(), 2u);
    // The received descriptors are new ones on the same objects.
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(m.fds[i], events[i]);
        uint64_t one = 1 + static_cast<uint64_t>(i), got = 0;
        ASSERT_EQ(write(events[i], &one, 8), 8);
        ASSERT_EQ(read(m.fds[i], &got, 8), 8);
        EXPECT_EQ(got, one);
        close(m.fds[i]);
        close(events[i]);
    }
    ASSERT_TRUE(ReceiveMessage(fd_[1], &m));
    EXPECT_EQ(m.header.op, 10);
    EXPECT_TRUE(m.payload.empty());
    EXPECT_TRUE(m.fds.empty());

    CloseWriter();
    EXPECT_FALSE(ReceiveMessage(fd_[1], &m));  // EOF on a boundary
}

TEST_F(SocketPair, APayloadLargerThanTheSocketBufferArrivesWhole) {
    std::vector<uint8_t> big(3u << 20);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + (i >> 12));
    std::thread sender([&] {
        MessageHeader h{static_cast<uint32_t>(big.size()), 4, 0, 1, 1};
        EXPECT_TRUE(SendMessage(fd_[0], h, big.data(), big.size()));
    });
    Message m;
    ASSERT_TRUE(ReceiveMessage(fd_[1], &m));
    sender.join();
    EXPECT_EQ(m.payload, big);
}

TEST_F(SocketPair, SendRefusesWhatTheReceiverWouldRefuse) {
    int fds[kMaxFdsPerMessage + 1] = {0, 0, 0, 0, 0};
    uint8_t byte = 0;
    EXPECT_FALSE(SendMessage(fd_[0], {1, 1, 0, 1, 0}, &byte, 1, fds, kMaxFdsPerMessage + 1));
    EXPECT_FALSE(SendMessage(fd_[0], {2, 1, 0, 1, 0}, &byte, 1));  // length disagrees with header
    EXPECT_FALSE(SendMessage(fd_[0], {kMaxPayload + 1, 1, 0, 1, 0}, &byte, kMaxPayload + 1));
}

// A raw header straight onto the socket, as a hostile peer would write it.
void WriteRawHeader(int fd, uint32_t length, uint16_t kind) {
    uint8_t h[16] = {};
    std::memcpy(h, &length, 4);
    std::memcpy(h + 6, &kind, 2);
    ASSERT_EQ(write(fd, h, sizeof(h)), 16);
}

TEST_F(SocketPair, HeadersBreakingTheLimitsAreRefusedBeforeAnyPayloadIsRead) {
    WriteRawHeader(fd_[0], kMaxPayload + 1, 0);
    Message m;
    EXPECT_FALSE(ReceiveMessage(fd_[1], &m));
    EXPECT_TRUE(m.payload.empty());
    WriteRawHeader(fd_[0], 0, 5);  // no such kind
    EXPECT_FALSE(ReceiveMessage(fd_[1], &m));
}

TEST_F(SocketPair, ATruncatedStreamFailsAndClosesTheDescriptorsItBrought) {
    int event = eventfd(0, EFD_CLOEXEC);
    const size_t before = OpenFds();
    // A header promising 100 bytes and one descriptor, then 40 bytes, then the end.
    std::vector<uint8_t> payload(100, 0x5A);
    MessageHeader h{100, 4, 1, 5, 0};
    std::thread cut([&] {
        uint8_t raw[16 + 40];
        std::memcpy(raw, &h, 16);
        std::memcpy(raw + 16, payload.data(), 40);
        iovec io{raw, sizeof(raw)};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr msg{};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &event, sizeof(int));
        EXPECT_EQ(sendmsg(fd_[0], &msg, 0), static_cast<ssize_t>(sizeof(raw)));
        CloseWriter();
    });
    cut.join();
    Message m;
    EXPECT_FALSE(ReceiveMessage(fd_[1], &m));
    EXPECT_TRUE(m.fds.empty());
    EXPECT_EQ(OpenFds(), before - 1);  // the writer's end went; the passed copy did not stay
    close(event);

    // A header cut short.
    int again[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, again), 0);
    ASSERT_EQ(write(again[0], "\x10\x00\x00", 3), 3);
    close(again[0]);
    EXPECT_FALSE(ReceiveMessage(again[1], &m));
    close(again[1]);
}

TEST_F(SocketPair, MoreDescriptorsThanAllowedAreRefusedAndClosed) {
    const size_t before = OpenFds();
    int many[kMaxFdsPerMessage + 1];
    for (int& fd : many) fd = eventfd(0, EFD_CLOEXEC);
    uint8_t raw[16] = {};
    iovec io{raw, sizeof(raw)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(many))] = {};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(many));
    std::memcpy(CMSG_DATA(c), many, sizeof(many));
    ASSERT_EQ(sendmsg(fd_[0], &msg, 0), 16);
    for (int fd : many) close(fd);
    Message m;
    EXPECT_FALSE(ReceiveMessage(fd_[1], &m));
    EXPECT_EQ(OpenFds(), before);
}

}  // namespace
}  // namespace q407::remote
