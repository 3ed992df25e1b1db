// The linked half of platform/user: device calls as messages to the machine, events and waits on
// local eventfds, threads as local std::threads.
#include "platform/user/remote/remote_win32.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/user/remote/own_memory.h"

namespace q407::win32::linked {
namespace {

using remote::Op;
using remote::WireReader;
using remote::WireWriter;

// Windows' limit for one wait.
constexpr DWORD kMaximumWaitObjects = 64;
// The most input one DeviceIoControl message carries beside its other fields.
constexpr DWORD kMaxInput = remote::kMaxPayload - 64;

// An event's or a thread's signalled state, carried by an eventfd (counter > 0: signalled). The
// descriptor closes with the last holder, so a wait in progress keeps it valid after a close.
struct Waitable {
    enum class Kind { Event, NotificationEvent, Thread };
    Waitable(int descriptor, Kind k, bool manual) : fd(descriptor), kind(k), manualReset(manual) {}
    ~Waitable() { close(fd); }
    Waitable(const Waitable&) = delete;
    Waitable& operator=(const Waitable&) = delete;
    const int fd;
    const Kind kind;
    const bool manualReset;
    // Orders what a signalling thread of this process wrote before its signal with what a
    // waiter reads after it: a poll on the descriptor alone carries no such ordering.
    std::atomic<uint64_t> signals{0};
};

// The local objects of one link; dropped when it disconnects.
struct Tables {
    std::mutex mutex;
    std::map<uint64_t, std::shared_ptr<Waitable>> waitables;  // by handle
    std::map<uint64_t, uint64_t> notifications;               // notify handle -> event handle
    uint64_t nextLocal = 4;
};

std::mutex g_tablesMutex;
std::map<ClientLink*, std::shared_ptr<Tables>>& AllTables() {
    static auto* all = new std::map<ClientLink*, std::shared_ptr<Tables>>();
    return *all;
}

std::shared_ptr<Tables> TablesOf(ClientLink& link) {
    std::lock_guard lock(g_tablesMutex);
    auto& all = AllTables();
    auto it = all.find(&link);
    if (it != all.end()) return it->second;
    auto tables = std::make_shared<Tables>();
    all.emplace(&link, tables);
    link.AtDisconnect([l = &link] {
        std::lock_guard cleanupLock(g_tablesMutex);
        AllTables().erase(l);
    });
    return tables;
}

std::atomic<DWORD> g_nextThreadId{0x20000};

uint64_t ValueOf(HANDLE h) {
    return reinterpret_cast<uintptr_t>(h);
}

HANDLE HandleOf(uint64_t v) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(v));
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// A call that fails only because the machine is gone.
bool CallMachine(ClientLink& link, Op op, const WireWriter& request, std::vector<uint8_t>* reply,
                 std::vector<int>* fds = nullptr) {
    if (link.Call(op, request, reply, fds)) return true;
    SetLastError(ERROR_NO_SUCH_DEVICE);
    return false;
}

void CloseAll(std::vector<int>& fds) {
    for (int fd : fds) close(fd);
    fds.clear();
}

std::shared_ptr<Waitable> Find(Tables& t, HANDLE h) {
    std::lock_guard lock(t.mutex);
    auto it = t.waitables.find(ValueOf(h));
    return it != t.waitables.end() ? it->second : nullptr;
}

uint64_t AddLocal(Tables& t, std::shared_ptr<Waitable> w) {
    std::lock_guard lock(t.mutex);
    const uint64_t handle = kLocalHandleBit | t.nextLocal;
    t.nextLocal += 4;
    t.waitables.emplace(handle, std::move(w));
    return handle;
}

void Signal(Waitable& w) {
    w.signals.fetch_add(1, std::memory_order_release);
    const uint64_t one = 1;
    // Fails only when the counter would overflow, and then it is signalled already.
    if (write(w.fd, &one, sizeof one) != sizeof one) return;
}

bool IsSignalled(const Waitable& w) {
    pollfd p{w.fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1 || (p.revents & POLLIN) == 0) return false;
    (void)w.signals.load(std::memory_order_acquire);  // only the ordering matters
    return true;
}

// Takes the object's signal as a satisfied wait does: an auto-reset event is consumed (EAGAIN:
// another waiter got it first), others only looked at.
bool TryAcquire(const Waitable& w) {
    if (w.manualReset) return IsSignalled(w);
    uint64_t count = 0;
    if (read(w.fd, &count, sizeof count) != sizeof count) return false;
    (void)w.signals.load(std::memory_order_acquire);  // only the ordering matters
    return true;
}

// Every object at once; an auto-reset event taken before another waiter stole a later one is
// given back.
bool TryAcquireAll(const std::vector<std::shared_ptr<Waitable>>& ws) {
    for (const auto& w : ws)
        if (!IsSignalled(*w)) return false;
    for (size_t i = 0; i < ws.size(); ++i) {
        if (TryAcquire(*ws[i])) continue;
        for (size_t j = 0; j < i; ++j)
            if (!ws[j]->manualReset) Signal(*ws[j]);
        return false;
    }
    return true;
}

}  // namespace

