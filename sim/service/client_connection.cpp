#include "sim/service/client_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <shared_mutex>

#include "platform/user/bench_win32.h"
#include "platform/user/remote/client_link.h"
#include "sim/host/client_address_space.h"
#include "sim/host/pool.h"
#include "sim/host/process.h"
#include "sim/host/trace_log.h"

namespace q407::service {
namespace {

using remote::Message;
using remote::MessageHeader;
using remote::MessageKind;
using remote::Op;
using remote::WireReader;
using remote::WireWriter;

// Memory requests move at most this much per message, well inside the payload limit.
constexpr size_t kRequestChunk = 1u << 20;

void CloseAll(const std::vector<int>& fds) {
    for (int fd : fds) ::close(fd);
}

// [address, +length) lies inside [base, +size), computed without wrapping.
bool Within(uintptr_t address, size_t length, uintptr_t base, size_t size) {
    return address >= base && length <= size && address - base <= size - length;
}

std::string NarrowName(const std::wstring& name) {
    std::string narrow;
    for (wchar_t c : name) narrow += (c > 0x1F && c < 0x7F) ? static_cast<char>(c) : '?';
    return narrow.empty() ? std::string("client") : narrow;
}

}  // namespace

// The device I/O control being run on this thread: the client's input arrived with it, and what
// the drivers write into its output range goes back with the reply.
struct CallWindow {
    const void* owner = nullptr;
    uintptr_t inAddress = 0;
    std::vector<uint8_t> input;
    uintptr_t outAddress = 0;
    size_t outLength = 0;
    std::vector<uint8_t> output;  // bytes [0, size) of the output range are known
};
thread_local CallWindow* t_window = nullptr;

CallWindowScope::CallWindowScope(const Connection& connection, uintptr_t inAddress,
                                 std::vector<uint8_t> input, uintptr_t outAddress, size_t outLength)
    : window_(new CallWindow{&connection, inAddress, std::move(input), outAddress, outLength, {}}),
      previous_(t_window) {
    t_window = window_;
}

CallWindowScope::~CallWindowScope() {
    t_window = previous_;
    delete window_;
}

const std::vector<uint8_t>& CallWindowScope::Output() const {
    return window_->output;
}

// The client's memory reached through its connection.
class ConnectionAddressSpace final : public sim::ClientAddressSpace {
  public:
    explicit ConnectionAddressSpace(ClientConnection& connection) : connection_(&connection) {}

    // The connection is going: from now on every access fails (a kernel object of the process
    // may outlive it).
    void Detach() {
        std::unique_lock lock(mutex_);
        connection_ = nullptr;
    }

    bool Read(void* destination, uintptr_t clientAddress, size_t length) override {
        if (length == 0) return true;
        std::shared_lock lock(mutex_);
        return connection_ != nullptr && ReadLocked(destination, clientAddress, length);
    }

    bool Write(uintptr_t clientAddress, const void* source, size_t length) override {
        if (length == 0) return true;
        std::shared_lock lock(mutex_);
        if (connection_ == nullptr) return false;
        CallWindow* w = Window();
        if (w == nullptr || !Within(clientAddress, length, w->outAddress, w->outLength))
            return RemoteWrite(clientAddress, static_cast<const uint8_t*>(source), length);
        const size_t offset = clientAddress - w->outAddress;
        const size_t known = w->output.size();
        if (offset > known) {
            // The reply carries a prefix of the output range: what lies before this write keeps
            // the client's own bytes.
            std::vector<uint8_t> gap(offset - known);
            if (!ReadLocked(gap.data(), w->outAddress + known, gap.size())) return false;
            w->output.insert(w->output.end(), gap.begin(), gap.end());
        }
        if (w->output.size() < offset + length) w->output.resize(offset + length);
        std::memcpy(w->output.data() + offset, source, length);
        // Where the ranges overlap (one buffer for both), later reads see what was written.
        const uintptr_t inEnd = w->inAddress + w->input.size();
        const uintptr_t begin = std::max(clientAddress, w->inAddress);
        const uintptr_t end = std::min(clientAddress + length, inEnd);
        if (!w->input.empty() && begin < end)
            std::memcpy(w->input.data() + (begin - w->inAddress),
                        static_cast<const uint8_t*>(source) + (begin - clientAddress), end - begin);
        return true;
    }

    uintptr_t Map(size_t arenaOffset, size_t length) override {
        WireWriter request;
        request.U64(arenaOffset).U64(length);
        std::vector<uint8_t> answer;
        std::shared_lock lock(mutex_);
        if (connection_ == nullptr || !connection_->Request(Op::MapView, request, &answer))
            return 0;
        WireReader in(answer.data(), answer.size());
        const uint64_t address = in.U64();
        return in.AtEnd() ? static_cast<uintptr_t>(address) : 0;
    }

