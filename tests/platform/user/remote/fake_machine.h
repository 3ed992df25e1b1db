// A machine stand-in for the client side's tests: listens on a socket in a temporary folder,
// accepts one connection and answers Calls with handlers the test installs (Hello, CreateEvent
// and CloseHandle have defaults). Handlers run on the fake's thread and may send Requests and
// wait for their Answers, as the real machine does while a call is in progress.
#pragma once

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/remote/wire_message.h"
#include "platform/user/remote/wire_ops.h"

namespace q407::remote::testing {

class FakeMachine {
  public:
    using Handler = std::function<void(FakeMachine&, const Message&)>;
    static constexpr uint32_t kProcessId = 77;
    static constexpr size_t kArenaPages = 4;

    FakeMachine() {
        char folder[] = "/tmp/q407-link-XXXXXX";
        folder_ = mkdtemp(folder);
        path_ = folder_ + "/machine.sock";
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path_.c_str());
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        EXPECT_EQ(listen(listener_, 4), 0);
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        arena_ = memfd_create("arena", MFD_CLOEXEC);
        EXPECT_EQ(ftruncate(arena_, static_cast<off_t>(kArenaPages * page_)), 0);
        for (size_t p = 0; p < kArenaPages; ++p) {
            const auto mark = static_cast<uint8_t>(0xA0 + p);  // each page names itself
            std::vector<uint8_t> bytes(page_, mark);
            EXPECT_EQ(pwrite(arena_, bytes.data(), bytes.size(), static_cast<off_t>(p * page_)),
                      static_cast<ssize_t>(page_));
        }
        On(Op::Hello, [](FakeMachine& f, const Message& m) {
            WireReader r(m.payload.data(), m.payload.size());
            std::lock_guard lock(f.mutex_);
            f.helloVersion = r.U32();
            f.helloPid = r.U32();
            f.helloProgram_ = r.WString();
            WireWriter w;
            w.U32(0).U32(kProcessId);
            f.Reply(m, w, {f.arena_});
        });
        On(Op::CreateEvent, [](FakeMachine& f, const Message& m) {
            WireReader r(m.payload.data(), m.payload.size());
            r.U32();  // manual reset: the client keeps that
            const uint32_t initial = r.U32();
            const int fd = eventfd(initial, EFD_NONBLOCK | EFD_CLOEXEC);
            const uint64_t handle = f.nextHandle_ += 4;
            {
                std::lock_guard lock(f.mutex_);
                f.events_[handle] = fd;
            }
            WireWriter w;
            w.U32(0).U64(handle);
            f.Reply(m, w, {fd});
        });
        On(Op::CloseHandle, [](FakeMachine& f, const Message& m) {
            WireReader r(m.payload.data(), m.payload.size());
            {
                std::lock_guard lock(f.mutex_);
                f.closed_.push_back(r.U64());
            }
            WireWriter w;
            w.U32(0);
            f.Reply(m, w);
        });
        thread_ = std::thread([this] { Serve(); });
    }

    ~FakeMachine() {
        Close();
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
        close(arena_);
        for (auto& [handle, fd] : events_) close(fd);
        unlink(path_.c_str());
        rmdir(folder_.c_str());
    }

    const std::string& Path() const { return path_; }
    size_t Page() const { return page_; }
    void On(Op op, Handler h) {
        std::lock_guard lock(mutex_);
        handlers_[static_cast<uint16_t>(op)] = std::move(h);
    }
    std::vector<uint64_t> Closed() {
        std::lock_guard lock(mutex_);
        return closed_;
    }
    std::wstring Program() {
        std::lock_guard lock(mutex_);
        return helloProgram_;
    }

    // The machine's side of an event it created: what KeSetEvent would do.
    void SignalEvent(uint64_t handle) {
        std::lock_guard lock(mutex_);
        const uint64_t one = 1;
        EXPECT_EQ(write(events_.at(handle), &one, 8), 8);
    }

    void Reply(const Message& call, const WireWriter& w, std::vector<int> fds = {}) {
        Send(static_cast<Op>(call.header.op), MessageKind::Reply, call.header.id, w, fds);
    }
    void Notice(Op op, const WireWriter& w) { Send(op, MessageKind::Notice, 0, w, {}); }

    // Sends a Request and returns its Answer's payload (empty when the client is gone).
    std::vector<uint8_t> Request(Op op, const WireWriter& w) {
        const uint32_t id = ++nextRequest_;
        Send(op, MessageKind::Request, id, w, {});
        Message answer;
        if (!ReceiveMessage(connection_, &answer)) return {};
        EXPECT_EQ(answer.header.kind, static_cast<uint16_t>(MessageKind::Answer));
        EXPECT_EQ(answer.header.id, id);
        EXPECT_EQ(answer.header.op, static_cast<uint16_t>(op));
        return answer.payload;
    }

    // Ends the connection as a machine that dies would.
    void Close() {
        std::lock_guard lock(mutex_);
        if (connection_ >= 0) shutdown(connection_, SHUT_RDWR);
    }

    std::atomic<bool> sawGoodbye{false};
    std::atomic<bool> ended{false};
    uint32_t helloVersion = 0, helloPid = 0;  // written once, before Connect returns
    std::atomic<uint32_t> lastThread{0};

  private:
    void Send(Op op, MessageKind kind, uint32_t id, const WireWriter& w, std::vector<int> fds) {
        MessageHeader h{static_cast<uint32_t>(w.Data().size()), static_cast<uint16_t>(op),
                        static_cast<uint16_t>(kind), id, 0};
        std::lock_guard lock(sendMutex_);
        const bool sent = SendMessage(connection_, h, w.Data().data(), w.Data().size(), fds.data(),
                                      static_cast<int>(fds.size()));
        (void)sent;  // a client that went away is what some tests want
    }

    void Serve() {
        const int c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        {
            std::lock_guard lock(mutex_);
            connection_ = c;
        }
        Message m;
        while (ReceiveMessage(c, &m)) {
            for (int fd : m.fds) close(fd);
            if (m.header.kind == static_cast<uint16_t>(MessageKind::Notice) &&
                m.header.op == static_cast<uint16_t>(Op::Goodbye)) {
                sawGoodbye = true;
                continue;
            }
            EXPECT_EQ(m.header.kind, static_cast<uint16_t>(MessageKind::Call));
            lastThread = m.header.thread;
            Handler handler;
            {
                std::lock_guard lock(mutex_);
                auto it = handlers_.find(m.header.op);
                if (it != handlers_.end()) handler = it->second;
            }
            if (handler) {
                handler(*this, m);
            } else {
                ADD_FAILURE() << "unexpected op " << m.header.op;
                WireWriter w;
                w.U32(87);
                Reply(m, w);
            }
        }
        ended = true;
        std::lock_guard lock(mutex_);
        close(connection_);
        connection_ = -1;
    }

    std::string folder_, path_;
    int listener_ = -1;
    int connection_ = -1;
    int arena_ = -1;
    size_t page_ = 4096;
    std::map<uint16_t, Handler> handlers_;
    std::map<uint64_t, int> events_;
    std::vector<uint64_t> closed_;
    std::wstring helloProgram_;
    uint64_t nextHandle_ = 0x100;
    uint32_t nextRequest_ = 0;
    std::mutex mutex_, sendMutex_;
    std::thread thread_;
};

}  // namespace q407::remote::testing
