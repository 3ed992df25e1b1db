// A client linked to a machine in another Linux process asks the machine's window registry, so
// that windows are found and messages posted across processes; otherwise the windows live here.
#include "platform/user/bench_shell.h"

#include <map>
#include <mutex>

#include "platform/user/program_launcher.h"
#include "platform/user/remote/client_link.h"

namespace q407::win32 {
namespace {

struct Window {
    std::wstring className;
    bench::PostedMessage onPost;
};

struct Desktop {
    std::mutex mutex;
    std::map<uintptr_t, Window> windows;
    uintptr_t next = 0x10010;
    uintptr_t foreground = 0;
    std::function<bool(const std::wstring&)> launcher;
};

Desktop& TheDesktop() {
    static Desktop desktop;
    return desktop;
}

// --- Linked to a machine ------------------------------------------------------------------

using remote::ClientLink;
using remote::Op;
using remote::WireReader;
using remote::WireWriter;

constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorNoSuchDevice = 433;  // the machine went away

// This process's windows registered with the machine, by the machine's handle value.
struct LinkedWindows {
    std::mutex mutex;
    ClientLink* link = nullptr;  // the link whose notices reach onPost
    std::map<uint64_t, bench::PostedMessage> windows;
};

LinkedWindows& TheLinkedWindows() {
    static auto* linked = new LinkedWindows();
    return *linked;
}

void DeliverPostedMessage(WireReader& in) {
    const uint64_t window = in.U64();
    const uint32_t message = in.U32();
    const uint64_t wParam = in.U64();
    const int64_t lParam = in.I64();
    if (!in.AtEnd()) return;  // not a message the machine sends
    bench::PostedMessage onPost;
    {
        LinkedWindows& linked = TheLinkedWindows();
        std::lock_guard lock(linked.mutex);
        auto it = linked.windows.find(window);
        if (it == linked.windows.end()) return;  // removed meanwhile
        onPost = it->second;
    }
    if (onPost) onPost(message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
}

// Sends a call whose reply starts with a Win32 error; false (with the error set) on failure. *in
// then reads the rest of the reply, which *reply holds.
bool CallMachine(ClientLink& link, Op op, const WireWriter& request, std::vector<uint8_t>* reply,
                 WireReader* in) {
    if (!link.Call(op, request, reply)) {
        SetLastError(kErrorNoSuchDevice);
        return false;
    }
    *in = WireReader(reply->data(), reply->size());
    const uint32_t error = in->U32();
    if (!in->Ok()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return false;
    }
    return true;
}

// Win32 answers for a call with nothing after the error.
BOOL CallForStatus(ClientLink& link, Op op, const WireWriter& request) {
    std::vector<uint8_t> reply;
    WireReader in(nullptr, 0);
    return CallMachine(link, op, request, &reply, &in) ? TRUE : FALSE;
}

// A window handle from a reply: null when the reply is malformed or names none.
HWND WindowFromReply(ClientLink& link, Op op, const WireWriter& request) {
    std::vector<uint8_t> reply;
    WireReader in(nullptr, 0);
    if (!CallMachine(link, op, request, &reply, &in)) return nullptr;
    const uint64_t window = in.U64();
    if (!in.AtEnd()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(window));
}

HWND LinkedAddWindow(ClientLink& link, const std::wstring& className, bench::PostedMessage onPost) {
    LinkedWindows& linked = TheLinkedWindows();
    {
        std::lock_guard lock(linked.mutex);
        if (linked.link != &link) {
            // A new link: the windows of an earlier one went with it.
            linked.windows.clear();
            linked.link = &link;
            link.SetNoticeHandler(Op::PostedMessage, DeliverPostedMessage);
        }
    }
    WireWriter request;
    request.WString(className);
    HWND window = WindowFromReply(link, Op::RegisterWindow, request);
    if (window == nullptr) return nullptr;
    std::lock_guard lock(linked.mutex);
    linked.windows[reinterpret_cast<uintptr_t>(window)] = std::move(onPost);
    return window;
}

}  // namespace

HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
    (void)lpWindowName;  // windows are told apart by class only here
    if (lpClassName == nullptr) return nullptr;
    if (ClientLink* link = ClientLink::Current()) {
        WireWriter request;
        request.WString(lpClassName);
        return WindowFromReply(*link, Op::FindWindow, request);
    }
    Desktop& desktop = TheDesktop();
    std::lock_guard<std::mutex> lock(desktop.mutex);
    for (const auto& [id, window] : desktop.windows) {
        if (window.className == lpClassName) return reinterpret_cast<HWND>(id);
    }
    return nullptr;
}

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (ClientLink* link = ClientLink::Current()) {
        WireWriter request;
        request.U64(reinterpret_cast<uintptr_t>(hWnd))
            .U32(Msg)
            .U64(wParam)
            .I64(static_cast<int64_t>(lParam));
        return CallForStatus(*link, Op::PostMessage, request);
    }
    bench::PostedMessage onPost;
    {
        Desktop& desktop = TheDesktop();
        std::lock_guard<std::mutex> lock(desktop.mutex);
        auto it = desktop.windows.find(reinterpret_cast<uintptr_t>(hWnd));
        if (it == desktop.windows.end()) {
            SetLastError(kErrorInvalidWindowHandle);
            return FALSE;
        }
        onPost = it->second.onPost;
    }
    if (onPost) onPost(Msg, wParam, lParam);
    return TRUE;
}

