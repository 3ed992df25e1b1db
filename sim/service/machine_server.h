// The emulated machine as a service: a Unix-domain socket on which client Linux processes connect,
// each connection being one emulated process whose calls run on the machine in that process.
// Handlers for the calls are looked up by op; the core Win32 ones are built in, other subsystems
// add theirs before Start. The machine runs in real time (sim::ClockMode::Real): a connection's
// workers wait for calls outside the machine clock, which would hold virtual time still.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/user/remote/wire_message.h"
#include "platform/user/remote/wire_ops.h"

namespace q407::sim {
class Process;
}

namespace q407::service {

class Connection;

// One call being run: the caller's emulated process, its connection, the client's thread id.
// Descriptors put in replyFds go with the reply (at most remote::kMaxFdsPerMessage); the
// connection closes them once sent or dropped.
struct CallContext {
    sim::Process& process;
    Connection& connection;
    uint32_t clientThread;
    std::vector<int> replyFds{};
};

using CallHandler = std::function<void(CallContext&, remote::WireReader&, remote::WireWriter&)>;

class HandlerTable {
  public:
    void Add(remote::Op op, CallHandler handler);
    const CallHandler* Find(remote::Op op) const;

  private:
    std::map<uint16_t, CallHandler> handlers_;
};

// One client Linux process, as handlers see it.
class Connection {
  public:
    virtual ~Connection() = default;
    virtual uint32_t ProcessId() const = 0;
    // False when the client is gone.
    virtual bool SendNotice(remote::Op op, const remote::WireWriter& payload) = 0;
    // Work owed when the connection ends: run newest first, inside the process, once its threads
    // have stopped and its handles are closed. The key cancels it.
    virtual void AtEnd(uintptr_t key, std::function<void()> cleanup) = 0;
    virtual void CancelAtEnd(uintptr_t key) = 0;
};

class ClientConnection;

struct MachineServerOptions {
    std::string socketPath;
};

// True when a live machine accepts connections on the path.
bool MachineAnswersOn(const std::string& socketPath);

class MachineServer {
  public:
    explicit MachineServer(MachineServerOptions options);
    ~MachineServer();  // Stop()
    MachineServer(const MachineServer&) = delete;
    MachineServer& operator=(const MachineServer&) = delete;

    HandlerTable& Handlers();  // add before Start (core handlers are built in)
    // Binds (refusing with a clear message when a live machine answers on the path; a stale
    // socket file is replaced), listens, starts accepting. False with *error.
    bool Start(std::string* error);
    // Closes the listener and every connection (their processes end, drivers clean up), removes
    // the socket file. Idempotent; callable from any thread but a connection's own.
    void Stop();
    size_t ConnectionCount() const;
    // Called (on the server's thread) when a connection ends, after its process ended.
    void OnConnectionEnded(std::function<void(uint32_t processId)> callback);

  private:
    void Serve();
    void Accept();
    void Reap(bool all);
    void Wake();

    MachineServerOptions options_;
    HandlerTable handlers_;
    int listener_ = -1;
    int wake_ = -1;  // eventfd: stop requested or a connection ended
    uint64_t socketInode_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex stopMutex_;  // serialises Stop
    bool stopped_ = false;
    mutable std::mutex mutex_;
    std::list<std::unique_ptr<ClientConnection>> connections_;
    std::function<void(uint32_t)> ended_;
};

}  // namespace q407::service