    void Unmap(uintptr_t clientAddress, size_t length) override {
        WireWriter notice;
        notice.U64(clientAddress).U64(length);
        std::shared_lock lock(mutex_);
        // The client may be gone already: nothing to tell then.
        if (connection_ != nullptr) (void)connection_->SendNotice(Op::UnmapView, notice);
    }

  private:
    bool ReadLocked(void* destination, uintptr_t clientAddress, size_t length) {
        CallWindow* w = Window();
        if (w != nullptr && Within(clientAddress, length, w->inAddress, w->input.size())) {
            std::memcpy(destination, w->input.data() + (clientAddress - w->inAddress), length);
            return true;
        }
        if (w != nullptr && Within(clientAddress, length, w->outAddress, w->output.size())) {
            std::memcpy(destination, w->output.data() + (clientAddress - w->outAddress), length);
            return true;
        }
        return RemoteRead(static_cast<uint8_t*>(destination), clientAddress, length);
    }

    CallWindow* Window() const {
        const void* self = static_cast<const Connection*>(connection_);
        return t_window != nullptr && t_window->owner == self ? t_window : nullptr;
    }

    bool RemoteRead(uint8_t* destination, uintptr_t address, size_t length) {
        while (length > 0) {
            const size_t n = std::min(length, kRequestChunk);
            WireWriter request;
            request.U64(address).U32(static_cast<uint32_t>(n));
            std::vector<uint8_t> answer;
            if (!connection_->Request(Op::ReadMemory, request, &answer)) return false;
            WireReader in(answer.data(), answer.size());
            const uint32_t ok = in.U32();
            const std::vector<uint8_t> data = in.Bytes(n);
            if (!in.AtEnd() || ok != 1 || data.size() != n) return false;
            std::memcpy(destination, data.data(), n);
            destination += n;
            address += n;
            length -= n;
        }
        return true;
    }

    bool RemoteWrite(uintptr_t address, const uint8_t* source, size_t length) {
        while (length > 0) {
            const size_t n = std::min(length, kRequestChunk);
            WireWriter request;
            request.U64(address).Bytes(source, n);
            std::vector<uint8_t> answer;
            if (!connection_->Request(Op::WriteMemory, request, &answer)) return false;
            WireReader in(answer.data(), answer.size());
            const uint32_t ok = in.U32();
            if (!in.AtEnd() || ok != 1) return false;
            source += n;
            address += n;
            length -= n;
        }
        return true;
    }

