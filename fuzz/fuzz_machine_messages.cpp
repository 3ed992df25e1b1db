// Hostile message streams on a client's connection to the machine: well-framed calls with fuzzed
// fields, raw headers of any kind and op, payloads cut short, headers over the size limit and
// plain junk, from one or two client threads, with or without a hello first.
//
// Properties: the machine never crashes (the verifier and the sanitizers watch); the connection
// always ends, once the client's end closes if not before; and when it has ended, its process
// left nothing behind: no pool allocation and no descriptor more than before the input.
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "platform/user/bench_win32.h"
#include "platform/user/remote/wire_message.h"
#include "platform/user/remote/wire_ops.h"
#include "shared/device_interface.h"
#include "sim/host/machine.h"
#include "sim/host/pool.h"
#include "sim/service/audio_handlers.h"
#include "sim/service/client_connection.h"
#include "sim/service/core_handlers.h"
#include "sim/service/window_registry.h"

// Kernel objects live in the pool's shared mapping, which the leak checker does not scan, so it
// would call everything they point to lost; pool leaks are checked by tag instead.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}

namespace {

using q407::fuzzing::Check;
using q407::fuzzing::Input;
using q407::remote::MessageHeader;
using q407::remote::MessageKind;
using q407::remote::Op;
using q407::remote::WireWriter;

constexpr int kMaxMessages = 48;

const Op kServedOps[] = {Op::Hello,
                         Op::GetClassDevs,
                         Op::CreateFile,
                         Op::DeviceIoControl,
                         Op::CloseHandle,
                         Op::CreateEvent,
                         Op::RegisterDeviceNotification,
                         Op::UnregisterDeviceNotification,
                         Op::TakeDeviceChange,
                         Op::Goodbye,
                         Op::RegisterWindow,
                         Op::UnregisterWindow,
                         Op::FindWindow,
                         Op::PostMessage,
                         Op::SetForegroundWindow,
                         Op::AudioListSubdevices,
                         Op::AudioListMixerLines,
                         Op::AudioSetMute,
                         Op::AudioGetMute,
                         Op::WavePinOpen,
                         Op::WavePinSetState,
                         Op::WavePinWrite,
                         Op::WavePinRead,
                         Op::WavePinQueued,
                         Op::WavePinPosition,
                         Op::WavePinClose,
                         Op::MidiPortOpen,
                         Op::MidiPortSend,
                         Op::MidiPortReceive,
                         Op::MidiPortClose};

struct Bench {
    q407::sim::Machine machine{q407::sim::ClockMode::Real};
    q407::service::HandlerTable handlers;
};

Bench& TheBench() {
    static Bench* bench = [] {
        auto* b = new Bench();
        q407::service::AddCoreHandlers(b->handlers);
        q407::service::AddAudioHandlers(b->handlers);
        q407::service::AddWindowHandlers(b->handlers);
        return b;
    }();
    return *bench;
}

size_t OpenDescriptors() {
    size_t n = 0;
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr) return 0;
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
    return n;
}

size_t PoolAllocations() {
    size_t n = 0;
    for (const auto& usage : q407::sim::Pool::Outstanding()) n += usage.allocations;
    return n;
}

// Handle-like values: the small numbers a process table hands out, or anything.
uint64_t HandleValue(Input& in) {
    const uint8_t pick = in.Byte();
    return (pick & 0x80) != 0 ? in.Quad() : static_cast<uint64_t>(pick & 0x1F) * 4;
}

std::wstring ShortString(Input& in) {
    std::wstring s;
    const uint8_t n = in.Byte() % 24;
    for (uint8_t i = 0; i < n; ++i) s += static_cast<wchar_t>(in.Byte());
    return s;
}

// A payload laid out as the op expects, its values from the input.
std::vector<uint8_t> StructuredPayload(Op op, Input& in) {
    WireWriter w;
    switch (op) {
        case Op::Hello:
            w.U32(in.Byte() < 0xF0 ? 1u : in.Word()).U32(in.Word()).WString(ShortString(in));
            break;
        case Op::GetClassDevs: {
            GUID guid{};
            if ((in.Byte() & 1) != 0) {
                guid.Data1 = q407::GUID_DEVINTERFACE_Q407.Data1;
                guid.Data2 = q407::GUID_DEVINTERFACE_Q407.Data2;
                guid.Data3 = q407::GUID_DEVINTERFACE_Q407.Data3;
                for (int i = 0; i < 8; ++i) guid.Data4[i] = q407::GUID_DEVINTERFACE_Q407.Data4[i];
            } else {
                guid.Data1 = in.Word();
            }
            w.Guid(guid).U32(in.Byte());
            break;
        }
        case Op::CreateFile:
            w.WString(ShortString(in)).U32(in.Word()).U32(in.Word()).U32(in.Byte()).U32(in.Word());
            break;
        case Op::DeviceIoControl: {
            const uint32_t inLength = in.Byte();
            std::vector<uint8_t> copy(in.Byte() % 2 == 0 ? inLength : inLength / 2);
            for (auto& b : copy) b = in.Byte();
            w.U64(HandleValue(in)).U32(in.Word()).U64(in.Quad()).U32(inLength);
            w.Bytes(copy.data(), copy.size()).U64(in.Quad()).U32(in.Word());
            break;
        }
        case Op::CloseHandle:
        case Op::UnregisterDeviceNotification:
            w.U64(HandleValue(in));
            break;
        case Op::CreateEvent:
            w.U32(in.Byte() & 1).U32(in.Byte() & 1);
            break;
        case Op::RegisterDeviceNotification: {
            q407::win32::DEV_BROADCAST_DEVICEINTERFACE_W filter{};
            filter.dbcc_size = (in.Byte() & 1) != 0 ? sizeof filter : in.Word();
            filter.dbcc_devicetype =
                (in.Byte() & 1) != 0 ? q407::win32::DBT_DEVTYP_DEVICEINTERFACE : in.Byte();
            filter.dbcc_classguid.Data1 = in.Word();
            const size_t length = (in.Byte() & 1) != 0 ? sizeof filter : in.Byte() % 40;
            std::vector<uint8_t> bytes(length);
            for (size_t i = 0; i < length; ++i)
                bytes[i] = i < sizeof filter ? reinterpret_cast<const uint8_t*>(&filter)[i] : 0;
            w.Bytes(bytes.data(), bytes.size()).U64(HandleValue(in)).U32(in.Byte() % 8);
            break;
        }
        case Op::TakeDeviceChange:
            w.U64(HandleValue(in)).U32(in.Word() % 4096);
            break;
        default:
            break;
    }
    std::vector<uint8_t> payload = w.Data();
    // Sometimes a byte more or less than the layout.
    const uint8_t trim = in.Byte();
    if (trim == 1 && !payload.empty()) payload.pop_back();
    if (trim == 2) payload.push_back(in.Byte());
    return payload;
}