BOOL SetForegroundWindow(HWND hWnd) {
    if (ClientLink* link = ClientLink::Current()) {
        WireWriter request;
        request.U64(reinterpret_cast<uintptr_t>(hWnd));
        return CallForStatus(*link, Op::SetForegroundWindow, request);
    }
    Desktop& desktop = TheDesktop();
    std::lock_guard<std::mutex> lock(desktop.mutex);
    const auto id = reinterpret_cast<uintptr_t>(hWnd);
    if (desktop.windows.count(id) == 0) return FALSE;
    desktop.foreground = id;
    return TRUE;
}

HINSTANCE ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                        LPCWSTR lpDirectory, INT nShowCmd) {
    (void)hwnd;
    (void)lpOperation;
    (void)lpParameters;
    (void)lpDirectory;
    (void)nShowCmd;
    std::function<bool(const std::wstring&)> launcher;
    {
        Desktop& desktop = TheDesktop();
        std::lock_guard<std::mutex> lock(desktop.mutex);
        launcher = desktop.launcher;
    }
    // A client of a machine in another Linux process starts our own programs itself.
    if (!launcher && ClientLink::Current() != nullptr) launcher = bench::StartKnownProgram;
    const bool started = lpFile != nullptr && launcher && launcher(lpFile);
    // 2: the file was not found.
    return reinterpret_cast<HINSTANCE>(uintptr_t(started ? 42 : 2));
}

namespace bench {

HWND AddTopLevelWindow(const std::wstring& className, PostedMessage onPost) {
    if (ClientLink* link = ClientLink::Current())
        return LinkedAddWindow(*link, className, std::move(onPost));
    Desktop& desktop = TheDesktop();
    std::lock_guard<std::mutex> lock(desktop.mutex);
    const uintptr_t id = desktop.next;
    desktop.next += 0x10;
    desktop.windows[id] = Window{className, std::move(onPost)};
    return reinterpret_cast<HWND>(id);
}

void RemoveTopLevelWindow(HWND window) {
    if (ClientLink* link = ClientLink::Current()) {
        {
            LinkedWindows& linked = TheLinkedWindows();
            std::lock_guard lock(linked.mutex);
            linked.windows.erase(reinterpret_cast<uintptr_t>(window));
        }
        WireWriter request;
        request.U64(reinterpret_cast<uintptr_t>(window));
        (void)CallForStatus(*link, Op::UnregisterWindow, request);  // gone with the link: fine
        return;
    }
    Desktop& desktop = TheDesktop();
    std::lock_guard<std::mutex> lock(desktop.mutex);
    desktop.windows.erase(reinterpret_cast<uintptr_t>(window));
    if (desktop.foreground == reinterpret_cast<uintptr_t>(window)) desktop.foreground = 0;
}

HWND ForegroundWindow() {
    Desktop& desktop = TheDesktop();
    std::lock_guard<std::mutex> lock(desktop.mutex);
    return reinterpret_cast<HWND>(desktop.foreground);
}

void SetProgramLauncher(std::function<bool(const std::wstring& file)> launcher) {
    Desktop& desktop = TheDesktop();
    std::lock_guard<std::mutex> lock(desktop.mutex);
    desktop.launcher = std::move(launcher);
}

}  // namespace bench
}  // namespace q407::win32
