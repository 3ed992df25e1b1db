// The device-control dispatch of a started Q407DRV, driven from an emulated client process:
// each input is a short sequence of requests of 0 to 256 bytes with arbitrary contents, whose
// address and handle fields point at fuzzed places in a guarded client page, into kernel memory,
// at unmapped addresses, at real handles of the process or anywhere at all.
//
// Properties: nothing crashes (a bad address fails the request, the verifier and the sanitizers
// watch the rest); the driver never touches memory outside the client page (it is fenced by
// inaccessible pages, so a stray access fails instead of landing in neighbouring memory); and
// when the process ends, no mapping, shared buffer, event reference or pool allocation of the
// control side is left.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "shared/control_message.h"
#include "shared/device_interface.h"
#include "sim/host/device_interfaces.h"
#include "sim/host/pool.h"
#include "sim/host/process.h"
#include "tools/device_rig.h"
#include "usbdriver/control/client_attachment.h"
#include "usbdriver/control/device_facade.h"

// Kernel objects live in the pool's shared mapping, which the leak checker does not scan, so it
// would call everything they point to lost; pool leaks are checked by tag instead.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0";
}

namespace {

using q407::fuzzing::Check;
using q407::fuzzing::Input;

constexpr size_t kPage = 4096;
constexpr int kMaxRequests = 8;
constexpr uint32_t kAddressFields[] = {16, 24, 32, 48, 72, 80, 104};

struct Bench {
    q407::tools::DeviceRig rig;
    uint8_t* page = nullptr;  // one accessible page between two inaccessible ones
    std::wstring path;
};

Bench& TheBench() {
    static Bench* bench = [] {
        q407::sim::Pool::PoisonOverreads(true);
        static Bench b;
        std::string error;
        if (!q407::tools::StartDeviceWithSettings(b.rig, q407::DefaultMixerSettings(), &error))
            __builtin_trap();
        void* area = mmap(nullptr, 3 * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED) __builtin_trap();
        b.page = static_cast<uint8_t*>(area) + kPage;
        if (mprotect(b.page, kPage, PROT_READ | PROT_WRITE) != 0) __builtin_trap();
        GUID guid{};
        guid.Data1 = q407::GUID_DEVINTERFACE_Q407.Data1;
        guid.Data2 = q407::GUID_DEVINTERFACE_Q407.Data2;
        guid.Data3 = q407::GUID_DEVINTERFACE_Q407.Data3;
        for (int i = 0; i < 8; ++i) guid.Data4[i] = q407::GUID_DEVINTERFACE_Q407.Data4[i];
        const auto links = q407::sim::EnabledDeviceInterfaces(guid);
        if (links.empty()) __builtin_trap();
        b.path = links.front();
        return &b;
    }();
    return *bench;
}

struct Handles {
    HANDLE device;
    HANDLE event;
    uint64_t key;  // the last mapping key the driver handed out
};

uint64_t PickValue(Input& in, const Bench& bench, const Handles& handles) {
    const uint8_t kind = in.Byte();
    switch (kind % 9) {
        case 0:
            return 0;
        case 1:
        case 2:  // inside the client page or just past it (into the fence)
            return reinterpret_cast<uint64_t>(bench.page) + in.Word() % (2 * kPage);
        case 3:
            return reinterpret_cast<uint64_t>(bench.rig.Facade()->statusBlock) + in.Byte();
        case 4:
            return reinterpret_cast<uint64_t>(handles.event);
        case 5:
            return reinterpret_cast<uint64_t>(handles.device);
        case 6:
            return handles.key + in.Byte();
        // Low addresses and addresses with the top bit set are never mapped in this process.
        // Other arbitrary values could land in the sanitizer's own shadow memory, which a
        // client write through a valid address would corrupt (the bench's clients share one
        // address space), so they stay out of the picks.
        case 7:
            return in.Word() & 0x0FFFFFFFu;
        default:
            return in.Quad() | 0x8000000000000000ull;
    }
}

size_t OutstandingAllocations(ULONG tag) {
    return q407::sim::Pool::Usage(tag).allocations;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bench& bench = TheBench();
    Input in(data, size);
    const size_t mdlsBefore = OutstandingAllocations(POOL_TAG("Mdl "));
    const size_t eventsBefore = OutstandingAllocations(POOL_TAG("Even"));
    {
        q407::sim::Process client("fuzz client");
        q407::sim::Process::Scope scope(client);
        Handles handles{};
        if (client.OpenDevice(bench.path, &handles.device) != STATUS_SUCCESS) __builtin_trap();
        handles.event = client.CreateEvent(in.Byte() & 1, false);
        // The client page's contents come from one seed word: the input stays short.
        uint32_t fill = in.Word() | 1u;
        for (size_t i = 0; i < kPage; ++i) {
            fill ^= fill << 13;
            fill ^= fill >> 17;
            fill ^= fill << 5;
            bench.page[i] = static_cast<uint8_t>(fill);
        }

        for (int r = 0; r < kMaxRequests && !in.Empty(); ++r) {
            const uint32_t length = in.Word() % 257;
            std::vector<uint8_t> message(length);
            for (auto& b : message) b = in.Byte();
            if (length >= q407::kControlMessageSize) {
                // Classes 1..3 most of the time, with types in their ranges.
                if (in.Byte() % 4 != 0) {
                    const uint32_t cls = 1 + in.Byte() % 3;
                    const uint32_t type = in.Byte() % 24;
                    std::memcpy(&message[0], &cls, 4);
                    std::memcpy(&message[8], &type, 4);
                }
                const uint8_t which = in.Byte();
                for (size_t f = 0; f < std::size(kAddressFields); ++f) {
                    if ((which >> f) & 1) {
                        const uint64_t value = PickValue(in, bench, handles);
                        std::memcpy(&message[kAddressFields[f]], &value, 8);
                    }
                }
            }
            ULONG returned = 0;
            const NTSTATUS status =
                client.DeviceIoControl(handles.device, q407::IOCTL_Q407_CONTROL_MESSAGE,
                                       message.data(), length, message.data(), length, &returned);
            // Short messages are refused before any field is read; the length never grows.
            if (length < q407::kControlMessageSize) Check(status == STATUS_INVALID_PARAMETER);
            Check(returned <= length);
            if (status == STATUS_SUCCESS && length >= q407::kControlMessageSize) {
                uint32_t cls = 0, type = 0;
                std::memcpy(&cls, &message[0], 4);
                std::memcpy(&type, &message[8], 4);
                if ((cls == 2 && type == 14) || (cls == 3 && type == 3))
                    std::memcpy(&handles.key, &message[32], 8);
            }
        }
        client.End();
    }
    // The process is gone: everything it was given has been released.
    q407::DeviceFacade* facade = bench.rig.Facade();
    Check(facade != nullptr);
    Check(q407::SharedBufferCount() == 0);
    Check(facade->panelMappingMdl == nullptr && facade->asioMappingMdl == nullptr);
    for (PKEVENT slot : facade->eventSlots) Check(slot == nullptr);
    Check(OutstandingAllocations(POOL_TAG("Zel2")) == 0);
    Check(OutstandingAllocations(POOL_TAG("Mdl ")) == mdlsBefore);
    Check(OutstandingAllocations(POOL_TAG("Even")) == eventsBefore);
    return 0;
}
