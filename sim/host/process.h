// Emulated user processes: each has its own handle table and its own view of mapped memory, and
// its threads reach the device through the I/O manager as Win32 clients do (open a device
// interface, device I/O control, events, threads). Ending a process closes its handles (the
// drivers see IRP_MJ_CLEANUP and IRP_MJ_CLOSE) and unmaps its views.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/ifs.h"
#include "platform/kernel/wdk.h"

namespace q407::sim {

// Thrown out of a user-mode wait in a process that is being ended; a process thread started with
// Process::StartThread ends quietly when it escapes.
struct ProcessEnded {};

constexpr ULONG kSystemProcessId = 4;
constexpr ULONG kInfiniteWait = 0xFFFFFFFF;

// The process the calling thread runs in (kSystemProcessId for kernel threads).
ULONG CurrentProcessId();

class Process {
  public:
    explicit Process(std::string name = "client");
    // Ends the process if it is still running.
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    ULONG Id() const;
    PEPROCESS Kernel() const { return process_; }

    // Makes the calling thread run in the process for the scope (it must be an emulated thread
    // for waits to take part in the machine clock).
    class Scope {
      public:
        explicit Scope(Process& process);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        KAPC_STATE state_{};
    };

    // Starts an emulated thread in the process; the handle (in the process's table) is signalled
    // when the thread ends. Null when the thread cannot be created.
    HANDLE StartThread(std::function<void()> body);

    // The calls below run in the process on the calling thread.

    // Opens a device interface by its symbolic link name ("\\?\..." or "\??\...", case does not
    // matter; a trailing "\name" goes to the driver as the file name): IRP_MJ_CREATE.
    NTSTATUS OpenDevice(const std::wstring& symbolicLink, HANDLE* handle);
    // Synchronous device I/O control through IRP_MJ_DEVICE_CONTROL; the buffers are client memory.
    NTSTATUS DeviceIoControl(HANDLE device, ULONG ioControlCode, const void* input,
                             ULONG inputLength, void* output, ULONG outputLength,
                             ULONG* bytesReturned);
    HANDLE CreateEvent(bool manualReset, bool initialState);
    bool SetEvent(HANDLE event);
    bool ResetEvent(HANDLE event);
    // Waits for any of the objects (events, threads): STATUS_WAIT_0 + index or STATUS_TIMEOUT.
    // STATUS_INVALID_HANDLE for a handle that is not waitable. Throws ProcessEnded when the
    // process is being ended.
    NTSTATUS WaitForAny(std::initializer_list<HANDLE> handles, ULONG timeoutMs = kInfiniteWait);
    // The same for an array of handles; with waitAll, until every object is signalled
    // (STATUS_WAIT_0 then).
    NTSTATUS Wait(const HANDLE* handles, ULONG count, bool waitAll, ULONG timeoutMs);
    NTSTATUS Close(HANDLE handle);

    size_t HandleCount() const;
    size_t ViewCount() const;

    // Ends the process: user-mode waits of its threads give up (ProcessEnded), the threads are
    // waited for, then every handle is closed in the process's context and its views unmapped.
    void End();
    bool Ended() const;

  private:
    PEPROCESS process_;
    std::mutex mutex_;
    std::vector<PKTHREAD> threads_;  // referenced
};

// The Process object of the process the calling thread runs in (a thread started by StartThread,
// or a thread inside a Process::Scope); null in the system process.
Process* CurrentUserProcess();

// Machine start-up.
void ResetProcesses();

}  // namespace q407::sim
