#include "platform/user/remote/client_link.h"

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/user/remote/own_memory.h"

namespace q407::remote {
namespace {

std::mutex g_connectMutex;
std::atomic<ClientLink*> g_current{nullptr};
thread_local int t_machineThreadDepth = 0;

// Links that ended. They are kept, not freed: a thread may still hold one and learn from it that
// the machine is gone. One small record per connection a process makes.
std::vector<ClientLink*>& EndedLinks() {
    static auto* ended = new std::vector<ClientLink*>();
    return *ended;
}

// The most one ReadMemory answer may carry: the payload limit less the answer's own fields.
constexpr uint32_t kMaxReadLength = kMaxPayload - 64;

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(gettid());
}

void CloseAll(std::vector<int>& fds) {
    for (int fd : fds) close(fd);
    fds.clear();
}

void SetError(std::string* error, std::string text) {
    if (error != nullptr) *error = std::move(text);
}

}  // namespace

ClientLink::MachineThreadScope::MachineThreadScope() {
    ++t_machineThreadDepth;
}

ClientLink::MachineThreadScope::~MachineThreadScope() {
    --t_machineThreadDepth;
}

ClientLink* ClientLink::Current() {
    return t_machineThreadDepth > 0 ? nullptr : g_current.load(std::memory_order_acquire);
}

bool ClientLink::Connect(const std::string& socketPath, const std::wstring& programName,
                         std::string* error) {
    std::lock_guard connectLock(g_connectMutex);
    if (g_current.load() != nullptr) {
        SetError(error, "already connected to a machine");
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof(address.sun_path)) {
        SetError(error, "machine socket path '" + socketPath + "' is empty or too long");
        return false;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        SetError(error, std::string("cannot create a socket: ") + std::strerror(errno));
        return false;
    }
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        SetError(error, "no machine answers on " + socketPath + ": " + std::strerror(errno));
        close(s);
        return false;
    }
    auto* link = new ClientLink(s);
    link->socketPath_ = socketPath;
    link->Start();

    WireWriter hello;
    hello.U32(kProtocolVersion).U32(static_cast<uint32_t>(getpid())).WString(programName);
    std::vector<uint8_t> reply;
    std::vector<int> fds;
    std::string failure;
    if (!link->Call(Op::Hello, hello, &reply, &fds)) {
        failure = "the machine on " + socketPath + " closed the connection during Hello";
    } else {
        WireReader r(reply.data(), reply.size());
        const uint32_t err = r.U32();
        const uint32_t processId = r.U32();
        if (!r.Ok() || fds.empty()) {
            failure = "the machine on " + socketPath + " answered Hello with a malformed reply";
        } else if (err != 0) {
            failure = "the machine on " + socketPath + " refused Hello (error " +
                      std::to_string(err) + ")";
        } else {
            link->processId_ = processId;
            link->arenaFd_ = fds[0];
            fds.erase(fds.begin());
        }
    }
    CloseAll(fds);
    if (!failure.empty()) {
        link->Shutdown(false);
        EndedLinks().push_back(link);
        SetError(error, failure);
        return false;
    }
    g_current.store(link, std::memory_order_release);
    return true;
}

void ClientLink::Disconnect() {
    std::lock_guard connectLock(g_connectMutex);
    ClientLink* link = g_current.exchange(nullptr);
    if (link == nullptr) return;
    link->Shutdown(true);
    EndedLinks().push_back(link);
}

ClientLink::ClientLink(int socket)
    : socket_(socket), goneFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void ClientLink::Start() {
    receiver_ = std::thread([this] { Receive(); });
    noticeThread_ = std::thread([this] { DeliverNotices(); });
}

