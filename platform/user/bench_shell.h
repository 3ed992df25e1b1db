// The bench's top-level windows and program start-up, as far as a client looks for another
// program's window, posts it a message and starts the program: FindWindowW, PostMessageW,
// SetForegroundWindow and ShellExecuteW. No window system runs here; a test stands in for the
// other program by registering its window and by answering start requests. A client linked to a
// machine in another Linux process (remote::ClientLink) shares the machine's windows with its other
// clients instead: registering, finding, posting and bringing forward are asked of the machine, and
// posted messages come back as notices to the owner's callback.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/user/bench_win32.h"

namespace q407::win32 {

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using INT = int;
using HINSTANCE = struct HINSTANCE__*;

inline constexpr UINT WM_SHOWWINDOW = 0x0018;
inline constexpr INT SW_SHOWNORMAL = 1;

HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName);
BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL SetForegroundWindow(HWND hWnd);
// Above 32 when the program was started, as Win32 answers.
HINSTANCE ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                        LPCWSTR lpDirectory, INT nShowCmd);

namespace bench {

using PostedMessage = std::function<void(UINT message, WPARAM wParam, LPARAM lParam)>;
// A top-level window of `className` whose posted messages go to `onPost`.
HWND AddTopLevelWindow(const std::wstring& className, PostedMessage onPost);
void RemoveTopLevelWindow(HWND window);
// The window this Linux process's in-process desktop brought forward last.
HWND ForegroundWindow();
// Answers ShellExecuteW: true when the program `file` was started. None: nothing starts, except
// in a linked client, which starts the programs it knows as Linux processes (program_launcher.h).
void SetProgramLauncher(std::function<bool(const std::wstring& file)> launcher);

}  // namespace bench
}  // namespace q407::win32
