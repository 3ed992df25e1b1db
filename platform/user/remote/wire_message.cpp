// Message framing over a Unix stream socket and the little-endian codec.
#include "platform/user/remote/wire_message.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace q407::remote {
namespace {

void PutLittle(uint8_t* out, uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t GetLittle(const uint8_t* in, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(in[i]) << (8 * i);
    return v;
}

// A would-block socket (someone set O_NONBLOCK) still gets whole-message semantics.
bool WaitReady(int socket, short events) {
    pollfd p{socket, events, 0};
    for (;;) {
        int r = poll(&p, 1, -1);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

void CloseAll(std::vector<int>* fds) {
    for (int fd : *fds) close(fd);
    fds->clear();
}

// Collects the descriptors of every SCM_RIGHTS record; false when the kernel had to cut the
// control data (more than we allow) or the count passes the limit.
bool CollectFds(msghdr* msg, std::vector<int>* fds) {
    bool ok = (msg->msg_flags & MSG_CTRUNC) == 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            fds->push_back(fd);
        }
    }
    return ok && fds->size() <= static_cast<size_t>(kMaxFdsPerMessage);
}

// Reads exactly n bytes (n may be 0 only when nothing is expected), gathering any descriptors
// that arrive with them. False on EOF or error.
bool ReceiveExactly(int socket, uint8_t* out, size_t n, std::vector<int>* fds) {
    size_t done = 0;
    while (done < n) {
        iovec io{out + done, n - done};
        // Room for a few more records than allowed, so that an excess is seen and refused.
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * (kMaxFdsPerMessage + 4))];
        msghdr msg{};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        ssize_t r = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
        if (r < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(socket, POLLIN)) continue;
            return false;
        }
        if (!CollectFds(&msg, fds)) return false;
        if (r == 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

bool SendMessage(int socket, const MessageHeader& h, const uint8_t* payload, size_t n,
                 const int* fds, int fdCount) {
    if (n > kMaxPayload || n != h.payloadLength) return false;
    if (fdCount < 0 || fdCount > kMaxFdsPerMessage || (fdCount > 0 && fds == nullptr)) return false;
    if (n > 0 && payload == nullptr) return false;
    uint8_t head[sizeof(MessageHeader)];
    PutLittle(head + 0, h.payloadLength, 4);
    PutLittle(head + 4, h.op, 2);
    PutLittle(head + 6, h.kind, 2);
    PutLittle(head + 8, h.id, 4);
    PutLittle(head + 12, h.thread, 4);

    const size_t total = sizeof(head) + n;
    size_t sent = 0;
    while (sent < total) {
        iovec io[2];
        int count = 0;
        if (sent < sizeof(head)) io[count++] = {head + sent, sizeof(head) - sent};
        size_t payloadDone = sent > sizeof(head) ? sent - sizeof(head) : 0;
        if (n > payloadDone)
            io[count++] = {const_cast<uint8_t*>(payload) + payloadDone, n - payloadDone};
        msghdr msg{};
        msg.msg_iov = io;
        msg.msg_iovlen = static_cast<size_t>(count);
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerMessage)];
        // The descriptors go with the first bytes; a partial write leaves them delivered.
        if (sent == 0 && fdCount > 0) {
            std::memset(control, 0, sizeof(control));
            msg.msg_control = control;
            msg.msg_controllen = CMSG_SPACE(sizeof(int) * static_cast<size_t>(fdCount));
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * static_cast<size_t>(fdCount));
            std::memcpy(CMSG_DATA(c), fds, sizeof(int) * static_cast<size_t>(fdCount));
        }
        ssize_t r = sendmsg(socket, &msg, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(socket, POLLOUT)) continue;
            return false;
        }
        sent += static_cast<size_t>(r);
    }
    return true;
}

bool ReceiveMessage(int socket, Message* out) {
    out->payload.clear();
    out->fds.clear();
    uint8_t head[sizeof(MessageHeader)];
    if (!ReceiveExactly(socket, head, sizeof(head), &out->fds)) {
        CloseAll(&out->fds);
        return false;
    }
    MessageHeader& h = out->header;
    h.payloadLength = static_cast<uint32_t>(GetLittle(head + 0, 4));
    h.op = static_cast<uint16_t>(GetLittle(head + 4, 2));
    h.kind = static_cast<uint16_t>(GetLittle(head + 6, 2));
    h.id = static_cast<uint32_t>(GetLittle(head + 8, 4));
    h.thread = static_cast<uint32_t>(GetLittle(head + 12, 4));
    if (h.payloadLength > kMaxPayload || h.kind > static_cast<uint16_t>(MessageKind::Notice)) {
        CloseAll(&out->fds);
        return false;
    }
    // The buffer grows with what actually arrives, so a header that promises much and sends
    // little costs little.
    size_t have = 0;
    while (have < h.payloadLength) {
        size_t step = std::min<size_t>(h.payloadLength - have, std::max<size_t>(have, 64 * 1024));
        out->payload.resize(have + step);
        if (!ReceiveExactly(socket, out->payload.data() + have, step, &out->fds)) {
            CloseAll(&out->fds);
            out->payload.clear();
            return false;
        }
        have += step;
    }
    return true;
}

