// One client Linux process on the machine: the socket, the emulated process named after the
// client's program, a reader thread that takes the client's messages, and per client thread a
// worker (an emulated thread of the process) that runs that thread's calls in order. While a call
// runs, the machine reaches the client's memory through requests on the same socket; the reader
// thread routes their answers. The connection ends on end of file, a goodbye or any breach of the
// protocol; its process then ends, so the drivers' cleanup runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/remote/wire_message.h"
#include "platform/user/remote/wire_ops.h"
#include "sim/service/machine_server.h"

namespace q407::sim {
class Process;
}

namespace q407::service {

// Limits a client cannot exceed: threads with calls in progress at once (idle workers serve new
// client threads), and calls queued but not yet run.
inline constexpr size_t kMaxWorkersPerConnection = 64;
inline constexpr size_t kMaxQueuedCalls = 256;
// How long the machine waits for the client to answer a request about its memory.
inline constexpr int kRequestTimeoutMs = 10'000;

struct CallWindow;
class ConnectionAddressSpace;

// For the scope of one device I/O control on the calling thread: reads of the client's input
// range come from the copy that arrived with the call, and writes into its output range are
// collected for the reply instead of travelling as requests.
class CallWindowScope {
  public:
    CallWindowScope(const Connection& connection, uintptr_t inAddress, std::vector<uint8_t> input,
                    uintptr_t outAddress, size_t outLength);
    ~CallWindowScope();
    CallWindowScope(const CallWindowScope&) = delete;
    CallWindowScope& operator=(const CallWindowScope&) = delete;
    // What was written into the output range: its first bytes, as far as anything was written.
    const std::vector<uint8_t>& Output() const;

  private:
    CallWindow* window_;
    CallWindow* previous_;
};

class ClientConnection final : public Connection {
  public:
    // Takes the socket. ended runs on the reader thread once the process has ended.
    ClientConnection(int socket, const HandlerTable& handlers, std::function<void()> ended);
    // Closes the connection and waits for its end.
    ~ClientConnection() override;
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    void Start();
    // Ends the connection from outside (machine stop): the reader sees end of file.
    void Close();
    bool Finished() const;
    // Joins the reader thread (after Finished, or after Close to wait for the end).
    void Join();

    uint32_t ProcessId() const override;
    bool SendNotice(remote::Op op, const remote::WireWriter& payload) override;
    void AtEnd(uintptr_t key, std::function<void()> cleanup) override;
    void CancelAtEnd(uintptr_t key) override;

    // A request to the client about its memory while one of its calls runs: false when the
    // client is gone, does not answer in time or answers with a malformed payload.
    bool Request(remote::Op op, const remote::WireWriter& payload, std::vector<uint8_t>* answer);
    bool Gone() const;

  private:
    struct Call {
        remote::MessageHeader header;
        std::vector<uint8_t> payload;
    };
    // An emulated thread of the process running one client thread's calls in order.
    struct Worker {
        uint32_t clientThread = 0;
        bool running = true;  // a call (or the thread's start) is in progress
        std::deque<Call> calls;
    };
    struct Pending {
        bool answered = false;
        std::vector<uint8_t> payload;
    };

    void ReadLoop();
    bool Dispatch(remote::Message& message);
    bool Hello(const remote::Message& message);
    bool Enqueue(remote::Message& message);
    void WorkerLoop(Worker& worker);
    void RunCall(const Call& call);
    bool SendReply(const remote::MessageHeader& call, const std::vector<uint8_t>& payload,
                   const std::vector<int>& fds);
    bool SendError(const remote::MessageHeader& call, uint32_t error);
    bool Send(const remote::MessageHeader& header, const std::vector<uint8_t>& payload,
              const std::vector<int>& fds);
    void MarkGone();
    void EndProcess();

    int socket_;
    const HandlerTable& handlers_;
    std::function<void()> ended_;
    std::thread reader_;
    std::atomic<bool> finished_{false};

    std::mutex sendMutex_;

    mutable std::mutex mutex_;  // everything below
    std::condition_variable changed_;
    bool gone_ = false;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::map<uint32_t, Worker*> byThread_;
    size_t queued_ = 0;
    uint32_t nextRequest_ = 1;
    std::map<uint32_t, Pending> pending_;
    std::vector<std::pair<uintptr_t, std::function<void()>>> atEnd_;
    uint32_t processId_ = 0;
    std::shared_ptr<ConnectionAddressSpace> space_;

    std::unique_ptr<sim::Process> process_;  // last: it ends before the rest goes
};

}  // namespace q407::service