    std::shared_mutex mutex_;  // shared by accesses, taken alone to detach
    ClientConnection* connection_;
};

ClientConnection::ClientConnection(int socket, const HandlerTable& handlers,
                                   std::function<void()> ended)
    : socket_(socket), handlers_(handlers), ended_(std::move(ended)) {}

ClientConnection::~ClientConnection() {
    Close();
    Join();
    process_.reset();
    ::close(socket_);
}

void ClientConnection::Start() {
    reader_ = std::thread([this] { ReadLoop(); });
}

void ClientConnection::Close() {
    ::shutdown(socket_, SHUT_RDWR);
}

bool ClientConnection::Finished() const {
    return finished_.load();
}

void ClientConnection::Join() {
    if (reader_.joinable()) reader_.join();
}

uint32_t ClientConnection::ProcessId() const {
    std::lock_guard lock(mutex_);
    return processId_;
}

bool ClientConnection::Gone() const {
    std::lock_guard lock(mutex_);
    return gone_;
}

bool ClientConnection::SendNotice(Op op, const WireWriter& payload) {
    MessageHeader header{};
    header.op = static_cast<uint16_t>(op);
    header.kind = static_cast<uint16_t>(MessageKind::Notice);
    return Send(header, payload.Data(), {});
}

void ClientConnection::AtEnd(uintptr_t key, std::function<void()> cleanup) {
    std::lock_guard lock(mutex_);
    atEnd_.emplace_back(key, std::move(cleanup));
}

void ClientConnection::CancelAtEnd(uintptr_t key) {
    std::lock_guard lock(mutex_);
    std::erase_if(atEnd_, [key](const auto& entry) { return entry.first == key; });
}

bool ClientConnection::Send(const MessageHeader& header, const std::vector<uint8_t>& payload,
                            const std::vector<int>& fds) {
    if (Gone()) return false;
    if (payload.size() > remote::kMaxPayload ||
        fds.size() > static_cast<size_t>(remote::kMaxFdsPerMessage))
        return false;
    MessageHeader h = header;
    h.payloadLength = static_cast<uint32_t>(payload.size());
    std::lock_guard lock(sendMutex_);
    return remote::SendMessage(socket_, h, payload.data(), payload.size(),
                               fds.empty() ? nullptr : fds.data(), static_cast<int>(fds.size()));
}

bool ClientConnection::SendReply(const MessageHeader& call, const std::vector<uint8_t>& payload,
                                 const std::vector<int>& fds) {
    MessageHeader h{};
    h.op = call.op;
    h.kind = static_cast<uint16_t>(MessageKind::Reply);
    h.id = call.id;
    return Send(h, payload, fds);
}

bool ClientConnection::SendError(const MessageHeader& call, uint32_t error) {
    WireWriter out;
    out.U32(error);
    return SendReply(call, out.Data(), {});
}

bool ClientConnection::Request(Op op, const WireWriter& payload, std::vector<uint8_t>* answer) {
    answer->clear();
    uint32_t id;
    {
        std::lock_guard lock(mutex_);
        if (gone_) return false;
        id = nextRequest_++;
        if (nextRequest_ == 0) nextRequest_ = 1;
        pending_[id] = Pending{};
    }
    MessageHeader h{};
    h.op = static_cast<uint16_t>(op);
    h.kind = static_cast<uint16_t>(MessageKind::Request);
    h.id = id;
    bool ok = Send(h, payload.Data(), {});
    std::unique_lock lock(mutex_);
    if (ok) {
        ok = changed_.wait_for(lock, std::chrono::milliseconds(kRequestTimeoutMs), [&] {
            return gone_ || pending_[id].answered;
        }) && pending_[id].answered;
    }
    if (ok) *answer = std::move(pending_[id].payload);
    pending_.erase(id);
    return ok;
}

void ClientConnection::ReadLoop() {
    {
        // The machine's own thread, even where a linked client shares this Linux process.
        remote::ClientLink::MachineThreadScope machineThread;
        for (;;) {
            Message message;
            if (!remote::ReceiveMessage(socket_, &message)) break;
            // No message from a client carries descriptors the machine wants.
            CloseAll(message.fds);
            message.fds.clear();
            if (!Dispatch(message)) break;
        }
        MarkGone();
        EndProcess();
    }
    finished_.store(true);
    if (ended_) ended_();
}

bool ClientConnection::Dispatch(Message& message) {
    const MessageHeader& h = message.header;
    switch (static_cast<MessageKind>(h.kind)) {
        case MessageKind::Call:
            if (process_ == nullptr)
                return h.op == static_cast<uint16_t>(Op::Hello) && Hello(message);
            return Enqueue(message);
        case MessageKind::Answer: {
            std::lock_guard lock(mutex_);
            auto it = pending_.find(h.id);
            // An answer nobody waits for any more (its request timed out) is dropped.
            if (it != pending_.end() && !it->second.answered) {
                it->second.answered = true;
                it->second.payload = std::move(message.payload);
                changed_.notify_all();
            }
            return true;
        }
        case MessageKind::Notice:
            // Goodbye ends the connection as end of file does; other notices mean nothing here.
            return h.op != static_cast<uint16_t>(Op::Goodbye);
        default:
            return false;  // replies and requests flow only the other way
    }
}

bool ClientConnection::Hello(const Message& message) {
    WireReader in(message.payload.data(), message.payload.size());
    const uint32_t version = in.U32();
    const uint32_t clientPid = in.U32();
    const std::wstring program = in.WString();
    if (!in.AtEnd() || version != remote::kProtocolVersion) {
        (void)SendError(message.header, win32::ERROR_INVALID_PARAMETER);
        return false;
    }
    auto process = std::make_unique<sim::Process>(NarrowName(program));
    space_ = std::make_shared<ConnectionAddressSpace>(*this);
    sim::AttachClientAddressSpace(*process, space_);
    const uint32_t id = process->Id();
    {
        std::lock_guard lock(mutex_);
        process_ = std::move(process);
        processId_ = id;
    }
    sim::TraceLog::Instance().AppendUser("machine: client " + NarrowName(program) + " (pid " +
                                         std::to_string(clientPid) + ") is process " +
                                         std::to_string(id));
    const int arena = ::dup(sim::Pool::ArenaFd());
    if (arena < 0) {
        (void)SendError(message.header, win32::ERROR_NO_SYSTEM_RESOURCES);
        return false;
    }
    WireWriter out;
    out.U32(win32::ERROR_SUCCESS).U32(id);
    const bool sent = SendReply(message.header, out.Data(), {arena});
    ::close(arena);
    return sent;
}

bool ClientConnection::Enqueue(Message& message) {
    const MessageHeader& h = message.header;
    const auto op = static_cast<Op>(h.op);
    if (op == Op::Hello || handlers_.Find(op) == nullptr) {
        // A second hello, or an op this machine does not serve.
        return SendError(h, win32::ERROR_INVALID_PARAMETER);
    }
    std::unique_lock lock(mutex_);
    // A client that piles up calls without waiting for their replies is not one of ours.
    if (queued_ >= kMaxQueuedCalls) return false;
    Worker* worker = nullptr;
    if (auto it = byThread_.find(h.thread); it != byThread_.end()) {
        worker = it->second;
    } else {
        // A thread the client has not called from before: an idle worker takes it over (the
        // thread it served has no call in progress, so nothing of its order is lost), else a
        // new one starts.
        for (auto& w : workers_) {
            if (!w->running && w->calls.empty()) {
                byThread_.erase(w->clientThread);
                worker = w.get();
                break;
            }
        }
        if (worker == nullptr) {
            if (workers_.size() >= kMaxWorkersPerConnection) {
                lock.unlock();
                return SendError(h, win32::ERROR_NO_SYSTEM_RESOURCES);
            }
            worker = workers_.emplace_back(std::make_unique<Worker>()).get();
            lock.unlock();
            HANDLE started = process_->StartThread([this, worker] { WorkerLoop(*worker); });
            if (started == nullptr) {
                lock.lock();
                std::erase_if(workers_, [worker](const auto& w) { return w.get() == worker; });
                lock.unlock();
                return SendError(h, win32::ERROR_NO_SYSTEM_RESOURCES);
            }
            // The thread's handle is the process's own; the client never sees it.
            (void)process_->Close(started);
            lock.lock();
        }
        worker->clientThread = h.thread;
        byThread_[h.thread] = worker;
    }
    worker->calls.push_back(Call{h, std::move(message.payload)});
    ++queued_;
    changed_.notify_all();
    return true;
}

void ClientConnection::WorkerLoop(Worker& worker) {
    remote::ClientLink::MachineThreadScope machineThread;
    for (;;) {
        Call call;
        {
            std::unique_lock lock(mutex_);
            worker.running = false;
            changed_.wait(lock, [&] { return gone_ || !worker.calls.empty(); });
            if (gone_) return;
            call = std::move(worker.calls.front());
            worker.calls.pop_front();
            worker.running = true;
            --queued_;
        }
        RunCall(call);
    }
}

void ClientConnection::RunCall(const Call& call) {
    const CallHandler* handler = handlers_.Find(static_cast<Op>(call.header.op));
    CallContext context{*process_, *this, call.header.thread};
    WireReader in(call.payload.data(), call.payload.size());
    WireWriter out;
    bool failed = false;
    try {
        (*handler)(context, in, out);
    } catch (const sim::ProcessEnded&) {
        CloseAll(context.replyFds);
        throw;
    } catch (const std::exception& e) {
        sim::TraceLog::Instance().AppendUser(std::string("machine: call failed: ") + e.what());
        failed = true;
    }
    // A payload that ran short, or a reply that cannot travel, answers as a bad parameter.
    if (failed || !in.Ok() || out.Data().size() > remote::kMaxPayload ||
        context.replyFds.size() > static_cast<size_t>(remote::kMaxFdsPerMessage)) {
        CloseAll(context.replyFds);
        (void)SendError(call.header, win32::ERROR_INVALID_PARAMETER);
        return;
    }
    (void)SendReply(call.header, out.Data(), context.replyFds);
    CloseAll(context.replyFds);
}

void ClientConnection::MarkGone() {
    std::lock_guard lock(mutex_);
    gone_ = true;
    changed_.notify_all();
    ::shutdown(socket_, SHUT_RDWR);
}

void ClientConnection::EndProcess() {
    if (process_ == nullptr) return;
    // The threads stop first (none can add work owed after that), then the handles close.
    process_->End();
    space_->Detach();
    std::vector<std::pair<uintptr_t, std::function<void()>>> cleanups;
    {
        std::lock_guard lock(mutex_);
        cleanups.swap(atEnd_);
    }
    sim::Process::Scope scope(*process_);
    for (auto it = cleanups.rbegin(); it != cleanups.rend(); ++it) it->second();
    sim::TraceLog::Instance().AppendUser("machine: process " + std::to_string(processId_) +
                                         " ended");
}

}  // namespace q407::service