bool SendHeader(int s, uint16_t op, MessageKind kind, uint32_t id, uint32_t thread,
                const std::vector<uint8_t>& payload) {
    MessageHeader h{};
    h.payloadLength = static_cast<uint32_t>(payload.size());
    h.op = op;
    h.kind = static_cast<uint16_t>(kind);
    h.id = id;
    h.thread = thread;
    return q407::remote::SendMessage(s, h, payload.data(), payload.size());
}

bool SendRaw(int s, const void* p, size_t n) {
    return ::send(s, p, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}

// Writes the input's messages; false once the stream was cut (nothing more may follow).
void Feed(int s, Input& in) {
    const uint8_t flags = in.Byte();
    uint32_t id = 1;
    if ((flags & 1) != 0) {
        WireWriter hello;
        hello.U32(q407::remote::kProtocolVersion).U32(1).WString(L"fuzz");
        if (!SendHeader(s, static_cast<uint16_t>(Op::Hello), MessageKind::Call, id++, 1,
                        hello.Data()))
            return;
    }
    for (int i = 0; i < kMaxMessages && !in.Empty(); ++i) {
        const uint8_t what = in.Byte() % 8;
        const uint32_t thread = 1 + (in.Byte() & 1);
        bool sent = true;
        if (what <= 3) {
            const Op op = kServedOps[in.Byte() % std::size(kServedOps)];
            const MessageKind kind = op == Op::Goodbye ? MessageKind::Notice : MessageKind::Call;
            sent = SendHeader(s, static_cast<uint16_t>(op), kind, id++, thread,
                              StructuredPayload(op, in));
        } else if (what == 4) {
            const auto op = static_cast<uint16_t>(in.Word());
            const auto kind = static_cast<MessageKind>(in.Byte() % 6);
            const uint32_t messageId = in.Word();
            std::vector<uint8_t> payload(in.Byte());
            for (auto& b : payload) b = in.Byte();
            sent = SendHeader(s, op, kind, messageId, thread, payload);
        } else if (what == 5 || what == 6) {
            // A header promising more than follows (or more than the limit), then the end.
            MessageHeader h{};
            h.payloadLength =
                what == 5 ? 1u + in.Byte() : q407::remote::kMaxPayload + 1 + in.Word();
            h.op = static_cast<uint16_t>(kServedOps[in.Byte() % std::size(kServedOps)]);
            h.kind = static_cast<uint16_t>(MessageKind::Call);
            h.id = id++;
            h.thread = thread;
            std::vector<uint8_t> part(h.payloadLength <= 256 ? h.payloadLength / 2 : 8);
            for (auto& b : part) b = in.Byte();
            (void)(SendRaw(s, &h, sizeof h) && SendRaw(s, part.data(), part.size()));
            return;
        } else {
            std::vector<uint8_t> junk(1 + in.Byte() % 64);
            for (auto& b : junk) b = in.Byte();
            sent = SendRaw(s, junk.data(), junk.size());
        }
        if (!sent) return;
    }
    if ((flags & 2) != 0)
        (void)SendHeader(s, static_cast<uint16_t>(Op::Goodbye), MessageKind::Notice, 0, 0, {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bench& bench = TheBench();
    const size_t descriptorsBefore = OpenDescriptors();
    const size_t poolBefore = PoolAllocations();
    int ends[2];
    Check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    // Room for every reply an input can cause, so that the machine never waits for the client
    // to read while the client is still writing.
    const int room = 4 << 20;
    Check(::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room) == 0);
    Check(::setsockopt(ends[1], SOL_SOCKET, SO_RCVBUF, &room, sizeof room) == 0);
    {
        q407::service::ClientConnection connection(ends[0], bench.handlers, nullptr);
        connection.Start();
        Input in(data, size);
        Feed(ends[1], in);
        ::shutdown(ends[1], SHUT_WR);
        // Everything the machine sent until it closed its end: descriptors handed to the client
        // are the client's to close.
        q407::remote::Message m;
        while (q407::remote::ReceiveMessage(ends[1], &m))
            for (int fd : m.fds) ::close(fd);
        connection.Join();
        Check(connection.Finished());
    }
    ::close(ends[1]);
    // A worker's thread object goes with the thread's own last reference, a moment after the
    // process saw it end.
    for (int i = 0; i < 100'000 && PoolAllocations() != poolBefore; ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(10));
    Check(PoolAllocations() == poolBefore);
    Check(OpenDescriptors() == descriptorsBefore);
    return 0;
}
