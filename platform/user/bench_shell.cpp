#include "platform/user/bench_shell.h"

#include <map>
#include <mutex>

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

}  // namespace

HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
    (void)lpWindowName;  // windows are told apart by class only here
    if (lpClassName == nullptr) return nullptr;
    Desktop& desktop = TheDesktop();
    std::lock_guard<std::mutex> lock(desktop.mutex);
    for (const auto& [id, window] : desktop.windows) {
        if (window.className == lpClassName) return reinterpret_cast<HWND>(id);
    }
    return nullptr;
}

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    bench::PostedMessage onPost;
    {
        Desktop& desktop = TheDesktop();
        std::lock_guard<std::mutex> lock(desktop.mutex);
        auto it = desktop.windows.find(reinterpret_cast<uintptr_t>(hWnd));
        if (it == desktop.windows.end()) {
            SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
            return FALSE;
        }
        onPost = it->second.onPost;
    }
    if (onPost) onPost(Msg, wParam, lParam);
    return TRUE;
}

BOOL SetForegroundWindow(HWND hWnd) {
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
    const bool started = lpFile != nullptr && launcher && launcher(lpFile);
    // 2: the file was not found.
    return reinterpret_cast<HINSTANCE>(uintptr_t(started ? 42 : 2));
}

namespace bench {

HWND AddTopLevelWindow(const std::wstring& className, PostedMessage onPost) {
    Desktop& desktop = TheDesktop();
    std::lock_guard<std::mutex> lock(desktop.mutex);
    const uintptr_t id = desktop.next;
    desktop.next += 0x10;
    desktop.windows[id] = Window{className, std::move(onPost)};
    return reinterpret_cast<HWND>(id);
}

void RemoveTopLevelWindow(HWND window) {
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