void ClientLink::Shutdown(bool sayGoodbye) {
    if (sayGoodbye && alive_.load()) {
        WireWriter none;
        // The machine treats end of stream the same way; a failure here changes nothing.
        const bool said = Send(Op::Goodbye, MessageKind::Notice, 0, 0, none);
        (void)said;
    }
    {
        std::lock_guard lock(sendMutex_);
        if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
    }
    const auto self = std::this_thread::get_id();
    if (receiver_.joinable()) {
        if (receiver_.get_id() == self)
            receiver_.detach();
        else
            receiver_.join();
    }
    MarkGone();  // the receiver did so at end of stream; repeated for a receiver left detached
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    noticeQueued_.notify_all();
    if (noticeThread_.joinable()) {
        if (noticeThread_.get_id() == self)
            noticeThread_.detach();
        else
            noticeThread_.join();
    }
    std::vector<std::function<void()>> cleanups;
    std::vector<View> views;
    {
        std::lock_guard lock(mutex_);
        cleanups.swap(cleanups_);
        views.swap(views_);
        for (Message& m : notices_) CloseAll(m.fds);
        notices_.clear();
    }
    for (auto& cleanup : cleanups) cleanup();
    for (const View& v : views) munmap(reinterpret_cast<void*>(v.address), v.length);
    {
        std::lock_guard lock(sendMutex_);
        if (socket_ >= 0) close(socket_);
        socket_ = -1;
    }
    if (arenaFd_ >= 0) close(arenaFd_);
    arenaFd_ = -1;
    // goneFd_ stays open: waits of other threads may still poll it.
}

bool ClientLink::Send(Op op, MessageKind kind, uint32_t id, uint32_t thread,
                      const WireWriter& payload) {
    const auto& data = payload.Data();
    if (data.size() > kMaxPayload) return false;
    MessageHeader h{static_cast<uint32_t>(data.size()), static_cast<uint16_t>(op),
                    static_cast<uint16_t>(kind), id, thread};
    std::lock_guard lock(sendMutex_);
    if (socket_ < 0) return false;
    return SendMessage(socket_, h, data.data(), data.size());
}

bool ClientLink::Call(Op op, const WireWriter& request, std::vector<uint8_t>* reply,
                      std::vector<int>* fds) {
    if (reply != nullptr) reply->clear();
    if (fds != nullptr) fds->clear();
    Pending pending;
    uint32_t id;
    {
        std::lock_guard lock(mutex_);
        if (!alive_.load()) return false;
        do {
            id = nextId_.fetch_add(1);
        } while (id == 0 || pending_.count(id) != 0);
        pending_[id] = &pending;
    }
    if (!Send(op, MessageKind::Call, id, CurrentThreadId(), request)) {
        std::lock_guard lock(mutex_);
        pending_.erase(id);
        return false;
    }
    std::unique_lock lock(mutex_);
    replied_.wait(lock, [&] { return pending.done; });
    pending_.erase(id);
    lock.unlock();
    if (!pending.ok) return false;
    if (reply != nullptr) *reply = std::move(pending.payload);
    if (fds != nullptr)
        *fds = std::move(pending.fds);
    else
        CloseAll(pending.fds);
    return true;
}

void ClientLink::SetNoticeHandler(Op op, std::function<void(WireReader&)> handler) {
    std::lock_guard lock(mutex_);
    noticeHandlers_[static_cast<uint16_t>(op)] = std::move(handler);
}

void ClientLink::AtDisconnect(std::function<void()> cleanup) {
    std::lock_guard lock(mutex_);
    cleanups_.push_back(std::move(cleanup));
}

size_t ClientLink::ViewCount() const {
    std::lock_guard lock(mutex_);
    return views_.size();
}

void ClientLink::MarkGone() {
    {
        std::lock_guard lock(mutex_);
        if (!alive_.exchange(false)) return;
        for (auto& [id, pending] : pending_) {
            pending->done = true;
            pending->ok = false;
        }
    }
    replied_.notify_all();
    const uint64_t one = 1;
    // An eventfd write of 1 fails only when the counter would overflow: it is set already.
    if (write(goneFd_, &one, sizeof one) != sizeof one) return;
}

