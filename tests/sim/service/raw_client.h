// A client speaking the machine's protocol straight on the socket, without the client library:
// it sends exactly what a test builds (malformed messages too) and serves the machine's requests
// about its memory from this process's own memory, as a real client does from its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/user/remote/wire_message.h"
#include "platform/user/remote/wire_ops.h"

namespace q407::service::testing {

class RawClient {
  public:
    explicit RawClient(const std::string& socketPath);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return socket_ >= 0; }
    int Socket() const { return socket_; }
    int ArenaFd() const { return arena_; }

    // Hello with this program name: the emulated process's id, 0 when refused.
    uint32_t Hello(const std::wstring& program, uint32_t version = 1);
    // One call; the machine's requests are served until its reply comes. False when the
    // connection ends first.
    bool Call(remote::Op op, const remote::WireWriter& request, std::vector<uint8_t>* reply,
              std::vector<int>* fds = nullptr, uint32_t thread = 1);
    bool Send(remote::MessageKind kind, uint16_t op, uint32_t id,
              const std::vector<uint8_t>& payload, uint32_t thread = 1);
    bool SendBytes(const void* data, size_t length);
    // True when the machine closes the connection within a few seconds.
    bool ClosedByMachine();
    void Disconnect();

    // Sees each request before it is served; false: the client drops the connection instead.
    std::function<bool(const remote::Message&)> beforeRequest;
    int requestsServed = 0;

  private:
    bool Serve(const remote::Message& request);

    int socket_ = -1;
    int arena_ = -1;
    std::vector<std::pair<void*, size_t>> views_;
};

}  // namespace q407::service::testing
