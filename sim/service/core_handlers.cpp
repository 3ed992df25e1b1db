#include "sim/service/core_handlers.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/wdk.h"
#include "platform/user/bench_win32.h"
#include "sim/host/event_mirror.h"
#include "sim/host/process.h"
#include "sim/service/client_connection.h"

namespace q407::service {
namespace {

using remote::Op;
using remote::WireReader;
using remote::WireWriter;

// A device-change record is a header, a GUID and a path of at most 32767 units.
constexpr size_t kMaxDeviceChangeRecord = 1u << 17;

void* AsPointer(uint64_t value) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(value));
}

uint64_t AsValue(const void* pointer) {
    return reinterpret_cast<uintptr_t>(pointer);
}

// The payload was read in full and nothing trails it; otherwise the call answers as a bad
// parameter and does nothing.
bool Complete(const WireReader& in, WireWriter& out) {
    if (in.AtEnd()) return true;
    out.U32(win32::ERROR_INVALID_PARAMETER);
    return false;
}

// Gives the client an eventfd that carries the state of the event behind handle (in the calling
// process): the driver's KeSetEvent then wakes the client directly. -1 when that fails.
int MirrorEvent(HANDLE handle) {
    PVOID object = nullptr;
    if (ObReferenceObjectByHandle(handle, 0, *ExEventObjectType, UserMode, &object, nullptr) < 0)
        return -1;
    // The mirror moves the event's state so far into the eventfd.
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd >= 0 && !MirrorEventToFd(static_cast<PKEVENT>(object), fd)) {
        ::close(fd);
        fd = -1;
    }
    ObDereferenceObject(object);
    return fd;
}

