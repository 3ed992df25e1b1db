// System threads (and the threads of emulated processes): real host threads that take part in the
// machine clock, with a waitable thread object that is signalled when they end.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/kernel/wdk.h"
#include "sim/host/machine_core.h"
#include "sim/host/process_internal.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

namespace q407::sim::detail {
namespace {

// Threads between creation and the very end of their host thread (after their last touch of the
// machine), so a machine is only torn down once they are really gone.
std::atomic<int> g_running{0};
std::mutex g_runningMutex;
std::condition_variable g_runningCv;

void ThreadGone() {
    std::lock_guard lock(g_runningMutex);
    --g_running;
    g_runningCv.notify_all();
}
std::atomic<ULONG> g_nextThreadId{0x100};

void DestroyThread(void* body) {
    auto* t = static_cast<KTHREAD*>(body);
    if (t->process != nullptr) ObDereferenceObject(t->process);
}

const ObjectOps kThreadOps{&kThreadType, POOL_TAG("Thre"), nullptr, DestroyThread};
const ObjectOps kAdoptedThreadOps{&kThreadType, 0, nullptr, DestroyThread};

KTHREAD* NewThreadObject(KPROCESS* process, bool adopted = false) {
    auto* t = static_cast<KTHREAD*>(
        CreateObject(adopted ? &kAdoptedThreadOps : &kThreadOps, sizeof(KTHREAD)));
    if (t == nullptr) return nullptr;
    t->Header.Type = DispatcherObjectThread;
    t->Header.SignalState = 0;
    t->process = process;
    if (process != nullptr) ObReferenceObject(process);
    t->id = g_nextThreadId.fetch_add(4);
    t->exitStatus = STATUS_PENDING;
    return t;
}

// Host threads are joined rather than detached: a thread still unwinding its host-side state when
// the program ends can meet the leak checker's stop-the-world and crash it. A thread marks itself
// as returning last; such threads are joined at the next creation, when the machine asks whether
// threads are still running, and at exit.
struct HostThread {
    pthread_t id{};
    std::atomic<bool> returning{false};
};
std::mutex g_hostThreadsMutex;
std::vector<std::shared_ptr<HostThread>>& HostThreads() {
    static auto* threads = new std::vector<std::shared_ptr<HostThread>>;  // outlives exit handlers
    return *threads;
}

// Joins the threads that have returned; at exit also gives the others a moment and detaches what
// still runs (a thread blocked for good must not hold up the program's end).
void JoinReturnedThreads(bool atExit) {
    std::vector<std::shared_ptr<HostThread>> done;
    std::vector<std::shared_ptr<HostThread>> running;
    {
        std::lock_guard lock(g_hostThreadsMutex);
        for (auto& thread : HostThreads())
            (thread->returning.load() ? done : running).push_back(thread);
        HostThreads().swap(running);
        if (atExit) running.swap(HostThreads());
    }
    for (auto& thread : done) pthread_join(thread->id, nullptr);
    if (!atExit) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (auto& thread : running) {
        const auto left = deadline - std::chrono::steady_clock::now();
        const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        if (nanos > 0) {
            until.tv_sec += static_cast<time_t>(nanos / 1'000'000'000);
            until.tv_nsec += static_cast<long>(nanos % 1'000'000'000);
            if (until.tv_nsec >= 1'000'000'000) {
                ++until.tv_sec;
                until.tv_nsec -= 1'000'000'000;
            }
        }
        if (pthread_timedjoin_np(thread->id, nullptr, &until) != 0) pthread_detach(thread->id);
    }
}

void JoinThreadsAtExit() {
    JoinReturnedThreads(true);
}

struct StartBlock {
    KTHREAD* thread;
    void (*entry)(void*);
    void* context;
    const void* driver;  // whose code started the thread
    std::shared_ptr<HostThread> host;
};

// Ends the calling created thread: checks its state, signals the thread object and leaves the
// machine clock, all at once under the machine lock.
void FinishThread(NTSTATUS status, const char* call) {
    ThreadContext& ctx = CurrentThreadContext();
    if (ctx.irql != PASSIVE_LEVEL) BugCheck(call, "thread ends above PASSIVE_LEVEL");
    if (ctx.spinLocksHeld != 0) BugCheck(call, "thread ends holding a spin lock");
    KTHREAD* t = ctx.thread;
    MachineCore& core = MachineCore::Get();
    {
        std::lock_guard lock(core.mutex);
        t->exitStatus = status;
        t->Header.SignalState = 1;
        core.SignalLocked(&t->Header);
        core.LeaveEmulatedLocked();
    }
    ctx.thread = nullptr;
    ctx.process = nullptr;
    ObDereferenceObject(t);
    ThreadGone();
}

void* ThreadMain(void* arg) {
    StartBlock block = *static_cast<StartBlock*>(arg);
    delete static_cast<StartBlock*>(arg);
    ThreadContext& ctx = CurrentThreadContext();
    ctx.thread = block.thread;
    ctx.process = block.thread->process == SystemProcess() ? nullptr : block.thread->process;
    ctx.irql = PASSIVE_LEVEL;
    ctx.driver = block.driver;
    MachineCore::Get().AdoptRegistration();
    block.entry(block.context);
    FinishThread(STATUS_SUCCESS, "system thread");
    block.host->returning.store(true);
    return nullptr;
}

// Threads that were not created through the machine get a thread object on first use.
struct AdoptedThread {
    KTHREAD* thread = nullptr;
    ~AdoptedThread() {
        if (thread == nullptr) return;
        MachineCore& core = MachineCore::Get();
        {
            std::lock_guard lock(core.mutex);
            thread->Header.SignalState = 1;
            core.SignalLocked(&thread->Header);
        }
        ObDereferenceObject(thread);
    }
};

}  // namespace

KTHREAD* StartThread(KPROCESS* process, void (*entry)(void*), void* context, NTSTATUS* status,
                     bool machineOwn) {
    KTHREAD* t = NewThreadObject(process != nullptr ? process : SystemProcess(), machineOwn);
    if (t == nullptr) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    t->created = true;
    ObReferenceObject(t);  // the caller's reference; the thread itself holds the first
    MachineCore& core = MachineCore::Get();
    {
        std::lock_guard lock(core.mutex);
        core.PreRegisterThreadLocked();
    }
    static const bool exitHandler = std::atexit(JoinThreadsAtExit) == 0;
    (void)exitHandler;  // without it threads are only joined while the machine runs
    JoinReturnedThreads(false);
    ++g_running;
    auto host = std::make_shared<HostThread>();
    auto* block = new StartBlock{t, entry, context, CurrentThreadContext().driver, host};
    // The host thread's id is published before the thread can mark itself returning.
    std::unique_lock hostLock(g_hostThreadsMutex);
    const int rc = pthread_create(&host->id, nullptr, ThreadMain, block);
    if (rc == 0) HostThreads().push_back(host);
    hostLock.unlock();
    if (rc != 0) {
        delete block;
        --g_running;
        {
            std::lock_guard lock(core.mutex);
            core.LeaveEmulatedLocked();  // balances the pre-registration
        }
        ObDereferenceObject(t);
        ObDereferenceObject(t);
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return t;
}

int RunningThreads() {
    // A thread that signalled its end may still be on its way out: give it a moment.
    std::unique_lock lock(g_runningMutex);
    g_runningCv.wait_for(lock, std::chrono::seconds(5), [] { return g_running.load() == 0; });
    const int running = g_running.load();
    lock.unlock();
    JoinReturnedThreads(false);
    return running;
}

}  // namespace q407::sim::detail

using namespace q407::sim;

PKTHREAD KeGetCurrentThread() {
    ThreadContext& ctx = CurrentThreadContext();
    if (ctx.thread == nullptr) {
        thread_local detail::AdoptedThread adopted;
        if (adopted.thread == nullptr)
            adopted.thread = detail::NewThreadObject(detail::SystemProcess(), true);
        ctx.thread = adopted.thread;
    }
    return ctx.thread;
}

PKTHREAD PsGetCurrentThread() {
    return KeGetCurrentThread();
}

namespace {
struct SystemThreadStart {
    PKSTART_ROUTINE routine;
    PVOID context;
};
void RunSystemThread(void* arg) {
    SystemThreadStart start = *static_cast<SystemThreadStart*>(arg);
    delete static_cast<SystemThreadStart*>(arg);
    start.routine(start.context);
}
}  // namespace

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PVOID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    (void)ClientId;
    RequirePassive("PsCreateSystemThread");
    if (ThreadHandle == nullptr || StartRoutine == nullptr)
        BugCheck("PsCreateSystemThread", "null handle pointer or start routine");
    *ThreadHandle = nullptr;
    KPROCESS* process = nullptr;  // system
    if (ProcessHandle == NtCurrentProcess()) {
        process = CurrentThreadContext().process;
    } else if (ProcessHandle != nullptr) {
        PVOID object;
        NTSTATUS s = ObReferenceObjectByHandle(ProcessHandle, 0, *PsProcessType, KernelMode,
                                               &object, nullptr);
        if (!NT_SUCCESS(s)) return s;
        process = static_cast<KPROCESS*>(object);
        ObDereferenceObject(object);
        if (process == detail::SystemProcess()) process = nullptr;
    }
    const bool kernelHandle =
        (ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0) ||
        CurrentThreadContext().process == nullptr;
    auto* start = new SystemThreadStart{StartRoutine, StartContext};
    NTSTATUS status;
    KTHREAD* t = detail::StartThread(process, RunSystemThread, start, &status);
    if (t == nullptr) {
        delete start;
        return status;
    }
    HandleTable& table =
        kernelHandle ? KernelHandles() : *detail::ProcessOf(CurrentThreadContext().process).handles;
    *ThreadHandle = table.Insert(t, DesiredAccess);
    ObDereferenceObject(t);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    ThreadContext& ctx = CurrentThreadContext();
    if (ctx.thread == nullptr || !ctx.thread->created)
        BugCheck("PsTerminateSystemThread", "not called by a system thread");
    detail::FinishThread(ExitStatus, "PsTerminateSystemThread");
    pthread_exit(nullptr);
}
