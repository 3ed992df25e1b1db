// The framing and encoding that a client process and the machine speak over their Unix-domain
// socket. Every message is a fixed 16-byte header and a payload; file descriptors (the arena, event
// state) ride along as SCM_RIGHTS. Everything read off the socket is untrusted: the header is
// checked against the limits before any payload is read, and WireReader never reads past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/user/bench_win32.h"  // GUID

namespace q407::remote {

enum class MessageKind : uint16_t { Call = 0, Reply = 1, Request = 2, Answer = 3, Notice = 4 };
// Call: client -> machine, answered by Reply with the same id.
// Request: machine -> client while one of the client's calls is in progress (memory, mapping),
//          answered by Answer with the same id. Notice: either way, no answer.

struct MessageHeader {       // little-endian on the wire
    uint32_t payloadLength;  // bytes after the header, at most kMaxPayload
    uint16_t op;             // an Op
    uint16_t kind;           // a MessageKind
    uint32_t id;             // call id (client-chosen) or request id (machine-chosen)
    uint32_t thread;         // Call: the client's thread (gettid); else 0
};
static_assert(sizeof(MessageHeader) == 16);
static_assert(offsetof(MessageHeader, payloadLength) == 0);
static_assert(offsetof(MessageHeader, op) == 4);
static_assert(offsetof(MessageHeader, kind) == 6);
static_assert(offsetof(MessageHeader, id) == 8);
static_assert(offsetof(MessageHeader, thread) == 12);

inline constexpr uint32_t kMaxPayload = 16u << 20;
inline constexpr int kMaxFdsPerMessage = 4;

struct Message {
    MessageHeader header{};
    std::vector<uint8_t> payload;
    std::vector<int> fds;  // owned by the receiver
};

// Blocking, whole-message I/O; fds travel as SCM_RIGHTS (the sender keeps its own). Send refuses
// a payload over kMaxPayload or more than kMaxFdsPerMessage fds. Receive returns false on EOF, on
// a header that breaks the limits (length, kind), on more fds than allowed, or on any error; it
// closes fds it received before failing.
bool SendMessage(int socket, const MessageHeader& h, const uint8_t* payload, size_t n,
                 const int* fds = nullptr, int fdCount = 0);
bool ReceiveMessage(int socket, Message* out);

// Little-endian encoder.
class WireWriter {
  public:
    WireWriter& U8(uint8_t v);
    WireWriter& U16(uint16_t v);
    WireWriter& U32(uint32_t v);
    WireWriter& U64(uint64_t v);
    WireWriter& I64(int64_t v);
    WireWriter& Bytes(const void* p, size_t n);  // U32 length, then the bytes
    WireWriter& WString(const std::wstring& s);  // U32 count of UTF-16 units, then them
    WireWriter& String(const std::string& s);    // U32 length, UTF-8 bytes
    WireWriter& Guid(const GUID& g);             // 16 bytes as the record lays them out
    const std::vector<uint8_t>& Data() const { return data_; }

  private:
    std::vector<uint8_t> data_;
};

// Bounds-checked decoder: any overrun (or a length over the caller's limit) sets !Ok(), and from
// then on every read yields zeros or empty values.
class WireReader {
  public:
    WireReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    uint64_t U64();
    int64_t I64();
    std::vector<uint8_t> Bytes(size_t maxLength = kMaxPayload);
    std::wstring WString(size_t maxUnits = 32768);
    std::string String(size_t max = 1 << 20);
    GUID Guid();
    bool Ok() const { return ok_; }
    bool AtEnd() const { return ok_ && pos_ == n_; }

  private:
    // The next n bytes, or null (and !Ok()) when fewer remain.
    const uint8_t* Take(size_t n);
    uint64_t Little(size_t n);

    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace q407::remote