// --- WireWriter -----------------------------------------------------------------------------

WireWriter& WireWriter::U8(uint8_t v) {
    data_.push_back(v);
    return *this;
}

WireWriter& WireWriter::U16(uint16_t v) {
    uint8_t b[2];
    PutLittle(b, v, 2);
    data_.insert(data_.end(), b, b + 2);
    return *this;
}

WireWriter& WireWriter::U32(uint32_t v) {
    uint8_t b[4];
    PutLittle(b, v, 4);
    data_.insert(data_.end(), b, b + 4);
    return *this;
}

WireWriter& WireWriter::U64(uint64_t v) {
    uint8_t b[8];
    PutLittle(b, v, 8);
    data_.insert(data_.end(), b, b + 8);
    return *this;
}

WireWriter& WireWriter::I64(int64_t v) {
    return U64(static_cast<uint64_t>(v));
}

WireWriter& WireWriter::Bytes(const void* p, size_t n) {
    // A length the prefix cannot hold would desynchronise the stream; no message comes near it.
    if (n > 0xFFFFFFFFu) {
        std::fprintf(stderr, "WireWriter: %zu bytes do not fit a length prefix\n", n);
        std::abort();
    }
    U32(static_cast<uint32_t>(n));
    if (n > 0) {
        const auto* b = static_cast<const uint8_t*>(p);
        data_.insert(data_.end(), b, b + n);
    }
    return *this;
}

WireWriter& WireWriter::WString(const std::wstring& s) {
    // wchar_t holds UTF-32 here; the wire carries UTF-16 as Windows does.
    std::vector<uint16_t> units;
    units.reserve(s.size());
    for (wchar_t wc : s) {
        auto c = static_cast<uint32_t>(wc);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            units.push_back(static_cast<uint16_t>(0xD800 + (c >> 10)));
            units.push_back(static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            units.push_back(static_cast<uint16_t>(c <= 0xFFFF ? c : 0xFFFD));
        }
    }
    U32(static_cast<uint32_t>(units.size()));
    for (uint16_t u : units) U16(u);
    return *this;
}

WireWriter& WireWriter::String(const std::string& s) {
    return Bytes(s.data(), s.size());
}

WireWriter& WireWriter::Guid(const GUID& g) {
    U32(g.Data1);
    U16(g.Data2);
    U16(g.Data3);
    data_.insert(data_.end(), g.Data4, g.Data4 + 8);
    return *this;
}

// --- WireReader -----------------------------------------------------------------------------

const uint8_t* WireReader::Take(size_t n) {
    if (!ok_ || n > n_ - pos_) {
        ok_ = false;
        return nullptr;
    }
    const uint8_t* at = p_ + pos_;
    pos_ += n;
    return at;
}

uint64_t WireReader::Little(size_t n) {
    const uint8_t* at = Take(n);
    return at != nullptr ? GetLittle(at, n) : 0;
}

uint8_t WireReader::U8() {
    return static_cast<uint8_t>(Little(1));
}
uint16_t WireReader::U16() {
    return static_cast<uint16_t>(Little(2));
}
uint32_t WireReader::U32() {
    return static_cast<uint32_t>(Little(4));
}
uint64_t WireReader::U64() {
    return Little(8);
}
int64_t WireReader::I64() {
    return static_cast<int64_t>(Little(8));
}

std::vector<uint8_t> WireReader::Bytes(size_t maxLength) {
    uint32_t length = U32();
    if (!ok_) return {};
    if (length > maxLength) {
        ok_ = false;
        return {};
    }
    const uint8_t* at = Take(length);
    if (at == nullptr) return {};
    return std::vector<uint8_t>(at, at + length);
}

std::wstring WireReader::WString(size_t maxUnits) {
    uint32_t count = U32();
    if (!ok_) return {};
    if (count > maxUnits) {
        ok_ = false;
        return {};
    }
    const uint8_t* at = Take(size_t{count} * 2);
    if (at == nullptr) return {};
    std::wstring s;
    s.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        auto u = static_cast<uint32_t>(GetLittle(at + 2 * i, 2));
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
            auto low = static_cast<uint32_t>(GetLittle(at + 2 * (i + 1), 2));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                s.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00)));
                ++i;
                continue;
            }
        }
        // A lone surrogate stays the unit it was, as Windows keeps it.
        s.push_back(static_cast<wchar_t>(u));
    }
    return s;
}

std::string WireReader::String(size_t max) {
    std::vector<uint8_t> bytes = Bytes(max);
    return std::string(bytes.begin(), bytes.end());
}

GUID WireReader::Guid() {
    GUID g{};
    const uint8_t* at = Take(16);
    if (at == nullptr) return g;
    g.Data1 = static_cast<uint32_t>(GetLittle(at, 4));
    g.Data2 = static_cast<uint16_t>(GetLittle(at + 4, 2));
    g.Data3 = static_cast<uint16_t>(GetLittle(at + 6, 2));
    std::memcpy(g.Data4, at + 8, 8);
    return g;
}

}  // namespace q407::remote