void ClientLink::Receive() {
    Message m;
    while (ReceiveMessage(socket_, &m)) {
        switch (static_cast<MessageKind>(m.header.kind)) {
            case MessageKind::Reply: {
                std::unique_lock lock(mutex_);
                auto it = pending_.find(m.header.id);
                if (it == pending_.end() || it->second->done) {
                    lock.unlock();
                    CloseAll(m.fds);  // nobody asked: a late or forged reply
                    break;
                }
                it->second->payload = std::move(m.payload);
                it->second->fds = std::move(m.fds);
                it->second->ok = true;
                it->second->done = true;
                lock.unlock();
                replied_.notify_all();
                break;
            }
            case MessageKind::Request:
                ServeRequest(m);
                break;
            case MessageKind::Notice: {
                std::lock_guard lock(mutex_);
                notices_.push_back(std::move(m));
                noticeQueued_.notify_one();
                break;
            }
            default:  // a Call or an Answer has no business coming this way
                CloseAll(m.fds);
                break;
        }
        m = Message{};
    }
    MarkGone();
}

void ClientLink::ServeRequest(Message& m) {
    CloseAll(m.fds);  // no request of ours carries descriptors
    WireReader r(m.payload.data(), m.payload.size());
    WireWriter answer;
    switch (static_cast<Op>(m.header.op)) {
        case Op::ReadMemory: {
            const uint64_t address = r.U64();
            const uint32_t length = r.U32();
            std::vector<uint8_t> data;
            bool ok = r.AtEnd() && length <= kMaxReadLength && address <= UINTPTR_MAX;
            if (ok) {
                data.resize(length);
                ok = ReadOwnMemory(data.data(), static_cast<uintptr_t>(address), length);
            }
            if (!ok) data.clear();
            answer.U32(ok ? 1 : 0).Bytes(data.data(), data.size());
            break;
        }
        case Op::WriteMemory: {
            const uint64_t address = r.U64();
            const std::vector<uint8_t> data = r.Bytes();
            const bool ok =
                r.AtEnd() && address <= UINTPTR_MAX &&
                WriteOwnMemory(static_cast<uintptr_t>(address), data.data(), data.size());
            answer.U32(ok ? 1 : 0);
            break;
        }
        case Op::MapView: {
            const uint64_t offset = r.U64();
            const uint64_t length = r.U64();
            const auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
            uintptr_t mapped = 0;
            if (r.AtEnd() && arenaFd_ >= 0 && length != 0 && offset % page == 0 &&
                length % page == 0 && length <= SIZE_MAX && offset <= INT64_MAX - length) {
                void* p = mmap(nullptr, static_cast<size_t>(length), PROT_READ | PROT_WRITE,
                               MAP_SHARED, arenaFd_, static_cast<off_t>(offset));
                if (p != MAP_FAILED) {
                    mapped = reinterpret_cast<uintptr_t>(p);
                    std::lock_guard lock(mutex_);
                    views_.push_back({mapped, static_cast<size_t>(length)});
                }
            }
            answer.U64(mapped);
            break;
        }
        default:
            break;  // an empty answer: the machine reads it as a failure
    }
    // A lost answer means the machine is gone; the receiver sees the end of stream next.
    const bool sent =
        Send(static_cast<Op>(m.header.op), MessageKind::Answer, m.header.id, 0, answer);
    (void)sent;
}

void ClientLink::DeliverNotices() {
    for (;;) {
        Message m;
        std::function<void(WireReader&)> handler;
        {
            std::unique_lock lock(mutex_);
            noticeQueued_.wait(lock, [&] { return stopping_ || !notices_.empty(); });
            if (notices_.empty()) return;
            m = std::move(notices_.front());
            notices_.pop_front();
            auto it = noticeHandlers_.find(m.header.op);
            if (it != noticeHandlers_.end()) handler = it->second;
        }
        CloseAll(m.fds);
        WireReader r(m.payload.data(), m.payload.size());
        if (static_cast<Op>(m.header.op) == Op::UnmapView) {
            const uint64_t address = r.U64();
            const uint64_t length = r.U64();
            // Only a view the machine itself mapped goes, so a stray notice cannot unmap our own
            // memory.
            std::unique_lock lock(mutex_);
            auto it = std::find_if(views_.begin(), views_.end(), [&](const View& v) {
                return v.address == address && v.length == length;
            });
            if (r.AtEnd() && it != views_.end()) {
                views_.erase(it);
                lock.unlock();
                munmap(reinterpret_cast<void*>(static_cast<uintptr_t>(address)),
                       static_cast<size_t>(length));
            }
            continue;
        }
        if (handler) handler(r);
    }
}

}  // namespace q407::remote