bool GetClassDevs(ClientLink& link, const GUID& classGuid, DWORD flags,
                  std::vector<std::wstring>* paths) {
    WireWriter request;
    request.Guid(classGuid).U32(flags);
    std::vector<uint8_t> reply;
    if (!CallMachine(link, Op::GetClassDevs, request, &reply)) return false;
    WireReader r(reply.data(), reply.size());
    const uint32_t err = r.U32();
    if (r.Ok() && err != 0) return Fail(err) != FALSE;
    const uint32_t count = r.U32();
    paths->clear();
    for (uint32_t i = 0; r.Ok() && i < count; ++i) paths->push_back(r.WString());
    if (!r.AtEnd()) {
        paths->clear();
        return Fail(ERROR_INVALID_DATA) != FALSE;
    }
    return true;
}

HANDLE CreateFileW(ClientLink& link, LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes) {
    if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    WireWriter request;
    request.WString(lpFileName)
        .U32(dwDesiredAccess)
        .U32(dwShareMode)
        .U32(dwCreationDisposition)
        .U32(dwFlagsAndAttributes);
    std::vector<uint8_t> reply;
    if (!CallMachine(link, Op::CreateFile, request, &reply)) return INVALID_HANDLE_VALUE;
    WireReader r(reply.data(), reply.size());
    const uint32_t err = r.U32();
    const uint64_t handle = r.U64();
    if (r.Ok() && err != 0) {
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    if (!r.AtEnd() || handle == 0 || (handle & kLocalHandleBit) != 0) {
        SetLastError(ERROR_INVALID_DATA);
        return INVALID_HANDLE_VALUE;
    }
    return HandleOf(handle);
}

BOOL DeviceIoControl(ClientLink& link, HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                     DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    if (lpOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    // The input travels in one message; no request of ours comes near the limit.
    if (nInBufferSize > kMaxInput) return Fail(ERROR_NO_SYSTEM_RESOURCES);
    // The input goes along as a copy; an unreadable buffer fails as the I/O manager's probe would.
    std::vector<uint8_t> input(nInBufferSize);
    if (!remote::ReadOwnMemory(input.data(), reinterpret_cast<uintptr_t>(lpInBuffer),
                               nInBufferSize))
        return Fail(ERROR_NOACCESS);
    WireWriter request;
    request.U64(ValueOf(hDevice))
        .U32(dwIoControlCode)
        .U64(reinterpret_cast<uintptr_t>(lpInBuffer))
        .U32(nInBufferSize)
        .Bytes(input.data(), input.size())
        .U64(reinterpret_cast<uintptr_t>(lpOutBuffer))
        .U32(nOutBufferSize);
    std::vector<uint8_t> reply;
    if (!CallMachine(link, Op::DeviceIoControl, request, &reply)) return FALSE;
    WireReader r(reply.data(), reply.size());
    const uint32_t err = r.U32();
    const uint32_t returned = r.U32();
    const std::vector<uint8_t> output = r.Bytes(nOutBufferSize);
    if (!r.AtEnd()) return Fail(ERROR_INVALID_DATA);
    if (!remote::WriteOwnMemory(reinterpret_cast<uintptr_t>(lpOutBuffer), output.data(),
                                output.size()))
        return Fail(ERROR_NOACCESS);
    if (lpBytesReturned != nullptr) *lpBytesReturned = returned;
    return err != 0 ? Fail(err) : TRUE;
}

BOOL CloseHandle(ClientLink& link, HANDLE hObject) {
    const uint64_t value = ValueOf(hObject);
    auto tables = TablesOf(link);
    {
        std::lock_guard lock(tables->mutex);
        auto it = tables->waitables.find(value);
        if ((value & kLocalHandleBit) != 0) {
            // A registration's event belongs to the registration.
            if (it == tables->waitables.end() ||
                it->second->kind == Waitable::Kind::NotificationEvent)
                return Fail(ERROR_INVALID_HANDLE);
            tables->waitables.erase(it);
            return TRUE;
        }
        if (it != tables->waitables.end()) tables->waitables.erase(it);
    }
    WireWriter request;
    request.U64(value);
    std::vector<uint8_t> reply;
    if (!CallMachine(link, Op::CloseHandle, request, &reply)) return FALSE;
    WireReader r(reply.data(), reply.size());
    const uint32_t err = r.U32();
    if (!r.AtEnd()) return Fail(ERROR_INVALID_DATA);
    return err != 0 ? Fail(err) : TRUE;
}

HANDLE CreateEventW(ClientLink& link, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    // Named events would be shared across processes; no client of ours names one.
    if (lpName != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    WireWriter request;
    request.U32(bManualReset != FALSE ? 1 : 0).U32(bInitialState != FALSE ? 1 : 0);
    std::vector<uint8_t> reply;
    std::vector<int> fds;
    if (!CallMachine(link, Op::CreateEvent, request, &reply, &fds)) return nullptr;
    WireReader r(reply.data(), reply.size());
    const uint32_t err = r.U32();
    const uint64_t handle = r.U64();
    if (r.Ok() && err != 0) {
        CloseAll(fds);
        SetLastError(err);
        return nullptr;
    }
    if (!r.AtEnd() || fds.size() != 1 || handle == 0 || (handle & kLocalHandleBit) != 0) {
        CloseAll(fds);
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    auto w = std::make_shared<Waitable>(fds[0], Waitable::Kind::Event, bManualReset != FALSE);
    auto tables = TablesOf(link);
    std::lock_guard lock(tables->mutex);
    tables->waitables[handle] = std::move(w);
    return HandleOf(handle);
}

BOOL SetEvent(ClientLink& link, HANDLE hEvent) {
    auto w = Find(*TablesOf(link), hEvent);
    if (w == nullptr || w->kind == Waitable::Kind::Thread) return Fail(ERROR_INVALID_HANDLE);
    Signal(*w);
    return TRUE;
}

BOOL ResetEvent(ClientLink& link, HANDLE hEvent) {
    auto w = Find(*TablesOf(link), hEvent);
    if (w == nullptr || w->kind == Waitable::Kind::Thread) return Fail(ERROR_INVALID_HANDLE);
    uint64_t count = 0;
    // Non-blocking: EAGAIN means it was not signalled.
    if (read(w->fd, &count, sizeof count) < 0 && errno != EAGAIN) return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

DWORD WaitForMultipleObjects(ClientLink& link, DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds) {
    if (lpHandles == nullptr || nCount == 0 || nCount > kMaximumWaitObjects) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    auto tables = TablesOf(link);
    std::vector<std::shared_ptr<Waitable>> ws;
    bool machineObjects = false;  // only the machine's objects stop for good when it goes
    for (DWORD i = 0; i < nCount; ++i) {
        auto w = Find(*tables, lpHandles[i]);
        if (w == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        machineObjects = machineObjects || w->kind != Waitable::Kind::Thread;
        ws.push_back(std::move(w));
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    std::vector<pollfd> polled;
    for (;;) {
        if (machineObjects && !link.Alive()) {
            SetLastError(ERROR_NO_SUCH_DEVICE);
            return WAIT_FAILED;
        }
        if (bWaitAll != FALSE) {
            if (TryAcquireAll(ws)) return WAIT_OBJECT_0;
        } else {
            for (DWORD i = 0; i < nCount; ++i)
                if (TryAcquire(*ws[i])) return WAIT_OBJECT_0 + i;
        }
        int timeout = -1;
        if (dwMilliseconds != INFINITE) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return WAIT_TIMEOUT;
            timeout = static_cast<int>(std::min<int64_t>(left, INT32_MAX));
        }
        // Wait-all polls only what is not signalled yet, or it would spin on the rest.
        polled.clear();
        for (const auto& w : ws)
            if (bWaitAll == FALSE || !IsSignalled(*w)) polled.push_back({w->fd, POLLIN, 0});
        if (machineObjects) polled.push_back({link.GoneFd(), POLLIN, 0});
        if (poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
}

HANDLE CreateThread(ClientLink& link, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
    // Suspended creation is not served: the flag is refused rather than ignored.
    if (lpStartAddress == nullptr || dwCreationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto exited = std::make_shared<Waitable>(fd, Waitable::Kind::Thread, true);
    auto tables = TablesOf(link);
    const uint64_t handle = AddLocal(*tables, exited);
    try {
        std::thread([lpStartAddress, lpParameter, exited] {
            (void)lpStartAddress(lpParameter);  // the exit code is not kept: nobody asks for it
            Signal(*exited);
        }).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(tables->mutex);
        tables->waitables.erase(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId != nullptr) *lpThreadId = g_nextThreadId.fetch_add(4);
    return HandleOf(handle);
}

void Sleep(DWORD dwMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

DWORD timeGetTime() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

HDEVNOTIFY RegisterDeviceNotificationW(ClientLink& link, HANDLE hRecipient,
                                       LPVOID NotificationFilter, DWORD Flags) {
    const DWORD kind = Flags & ~DEVICE_NOTIFY_ALL_INTERFACE_CLASSES;
    if (hRecipient == nullptr || hRecipient == INVALID_HANDLE_VALUE ||
        (kind != DEVICE_NOTIFY_WINDOW_HANDLE && kind != DEVICE_NOTIFY_SERVICE_HANDLE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The filter is the caller's memory: only its fixed part is read, after its size is checked.
    if (NotificationFilter == nullptr) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    DEV_BROADCAST_HDR header;
    std::memcpy(&header, NotificationFilter, sizeof header);
    if (header.dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
        header.dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    WireWriter request;
    request.Bytes(NotificationFilter, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W))
        .U64(ValueOf(hRecipient))
        .U32(Flags);
    std::vector<uint8_t> reply;
    std::vector<int> fds;
    if (!CallMachine(link, Op::RegisterDeviceNotification, request, &reply, &fds)) return nullptr;
    WireReader r(reply.data(), reply.size());
    const uint32_t err = r.U32();
    const uint64_t notify = r.U64();
    if (r.Ok() && err != 0) {
        CloseAll(fds);
        SetLastError(err);
        return nullptr;
    }
    if (!r.AtEnd() || fds.size() != 1 || notify == 0) {
        CloseAll(fds);
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    auto tables = TablesOf(link);
    const uint64_t event = AddLocal(
        *tables, std::make_shared<Waitable>(fds[0], Waitable::Kind::NotificationEvent, true));
    std::lock_guard lock(tables->mutex);
    tables->notifications[notify] = event;
    return HandleOf(notify);
}

BOOL UnregisterDeviceNotification(ClientLink& link, HDEVNOTIFY Handle) {
    auto tables = TablesOf(link);
    {
        std::lock_guard lock(tables->mutex);
        auto it = tables->notifications.find(ValueOf(Handle));
        if (it == tables->notifications.end()) return Fail(ERROR_INVALID_HANDLE);
        tables->waitables.erase(it->second);
        tables->notifications.erase(it);
    }
    WireWriter request;
    request.U64(ValueOf(Handle));
    std::vector<uint8_t> reply;
    if (!CallMachine(link, Op::UnregisterDeviceNotification, request, &reply)) return FALSE;
    WireReader r(reply.data(), reply.size());
    const uint32_t err = r.U32();
    if (!r.AtEnd()) return Fail(ERROR_INVALID_DATA);
    return err != 0 ? Fail(err) : TRUE;
}

HANDLE BenchDeviceChangeEvent(ClientLink& link, HDEVNOTIFY Handle) {
    auto tables = TablesOf(link);
    std::lock_guard lock(tables->mutex);
    auto it = tables->notifications.find(ValueOf(Handle));
    if (it == tables->notifications.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return HandleOf(it->second);
}

BOOL BenchTakeDeviceChange(ClientLink& link, HDEVNOTIFY Handle, HANDLE* recipient, WPARAM* wParam,
                           PDEV_BROADCAST_HDR Record, DWORD RecordSize, LPDWORD RequiredSize) {
    if (wParam == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    WireWriter request;
    request.U64(ValueOf(Handle)).U32(Record != nullptr ? RecordSize : 0);
    std::vector<uint8_t> reply;
    if (!CallMachine(link, Op::TakeDeviceChange, request, &reply)) return FALSE;
    WireReader r(reply.data(), reply.size());
    const uint32_t err = r.U32();
    const uint64_t who = r.U64();
    const uint64_t what = r.U64();
    const uint32_t required = r.U32();
    const std::vector<uint8_t> record = r.Bytes(Record != nullptr ? RecordSize : 0);
    if (!r.AtEnd()) return Fail(ERROR_INVALID_DATA);
    if (RequiredSize != nullptr) *RequiredSize = required;
    if (err != 0) return Fail(err);
    if (record.size() < sizeof(DEV_BROADCAST_HDR)) return Fail(ERROR_INVALID_DATA);
    std::memcpy(Record, record.data(), record.size());
    *wParam = static_cast<WPARAM>(what);
    if (recipient != nullptr) *recipient = HandleOf(who);
    return TRUE;
}

}  // namespace q407::win32::linked
