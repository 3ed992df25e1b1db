// The client's end of the link to a machine running in another Linux process: one socket, one
// receiver thread. Calls block their own thread until the reply with their id comes back; while
// a call is in progress the machine reaches this process's memory through requests that the
// receiver serves (reads and writes of our addresses, views of the machine's pool arena mapped
// into our address space). When the machine goes away every pending and later call fails and
// GoneFd() is signalled, so nobody hangs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/remote/wire_message.h"
#include "platform/user/remote/wire_ops.h"

namespace q407::remote {

class ClientLink {
  public:
    // Connects and says Hello; on success every platform/user call of this Linux process goes to
    // the machine. False with a readable message when no machine answers on the socket (or one
    // is connected already).
    static bool Connect(const std::string& socketPath, const std::wstring& programName,
                        std::string* error);
    // Orderly: Goodbye, close, local tables freed. Threads still inside a call of the old link
    // get failures; the link object itself stays valid for them.
    static void Disconnect();
    // Null: in-process bench (or a machine thread, below).
    static ClientLink* Current();

    // Marks the calling thread as one of the machine's own for the scope: Current() answers null
    // on it, so a machine and a linked client can share one Linux process.
    class MachineThreadScope {
      public:
        MachineThreadScope();
        ~MachineThreadScope();
        MachineThreadScope(const MachineThreadScope&) = delete;
        MachineThreadScope& operator=(const MachineThreadScope&) = delete;
    };

    bool Alive() const { return alive_.load(); }
    uint32_t ProcessId() const { return processId_; }

    // One call: sends, then waits for the Reply. False when the machine is gone (then *reply is
    // empty). Descriptors that came with the reply go to *fds, or are closed when fds is null.
    bool Call(Op op, const WireWriter& request, std::vector<uint8_t>* reply,
              std::vector<int>* fds = nullptr);
    // Notices from the machine go to the handler, in order, on a thread of the link's own (not
    // the receiver, so that a handler may make calls).
    void SetNoticeHandler(Op op, std::function<void(WireReader&)> handler);
    // Runs when the link is disconnected (after the machine can no longer reach us), for the
    // local tables kept beside it.
    void AtDisconnect(std::function<void()> cleanup);
    // A manual-reset eventfd signalled when the machine goes away; remote waits include it.
    int GoneFd() const { return goneFd_; }
    // The socket this link was connected through (set before the link starts, never changed).
    const std::string& SocketPath() const { return socketPath_; }

    // Views of the arena currently mapped for the machine (tests, diagnostics).
    size_t ViewCount() const;

  private:
    explicit ClientLink(int socket);
    ~ClientLink() = delete;  // links are never destroyed: other threads may still hold one
    void Start();
    void Shutdown(bool sayGoodbye);
    void Receive();
    void DeliverNotices();
    void MarkGone();
    void ServeRequest(Message& m);
    bool Send(Op op, MessageKind kind, uint32_t id, uint32_t thread, const WireWriter& payload);

    struct Pending {
        bool done = false;
        bool ok = false;
        std::vector<uint8_t> payload;
        std::vector<int> fds;
    };
    struct View {
        uintptr_t address;
        size_t length;
    };

    int socket_;
    int goneFd_;
    std::string socketPath_;
    int arenaFd_ = -1;
    uint32_t processId_ = 0;
    std::atomic<bool> alive_{true};
    std::atomic<uint32_t> nextId_{1};

    std::mutex sendMutex_;
    mutable std::mutex mutex_;  // everything below
    std::condition_variable replied_;
    std::map<uint32_t, Pending*> pending_;
    std::vector<View> views_;
    std::map<uint16_t, std::function<void(WireReader&)>> noticeHandlers_;
    std::deque<Message> notices_;
    std::condition_variable noticeQueued_;
    bool stopping_ = false;
    std::vector<std::function<void()>> cleanups_;

    std::thread receiver_;
    std::thread noticeThread_;
};

}  // namespace q407::remote
