// Hostile bytes on a client's socket: the framing reads them into messages (or refuses them)
// without reading past what arrived, and the decoder on each payload never overruns; every value
// it accepts re-encodes to exactly the bytes it consumed.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/user/remote/wire_message.h"

namespace {

using q407::fuzzing::Check;
using q407::remote::Message;
using q407::remote::WireReader;
using q407::remote::WireWriter;

// Reads the payload as a sequence of typed values whose kinds come from the payload's own
// bytes; checks the zero-after-failure rule and the re-encoding of what was accepted.
void Decode(const std::vector<uint8_t>& payload) {
    WireReader r(payload.data(), payload.size());
    WireWriter again;
    size_t accepted = 0;  // bytes the re-encoding covers while everything read was Ok
    for (int step = 0; step < 64 && !r.AtEnd(); ++step) {
        const uint8_t kind = r.U8();
        if (!r.Ok()) break;
        again.U8(kind);
        switch (kind % 9) {
            case 0:
                again.U16(r.U16());
                break;
            case 1:
                again.U32(r.U32());
                break;
            case 2:
                again.U64(r.U64());
                break;
            case 3:
                again.I64(r.I64());
                break;
            case 4: {
                auto b = r.Bytes(4096);
                again.Bytes(b.data(), b.size());
                break;
            }
            case 5:
                again.WString(r.WString(512));
                break;
            case 6:
                again.String(r.String(4096));
                break;
            case 7:
                again.Guid(r.Guid());
                break;
            default:
                again.U8(r.U8());
                break;
        }
        if (!r.Ok()) break;
        accepted = again.Data().size();
    }
    Check(accepted <= payload.size());
    // An empty payload has no storage to compare.
    Check(accepted == 0 || std::memcmp(again.Data().data(), payload.data(), accepted) == 0);
    if (!r.Ok()) {
        Check(!r.AtEnd());
        Check(r.U64() == 0 && r.Bytes().empty() && r.WString().empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    // Inputs stay far below the socket's buffer, so one write takes them all.
    size_t written = 0;
    while (written < size) {
        ssize_t n = write(fds[0], data + written, size - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    close(fds[0]);
    size_t consumed = 0;
    Message m;
    while (q407::remote::ReceiveMessage(fds[1], &m)) {
        Check(m.header.payloadLength <= q407::remote::kMaxPayload);
        Check(m.payload.size() == m.header.payloadLength);
        Check(m.fds.empty());
        consumed += 16 + m.payload.size();
        Check(consumed <= written);
        Decode(m.payload);
    }
    Check(m.fds.empty());
    close(fds[1]);
    return 0;
}