void GetClassDevs(CallContext&, WireReader& in, WireWriter& out) {
    const GUID guid = in.Guid();
    const uint32_t flags = in.U32();
    if (!Complete(in, out)) return;
    win32::HDEVINFO set = win32::SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags);
    if (set == win32::INVALID_HANDLE_VALUE) {
        out.U32(win32::GetLastError());
        return;
    }
    std::vector<std::wstring> paths;
    for (win32::DWORD i = 0;; ++i) {
        win32::SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!win32::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data)) break;
        win32::DWORD required = 0;
        (void)win32::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        std::vector<win32::DWORD> storage((required + sizeof(win32::DWORD) - 1) /
                                          sizeof(win32::DWORD));
        auto* detail = reinterpret_cast<win32::PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
        detail->cbSize = sizeof(win32::SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (win32::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    (void)win32::SetupDiDestroyDeviceInfoList(set);  // a set of ours: cannot fail
    out.U32(win32::ERROR_SUCCESS).U32(static_cast<uint32_t>(paths.size()));
    for (const std::wstring& path : paths) out.WString(path);
}

void CreateFile(CallContext&, WireReader& in, WireWriter& out) {
    const std::wstring path = in.WString();
    const uint32_t access = in.U32();
    const uint32_t share = in.U32();
    const uint32_t disposition = in.U32();
    const uint32_t flags = in.U32();
    if (!Complete(in, out)) return;
    HANDLE handle =
        win32::CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (handle == win32::INVALID_HANDLE_VALUE) {
        out.U32(win32::GetLastError()).U64(0);
        return;
    }
    out.U32(win32::ERROR_SUCCESS).U64(AsValue(handle));
}

void DeviceIoControl(CallContext& call, WireReader& in, WireWriter& out) {
    const uint64_t handle = in.U64();
    const uint32_t code = in.U32();
    const uint64_t inAddress = in.U64();
    const uint32_t inLength = in.U32();
    std::vector<uint8_t> input = in.Bytes(inLength);
    const uint64_t outAddress = in.U64();
    const uint32_t outLength = in.U32();
    if (!Complete(in, out)) return;
    // The copy is the input; the output has to fit in the reply.
    if (input.size() != inLength || (inLength != 0 && inAddress == 0) ||
        (outLength != 0 && outAddress == 0) || outLength > remote::kMaxPayload - 64) {
        out.U32(win32::ERROR_INVALID_PARAMETER).U32(0).Bytes(nullptr, 0);
        return;
    }
    CallWindowScope window(call.connection, static_cast<uintptr_t>(inAddress), std::move(input),
                           static_cast<uintptr_t>(outAddress), outLength);
    win32::DWORD returned = 0;
    const win32::BOOL ok =
        win32::DeviceIoControl(AsPointer(handle), code, AsPointer(inAddress), inLength,
                               AsPointer(outAddress), outLength, &returned, nullptr);
    out.U32(ok ? win32::ERROR_SUCCESS : win32::GetLastError()).U32(returned);
    out.Bytes(window.Output().data(), window.Output().size());
}

void CloseHandle(CallContext&, WireReader& in, WireWriter& out) {
    const uint64_t handle = in.U64();
    if (!Complete(in, out)) return;
    out.U32(win32::CloseHandle(AsPointer(handle)) ? win32::ERROR_SUCCESS : win32::GetLastError());
}

void CreateEvent(CallContext& call, WireReader& in, WireWriter& out) {
    const uint32_t manualReset = in.U32();
    const uint32_t initialState = in.U32();
    if (!Complete(in, out)) return;
    HANDLE handle = win32::CreateEventW(nullptr, manualReset != 0, initialState != 0, nullptr);
    if (handle == nullptr) {
        out.U32(win32::GetLastError()).U64(0);
        return;
    }
    const int fd = MirrorEvent(handle);
    if (fd < 0) {
        (void)win32::CloseHandle(handle);  // just created: closing it cannot fail
        out.U32(win32::ERROR_NO_SYSTEM_RESOURCES).U64(0);
        return;
    }
    call.replyFds.push_back(fd);
    out.U32(win32::ERROR_SUCCESS).U64(AsValue(handle));
}

void RegisterDeviceNotification(CallContext& call, WireReader& in, WireWriter& out) {
    std::vector<uint8_t> filter = in.Bytes(kMaxDeviceChangeRecord);
    const uint64_t recipient = in.U64();
    const uint32_t flags = in.U32();
    if (!Complete(in, out)) return;
    // The record is read as the kit lays it out: a shorter one is no filter.
    if (filter.size() < sizeof(win32::DEV_BROADCAST_DEVICEINTERFACE_W)) {
        out.U32(win32::ERROR_INVALID_DATA).U64(0);
        return;
    }
    std::vector<win32::DWORD> aligned((filter.size() + 3) / 4);
    std::memcpy(aligned.data(), filter.data(), filter.size());
    win32::HDEVNOTIFY notify =
        win32::RegisterDeviceNotificationW(AsPointer(recipient), aligned.data(), flags);
    if (notify == nullptr) {
        out.U32(win32::GetLastError()).U64(0);
        return;
    }
    const int fd = MirrorEvent(win32::BenchDeviceChangeEvent(notify));
    if (fd < 0) {
        (void)win32::UnregisterDeviceNotification(notify);  // just registered: cannot fail
        out.U32(win32::ERROR_NO_SYSTEM_RESOURCES).U64(0);
        return;
    }
    // A client that goes without unregistering leaves no subscription behind.
    call.connection.AtEnd(reinterpret_cast<uintptr_t>(notify), [notify] {
        (void)win32::UnregisterDeviceNotification(notify);  // the registration is live: it ends
    });
    call.replyFds.push_back(fd);
    out.U32(win32::ERROR_SUCCESS).U64(AsValue(notify));
}

void UnregisterDeviceNotification(CallContext& call, WireReader& in, WireWriter& out) {
    const uint64_t notify = in.U64();
    if (!Complete(in, out)) return;
    if (!win32::UnregisterDeviceNotification(AsPointer(notify))) {
        out.U32(win32::GetLastError());
        return;
    }
    call.connection.CancelAtEnd(static_cast<uintptr_t>(notify));
    out.U32(win32::ERROR_SUCCESS);
}

void TakeDeviceChange(CallContext&, WireReader& in, WireWriter& out) {
    const uint64_t notify = in.U64();
    const uint32_t recordSize = in.U32();
    if (!Complete(in, out)) return;
    const size_t size = std::min<size_t>(recordSize, kMaxDeviceChangeRecord);
    std::vector<win32::DWORD> record((size + 3) / 4);
    HANDLE recipient = nullptr;
    win32::WPARAM wParam = 0;
    win32::DWORD required = 0;
    const win32::BOOL ok = win32::BenchTakeDeviceChange(
        AsPointer(notify), &recipient, &wParam,
        record.empty() ? nullptr : reinterpret_cast<win32::PDEV_BROADCAST_HDR>(record.data()),
        static_cast<win32::DWORD>(size), &required);
    if (!ok) {
        out.U32(win32::GetLastError()).U64(0).U64(0).U32(required).Bytes(nullptr, 0);
        return;
    }
    out.U32(win32::ERROR_SUCCESS).U64(AsValue(recipient)).U64(wParam).U32(required);
    out.Bytes(record.data(), required);
}

}  // namespace

void AddCoreHandlers(HandlerTable& table) {
    table.Add(Op::GetClassDevs, GetClassDevs);
    table.Add(Op::CreateFile, CreateFile);
    table.Add(Op::DeviceIoControl, DeviceIoControl);
    table.Add(Op::CloseHandle, CloseHandle);
    table.Add(Op::CreateEvent, CreateEvent);
    table.Add(Op::RegisterDeviceNotification, RegisterDeviceNotification);
    table.Add(Op::UnregisterDeviceNotification, UnregisterDeviceNotification);
    table.Add(Op::TakeDeviceChange, TakeDeviceChange);
}

}  // namespace q407::service
