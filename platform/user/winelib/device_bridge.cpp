// The host side of the winelib device bridge: the linked Win32 calls of platform/user/remote over
// this process's client link to the machine.
#include "platform/user/winelib/device_bridge.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/user/remote/client_link.h"
#include "platform/user/remote/remote_win32.h"
#include "platform/user/remote/socket_path.h"
#include "platform/user/remote/wire_message.h"
#include "platform/user/remote/wire_ops.h"

namespace {

using namespace q407::win32;
using q407::remote::ClientLink;

constexpr uint64_t kTagBits = Q407_BRIDGE_TAG << 48;

std::wstring Widen(const char* text) {
    // UTF-8 to code points; a malformed sequence becomes U+FFFD.
    std::wstring out;
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    while (*s != 0) {
        uint32_t c = *s++;
        int more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (more < 0) {
            out.push_back(0xFFFD);
            continue;
        }
        c &= more == 0 ? 0x7Fu : more == 1 ? 0x1Fu : more == 2 ? 0x0Fu : 0x07u;
        bool bad = false;
        for (int i = 0; i < more; ++i) {
            if ((*s & 0xC0) != 0x80) {
                bad = true;
                break;
            }
            c = (c << 6) | (*s++ & 0x3Fu);
        }
        out.push_back(bad || c > 0x10FFFF ? 0xFFFD : static_cast<wchar_t>(c));
    }
    return out;
}

std::string Narrow(const wchar_t* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        auto c = static_cast<uint32_t>(text[i]);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

GUID GuidOf(const q407_bridge_guid& g) {
    GUID out;
    static_assert(sizeof out == sizeof g);
    std::memcpy(&out, &g, sizeof out);
    return out;
}

struct OpenHandle {
    ClientLink* link;
    HANDLE handle;
};

struct Registration {
    ClientLink* link;
    HDEVNOTIFY notify;
    HANDLE stop;  // set by unregister, so that the waiting thread returns
    bool ended = false;
};

std::mutex g_mutex;  // everything below
std::wstring g_program = L"winelib program";
std::map<uint64_t, OpenHandle> g_handles;
std::map<uint64_t, Registration> g_registrations;
uint64_t g_next = 4;

int Fail(uint32_t* error, uint32_t code) {
    if (error != nullptr) *error = code;
    return 0;
}

int FailWithLast(uint32_t* error) {
    return Fail(error, GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE);
}

// This process's link, connecting when there is none or the machine went away. Null when no
// machine answers.
ClientLink* Link() {
    std::lock_guard lock(g_mutex);
    ClientLink* link = ClientLink::Current();
    if (link != nullptr && link->Alive()) return link;
    if (link != nullptr) ClientLink::Disconnect();
    std::string error;
    if (!ClientLink::Connect(q407::remote::DefaultMachineSocket(), g_program, &error))
        return nullptr;
    return ClientLink::Current();
}

// The link a handle was opened on, when it is still this process's live one.
bool Find(uint64_t value, OpenHandle* found, uint32_t* error) {
    std::lock_guard lock(g_mutex);
    auto it = g_handles.find(value);
    if (it == g_handles.end()) return Fail(error, ERROR_INVALID_HANDLE) != 0;
    if (it->second.link != ClientLink::Current()) return Fail(error, ERROR_NO_SUCH_DEVICE) != 0;
    *found = it->second;
    return true;
}

// Windows registered with the machine: what was posted to each, until the winelib side takes it.
struct PostedToWindow {
    uint32_t message;
    uint64_t wParam;
    int64_t lParam;
};
struct MachineWindow {
    ClientLink* link;
    uint64_t machineWindow;
    std::deque<PostedToWindow> queue;
};
// A program registers one or two windows; a flood of posts is cut here rather than held.
constexpr size_t kMaxPostedQueued = 256;
std::mutex g_windowsMutex;  // g_windows and g_windowsLink
std::condition_variable g_windowsChanged;
std::map<uint64_t, MachineWindow> g_windows;
ClientLink* g_windowsLink = nullptr;

// On the link's notice thread: a message another process posted to one of our windows.
void WindowPosted(q407::remote::WireReader& in) {
    const uint64_t window = in.U64();
    const uint32_t message = in.U32();
    const uint64_t wParam = in.U64();
    const int64_t lParam = in.I64();
    if (!in.Ok()) return;  // malformed: nothing to deliver
    std::lock_guard lock(g_windowsMutex);
    for (auto& [value, entry] : g_windows) {
        if (entry.machineWindow != window || entry.link != ClientLink::Current()) continue;
        if (entry.queue.size() < kMaxPostedQueued)
            entry.queue.push_back(PostedToWindow{message, wParam, lParam});
        g_windowsChanged.notify_all();
    }
}

uint64_t NewValue() {
    const uint64_t value = kTagBits | g_next;
    g_next += 4;
    return value;
}

}  // namespace

extern "C" {

void q407_bridge_set_program(const char* name) {
    if (name == nullptr) return;
    std::lock_guard lock(g_mutex);
    g_program = Widen(name);
}

int q407_bridge_class_paths(const q407_bridge_guid* guid, uint32_t flags, char* paths,
                            uint32_t size, uint32_t* required, uint32_t* error) {
    if (guid == nullptr || required == nullptr) return Fail(error, ERROR_INVALID_PARAMETER);
    std::vector<std::wstring> found;
    // A machine that went away may not be noticed until the first call fails: then once more,
    // on a new link. No machine: no device is present, as on a computer with nothing plugged in.
    for (int attempt = 0;; ++attempt) {
        ClientLink* link = Link();
        SetLastError(ERROR_SUCCESS);
        if (link == nullptr || linked::GetClassDevs(*link, GuidOf(*guid), flags, &found)) break;
        if (attempt == 1 || link->Alive()) return FailWithLast(error);
        found.clear();
    }
    std::string all;
    for (const std::wstring& path : found) {
        all += Narrow(path.data(), path.size());
        all.push_back('\0');
    }
    all.push_back('\0');
    *required = static_cast<uint32_t>(all.size());
    if (paths == nullptr || size < all.size()) return Fail(error, ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(paths, all.data(), all.size());
    return 1;
}

int q407_bridge_open(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                     uint32_t attributes, uint64_t* handle, uint32_t* error) {
    if (path == nullptr || handle == nullptr) return Fail(error, ERROR_INVALID_PARAMETER);
    const std::wstring wide = Widen(path);
    ClientLink* link = nullptr;
    HANDLE opened = INVALID_HANDLE_VALUE;
    for (int attempt = 0;; ++attempt) {  // once more on a new link, as above
        link = Link();
        if (link == nullptr) return Fail(error, ERROR_FILE_NOT_FOUND);
        SetLastError(ERROR_SUCCESS);
        opened = linked::CreateFileW(*link, wide.c_str(), access, share, disposition, attributes);
        if (opened != INVALID_HANDLE_VALUE) break;
        if (attempt == 1 || link->Alive()) return FailWithLast(error);
    }
    std::lock_guard lock(g_mutex);
    *handle = NewValue();
    g_handles.emplace(*handle, OpenHandle{link, opened});
    return 1;
}

int q407_bridge_control(uint64_t handle, uint32_t code, void* input, uint32_t inputSize,
                        void* output, uint32_t outputSize, uint32_t* returned, uint32_t* error) {
    OpenHandle open{};
    if (!Find(handle, &open, error)) return 0;
    SetLastError(ERROR_SUCCESS);
    DWORD got = 0;
    if (!linked::DeviceIoControl(*open.link, open.handle, code, input, inputSize, output,
                                 outputSize, &got, nullptr)) {
        if (returned != nullptr) *returned = got;
        return FailWithLast(error);
    }
    if (returned != nullptr) *returned = got;
    return 1;
}

int q407_bridge_close(uint64_t handle, uint32_t* error) {
    OpenHandle open{};
    {
        std::lock_guard lock(g_mutex);
        auto it = g_handles.find(handle);
        if (it == g_handles.end()) return Fail(error, ERROR_INVALID_HANDLE);
        open = it->second;
        g_handles.erase(it);
    }
    // A handle of a machine that went away is closed with it.
    if (open.link != ClientLink::Current() || !open.link->Alive()) return 1;
    SetLastError(ERROR_SUCCESS);
    if (!linked::CloseHandle(*open.link, open.handle)) return FailWithLast(error);
    return 1;
}

int q407_bridge_register(uint64_t recipient, uint32_t filterSize, uint32_t deviceType,
                         const q407_bridge_guid* classGuid, uint32_t flags, uint64_t* registration,
                         uint32_t* error) {
    if (classGuid == nullptr || registration == nullptr)
        return Fail(error, ERROR_INVALID_PARAMETER);
    ClientLink* link = Link();
    if (link == nullptr) return Fail(error, ERROR_NO_SUCH_DEVICE);
    // The caller's record is the same but for the width of its name's characters: a filter as
    // large as the caller's record is as large as this one.
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = filterSize >= 30 ? static_cast<DWORD>(sizeof filter) : filterSize;
    filter.dbcc_devicetype = deviceType;
    filter.dbcc_classguid = GuidOf(*classGuid);
    SetLastError(ERROR_SUCCESS);
    HDEVNOTIFY notify = linked::RegisterDeviceNotificationW(
        *link, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(recipient)), &filter, flags);
    if (notify == nullptr) return FailWithLast(error);
    HANDLE stop = linked::CreateEventW(*link, TRUE, FALSE, nullptr);
    if (stop == nullptr) {
        const int failed = FailWithLast(error);
        linked::UnregisterDeviceNotification(*link, notify);
        return failed;
    }
    std::lock_guard lock(g_mutex);
    *registration = NewValue();
    g_registrations.emplace(*registration, Registration{link, notify, stop});
    return 1;
}

int q407_bridge_wait_change(uint64_t registration) {
    Registration r{};
    {
        std::lock_guard lock(g_mutex);
        auto it = g_registrations.find(registration);
        if (it == g_registrations.end() || it->second.ended) return 0;
        r = it->second;
    }
    HANDLE queued = linked::BenchDeviceChangeEvent(*r.link, r.notify);
    if (queued == nullptr) return 0;
    const HANDLE handles[2] = {queued, r.stop};
    return linked::WaitForMultipleObjects(*r.link, 2, handles, FALSE, INFINITE) == WAIT_OBJECT_0
               ? 1
               : 0;
}

int q407_bridge_take_change(uint64_t registration, uint32_t* event, q407_bridge_guid* classGuid,
                            char* name, uint32_t nameSize, uint32_t* required, uint32_t* error) {
    if (event == nullptr || classGuid == nullptr || required == nullptr)
        return Fail(error, ERROR_INVALID_PARAMETER);
    Registration r{};
    {
        std::lock_guard lock(g_mutex);
        auto it = g_registrations.find(registration);
        if (it == g_registrations.end() || it->second.ended)
            return Fail(error, ERROR_INVALID_HANDLE);
        r = it->second;
    }
    // Room for the record and a name of any length a machine would send.
    std::vector<uint64_t> storage(1024);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(storage.data());
    const auto recordSize = static_cast<DWORD>(storage.size() * sizeof(uint64_t));
    HANDLE recipient = nullptr;
    WPARAM what = 0;
    DWORD needed = 0;
    SetLastError(ERROR_SUCCESS);
    if (!linked::BenchTakeDeviceChange(*r.link, r.notify, &recipient, &what,
                                       reinterpret_cast<PDEV_BROADCAST_HDR>(record), recordSize,
                                       &needed))
        return FailWithLast(error);
    if (record->dbcc_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) ||
        record->dbcc_size > recordSize)
        return Fail(error, ERROR_INVALID_DATA);
    const size_t capacity =
        (record->dbcc_size - offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) / sizeof(WCHAR);
    size_t length = 0;
    while (length < capacity && record->dbcc_name[length] != 0) ++length;
    const std::string path = Narrow(record->dbcc_name, length);
    *required = static_cast<uint32_t>(path.size() + 1);
    // Taken already: a name that does not fit is cut rather than lost with its message.
    *event = static_cast<uint32_t>(what);
    std::memcpy(classGuid, &record->dbcc_classguid, sizeof *classGuid);
    if (name == nullptr || nameSize == 0) return Fail(error, ERROR_INSUFFICIENT_BUFFER);
    const size_t copied = path.size() < nameSize ? path.size() : nameSize - 1;
    std::memcpy(name, path.data(), copied);
    name[copied] = '\0';
    if (copied < path.size()) return Fail(error, ERROR_INSUFFICIENT_BUFFER);
    return 1;
}

int q407_bridge_unregister(uint64_t registration, uint32_t* error) {
    Registration r{};
    {
        std::lock_guard lock(g_mutex);
        auto it = g_registrations.find(registration);
        if (it == g_registrations.end() || it->second.ended)
            return Fail(error, ERROR_INVALID_HANDLE);
        it->second.ended = true;
        r = it->second;
    }
    SetLastError(ERROR_SUCCESS);
    const BOOL unregistered = linked::UnregisterDeviceNotification(*r.link, r.notify);
    const uint32_t lastError = GetLastError();
    // The waiting thread returns either way; it frees the rest.
    linked::SetEvent(*r.link, r.stop);
    if (!unregistered)
        return Fail(error, lastError != ERROR_SUCCESS ? lastError : ERROR_GEN_FAILURE);
    return 1;
}

void q407_bridge_release(uint64_t registration) {
    Registration r{};
    {
        std::lock_guard lock(g_mutex);
        auto it = g_registrations.find(registration);
        if (it == g_registrations.end()) return;
        r = it->second;
        g_registrations.erase(it);
    }
    if (!r.ended) linked::UnregisterDeviceNotification(*r.link, r.notify);
    linked::CloseHandle(*r.link, r.stop);
}

int q407_bridge_window_register(const char* className, uint64_t* registration, uint32_t* error) {
    if (className == nullptr || registration == nullptr)
        return Fail(error, ERROR_INVALID_PARAMETER);
    ClientLink* link = Link();
    if (link == nullptr) return Fail(error, ERROR_FILE_NOT_FOUND);
    {
        std::lock_guard lock(g_windowsMutex);
        if (g_windowsLink != link) {
            // A new link: the windows of an earlier one went with it.
            link->SetNoticeHandler(q407::remote::Op::PostedMessage, WindowPosted);
            g_windowsLink = link;
        }
    }
    q407::remote::WireWriter request;
    request.WString(Widen(className));
    std::vector<uint8_t> reply;
    if (!link->Call(q407::remote::Op::RegisterWindow, request, &reply))
        return Fail(error, ERROR_NO_SUCH_DEVICE);
    q407::remote::WireReader in(reply.data(), reply.size());
    const uint32_t status = in.U32();
    const uint64_t window = in.U64();
    if (!in.AtEnd()) return Fail(error, ERROR_INVALID_PARAMETER);
    if (status != ERROR_SUCCESS) return Fail(error, status);
    uint64_t value = 0;
    {
        std::lock_guard lock(g_mutex);
        value = NewValue();
    }
    std::lock_guard lock(g_windowsMutex);
    g_windows.emplace(value, MachineWindow{link, window, {}});
    *registration = value;
    return 1;
}

int q407_bridge_window_take(uint64_t registration, uint32_t timeoutMs, uint32_t* message,
                            uint64_t* wParam, int64_t* lParam) {
    if (message == nullptr || wParam == nullptr || lParam == nullptr) return -1;
    std::unique_lock lock(g_windowsMutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto it = g_windows.find(registration);
        if (it == g_windows.end()) return -1;
        MachineWindow& entry = it->second;
        if (!entry.queue.empty()) {
            *message = entry.queue.front().message;
            *wParam = entry.queue.front().wParam;
            *lParam = entry.queue.front().lParam;
            entry.queue.pop_front();
            return 1;
        }
        if (entry.link != ClientLink::Current() || !entry.link->Alive()) return -1;
        if (g_windowsChanged.wait_until(lock, deadline) == std::cv_status::timeout) {
            auto again = g_windows.find(registration);
            if (again == g_windows.end() || again->second.queue.empty()) return 0;
        }
    }
}

void q407_bridge_window_unregister(uint64_t registration) {
    MachineWindow entry{};
    {
        std::lock_guard lock(g_windowsMutex);
        auto it = g_windows.find(registration);
        if (it == g_windows.end()) return;
        entry = std::move(it->second);
        g_windows.erase(it);
        g_windowsChanged.notify_all();
    }
    if (entry.link != ClientLink::Current() || !entry.link->Alive()) return;  // gone with it
    q407::remote::WireWriter request;
    request.U64(entry.machineWindow);
    std::vector<uint8_t> reply;
    // A failure leaves the window to the end of the connection, which removes it as well.
    (void)entry.link->Call(q407::remote::Op::UnregisterWindow, request, &reply);
}

}  // extern "C"
