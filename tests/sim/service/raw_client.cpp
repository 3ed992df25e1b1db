#include "tests/sim/service/raw_client.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace q407::service::testing {

using remote::Message;
using remote::MessageHeader;
using remote::MessageKind;
using remote::Op;
using remote::WireReader;
using remote::WireWriter;

RawClient::RawClient(const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_ >= 0 &&
        ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

RawClient::~RawClient() {
    Disconnect();
    for (auto& [base, length] : views_) ::munmap(base, length);
    if (arena_ >= 0) ::close(arena_);
}

void RawClient::Disconnect() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
}

bool RawClient::Send(MessageKind kind, uint16_t op, uint32_t id,
                     const std::vector<uint8_t>& payload, uint32_t thread) {
    MessageHeader h{};
    h.payloadLength = static_cast<uint32_t>(payload.size());
    h.op = op;
    h.kind = static_cast<uint16_t>(kind);
    h.id = id;
    h.thread = kind == MessageKind::Call ? thread : 0;
    return remote::SendMessage(socket_, h, payload.data(), payload.size());
}

bool RawClient::SendBytes(const void* data, size_t length) {
    return ::send(socket_, data, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

uint32_t RawClient::Hello(const std::wstring& program, uint32_t version) {
    WireWriter w;
    w.U32(version).U32(static_cast<uint32_t>(::getpid())).WString(program);
    std::vector<uint8_t> reply;
    std::vector<int> fds;
    if (!Call(Op::Hello, w, &reply, &fds)) return 0;
    WireReader r(reply.data(), reply.size());
    const uint32_t error = r.U32();
    const uint32_t id = r.U32();
    if (!fds.empty()) arena_ = fds[0];
    for (size_t i = 1; i < fds.size(); ++i) ::close(fds[i]);
    return r.AtEnd() && error == 0 ? id : 0;
}

bool RawClient::Call(Op op, const WireWriter& request, std::vector<uint8_t>* reply,
                     std::vector<int>* fds, uint32_t thread) {
    static uint32_t nextId = 1;
    const uint32_t id = nextId++;
    if (!Send(MessageKind::Call, static_cast<uint16_t>(op), id, request.Data(), thread))
        return false;
    for (;;) {
        Message m;
        if (!remote::ReceiveMessage(socket_, &m)) return false;
        const auto kind = static_cast<MessageKind>(m.header.kind);
        if (kind == MessageKind::Request) {
            if (!Serve(m)) return false;
        } else if (kind == MessageKind::Notice) {
            if (m.header.op == static_cast<uint16_t>(Op::UnmapView)) {
                WireReader r(m.payload.data(), m.payload.size());
                void* base = reinterpret_cast<void*>(static_cast<uintptr_t>(r.U64()));
                std::erase_if(views_, [&](const auto& v) {
                    return v.first == base && ::munmap(v.first, v.second) == 0;
                });
            }
        } else if (kind == MessageKind::Reply && m.header.id == id) {
            *reply = std::move(m.payload);
            if (fds != nullptr) {
                *fds = std::move(m.fds);
            } else {
                for (int fd : m.fds) ::close(fd);
            }
            return true;
        } else {
            for (int fd : m.fds) ::close(fd);
        }
    }
}

bool RawClient::Serve(const Message& request) {
    if (beforeRequest && !beforeRequest(request)) {
        Disconnect();
        return false;
    }
    ++requestsServed;
    WireReader r(request.payload.data(), request.payload.size());
    WireWriter answer;
    switch (static_cast<Op>(request.header.op)) {
        case Op::ReadMemory: {
            const uint64_t address = r.U64();
            const uint32_t length = r.U32();
            answer.U32(1).Bytes(reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                                length);
            break;
        }
        case Op::WriteMemory: {
            const uint64_t address = r.U64();
            const std::vector<uint8_t> data = r.Bytes();
            std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), data.data(),
                        data.size());
            answer.U32(1);
            break;
        }
        case Op::MapView: {
            const uint64_t offset = r.U64();
            const uint64_t length = r.U64();
            void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, arena_,
                                static_cast<off_t>(offset));
            if (base == MAP_FAILED) {
                answer.U64(0);
            } else {
                views_.emplace_back(base, length);
                answer.U64(reinterpret_cast<uintptr_t>(base));
            }
            break;
        }
        default:
            return false;
    }
    return Send(MessageKind::Answer, request.header.op, request.header.id, answer.Data());
}

bool RawClient::ClosedByMachine() {
    for (;;) {
        pollfd p{socket_, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return false;
        uint8_t byte;
        const ssize_t n = ::recv(socket_, &byte, 1, 0);
        if (n == 0) return true;
        if (n < 0) return errno == ECONNRESET;
    }
}

}  // namespace q407::service::testing
