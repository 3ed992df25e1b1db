#include "sim/service/machine_server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "sim/host/trace_log.h"
#include "sim/service/client_connection.h"
#include "sim/service/core_handlers.h"

namespace q407::service {
namespace {

std::string SystemError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address->sun_path)) return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Creates the missing folders of the socket's directory, private to the user.
bool MakeDirectories(const std::string& path, std::string* error) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    const std::string directory = path.substr(0, slash);
    struct stat st {};
    if (::stat(directory.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        *error = directory + " is not a directory";
        return false;
    }
    size_t at = 1;
    for (;;) {
        const size_t next = directory.find('/', at);
        const std::string part = directory.substr(0, next);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = SystemError("cannot create " + part, errno);
            return false;
        }
        if (next == std::string::npos) return true;
        at = next + 1;
    }
}

// A live machine accepts a connection on the path.
bool MachineAnswers(const sockaddr_un& address) {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    const bool answers =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return answers;
}

}  // namespace

bool MachineAnswersOn(const std::string& socketPath) {
    sockaddr_un address;
    return FillAddress(socketPath, &address) && MachineAnswers(address);
}

void HandlerTable::Add(remote::Op op, CallHandler handler) {
    handlers_[static_cast<uint16_t>(op)] = std::move(handler);
}

const CallHandler* HandlerTable::Find(remote::Op op) const {
    auto it = handlers_.find(static_cast<uint16_t>(op));
    return it != handlers_.end() && it->second ? &it->second : nullptr;
}

MachineServer::MachineServer(MachineServerOptions options) : options_(std::move(options)) {
    AddCoreHandlers(handlers_);
}

MachineServer::~MachineServer() {
    Stop();
}

HandlerTable& MachineServer::Handlers() {
    return handlers_;
}

void MachineServer::OnConnectionEnded(std::function<void(uint32_t)> callback) {
    std::lock_guard lock(mutex_);
    ended_ = std::move(callback);
}

size_t MachineServer::ConnectionCount() const {
    std::lock_guard lock(mutex_);
    return connections_.size();
}

bool MachineServer::Start(std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    const std::string& path = options_.socketPath;
    if (thread_.joinable() || stopped_) {
        *error = "the machine server was started already";
        return false;
    }
    sockaddr_un address;
    if (!FillAddress(path, &address)) {
        *error = "socket path is empty or too long: " + path;
        return false;
    }
    if (!MakeDirectories(path, error)) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = path + " exists and is not a socket";
            return false;
        }
        if (MachineAnswers(address)) {
            *error = "a machine is already running on " + path;
            return false;
        }
        // Left by a machine that did not stop cleanly.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            *error = SystemError("cannot replace the stale socket " + path, errno);
            return false;
        }
    }
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        *error = SystemError("socket", errno);
        return false;
    }
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = errno == EADDRINUSE ? "a machine is already running on " + path
                                     : SystemError("cannot bind " + path, errno);
        ::close(listener_);
        listener_ = -1;
        return false;
    }
    if (::chmod(path.c_str(), 0600) != 0 || ::lstat(path.c_str(), &st) != 0 ||
        ::listen(listener_, 16) != 0) {
        *error = SystemError("cannot listen on " + path, errno);
        ::unlink(path.c_str());
        ::close(listener_);
        listener_ = -1;
        return false;
    }
    socketInode_ = st.st_ino;
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        *error = SystemError("eventfd", errno);
        ::unlink(path.c_str());
        ::close(listener_);
        listener_ = -1;
        return false;
    }
    sim::TraceLog::Instance().AppendUser("machine: listening on " + path);
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void MachineServer::Wake() {
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);  // the counter cannot overflow at one per event
}

void MachineServer::Stop() {
    std::lock_guard stopLock(stopMutex_);
    if (stopped_) return;
    stopped_ = true;
    if (!thread_.joinable()) return;
    stopping_.store(true);
    Wake();
    thread_.join();
    ::close(wake_);
    wake_ = -1;
}

void MachineServer::Serve() {
    while (!stopping_.load()) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            uint64_t count;
            (void)!::read(wake_, &count, sizeof count);  // drained; the state is re-read below
        }
        Reap(false);
        if ((fds[0].revents & POLLIN) != 0) Accept();
    }
    // Stopping: no new clients, the socket goes, every connection ends with its process.
    ::close(listener_);
    listener_ = -1;
    struct stat st {};
    if (::lstat(options_.socketPath.c_str(), &st) == 0 && st.st_ino == socketInode_)
        ::unlink(options_.socketPath.c_str());
    {
        std::lock_guard lock(mutex_);
        for (auto& connection : connections_) connection->Close();
    }
    Reap(true);
    sim::TraceLog::Instance().AppendUser("machine: stopped listening on " + options_.socketPath);
}

void MachineServer::Accept() {
    const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) {
        // Out of descriptors the client stays queued and the listener readable: pause rather
        // than spin until a connection ends. Any other failure was the client's (it gave up).
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
    }
    auto connection = std::make_unique<ClientConnection>(socket, handlers_, [this] { Wake(); });
    ClientConnection* started = connection.get();
    {
        std::lock_guard lock(mutex_);
        connections_.push_back(std::move(connection));
    }
    started->Start();
}

void MachineServer::Reap(bool all) {
    for (;;) {
        std::unique_ptr<ClientConnection> ended;
        std::function<void(uint32_t)> callback;
        {
            std::lock_guard lock(mutex_);
            for (auto it = connections_.begin(); it != connections_.end(); ++it) {
                if (all || (*it)->Finished()) {
                    ended = std::move(*it);
                    connections_.erase(it);
                    break;
                }
            }
            callback = ended_;
        }
        if (ended == nullptr) return;
        ended->Join();
        const uint32_t processId = ended->ProcessId();
        ended.reset();
        if (callback && processId != 0) callback(processId);
    }
}

}  // namespace q407::service
