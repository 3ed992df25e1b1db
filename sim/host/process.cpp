#include "sim/host/process.h"

#include <atomic>
#include <new>

#include "sim/host/device_interfaces.h"
#include "sim/host/io_internal.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine_core.h"
#include "sim/host/memory_views.h"
#include "sim/host/process_internal.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

namespace q407::sim {
namespace {

std::atomic<ULONG> g_nextProcessId{0x100};

// Guards KPROCESS::clientSpace, which the process drops when it ends while drivers may still ask.
std::mutex g_clientSpaceMutex;

// The Process objects by their kernel process, for code that only knows the current thread.
std::mutex g_processesMutex;
std::vector<std::pair<KPROCESS*, Process*>>& LiveProcesses() {
    static auto* live = new std::vector<std::pair<KPROCESS*, Process*>>();
    return *live;
}
constexpr uintptr_t kAttachMagic = 0x41545443;

void DestroyProcess(void* body) {
    auto* p = static_cast<KPROCESS*>(body);
    if (p->handles != &KernelHandles()) delete p->handles;
    p->~KPROCESS();
}

const ObjectOps kProcessOps{&kProcessType, 0, nullptr, DestroyProcess};

KPROCESS* NewProcess(ULONG id, std::string name, HandleTable* handles) {
    void* body = CreateObject(&kProcessOps, sizeof(KPROCESS));
    if (body == nullptr) BugCheck("CreateProcess", "no pool for the process object");
    auto* p = new (body) KPROCESS{};
    p->id = id;
    p->name = std::move(name);
    p->handles = handles;
    KeInitializeEvent(&p->terminating, NotificationEvent, FALSE);
    return p;
}

// --- Files: a handle to a device opened through its interface ------------------------------

struct FileRecord {
    std::wstring name;
    bool opened = false;  // IRP_MJ_CREATE succeeded: CLOSE is owed
};

std::mutex g_fileMutex;  // open-file counts of devices, the last-close handler
std::function<void(PDEVICE_OBJECT)> g_lastFileClosed;

NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major, bool referenceFile) {
    detail::OwnedIrpSetup setup;
    setup.major = major;
    setup.mode = UserMode;
    setup.file = referenceFile ? file : nullptr;
    return detail::SendToStackAndWait(
        file->DeviceObject, setup,
        [file](PIRP irp, NTSTATUS*) {
            IoGetNextIrpStackLocation(irp)->FileObject = file;
            return true;
        },
        nullptr);
}

void FileCleanup(void* body) {
    auto* file = static_cast<PFILE_OBJECT>(body);
    if (static_cast<FileRecord*>(file->SimData)->opened)
        SendFileRequest(file, IRP_MJ_CLEANUP, true);
}

void CloseInThread(void* body) {
    auto* file = static_cast<PFILE_OBJECT>(body);
    SendFileRequest(file, IRP_MJ_CLOSE, false);
}

void FileDestroy(void* body) {
    auto* file = static_cast<PFILE_OBJECT>(body);
    auto* record = static_cast<FileRecord*>(file->SimData);
    std::function<void(PDEVICE_OBJECT)> lastClosed;
    if (record->opened) {
        // The last reference can go at raised IRQL (a driver's dereference in a DPC); the close
        // request then runs on a thread of its own, as the system defers it.
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            CloseInThread(file);
        } else {
            BugCheck("ObDereferenceObject",
                     "last reference to an open file object dropped above PASSIVE_LEVEL");
        }
        std::lock_guard lock(g_fileMutex);
        if (--detail::RecordOf(file->DeviceObject).openFiles == 0) lastClosed = g_lastFileClosed;
    }
    if (lastClosed) lastClosed(file->DeviceObject);
    ObDereferenceObject(file->DeviceObject);
    delete record;
}

const ObjectOps kFileOps{&kFileType, POOL_TAG("File"), FileCleanup, FileDestroy};
void EventDestroy(void* body) {
    detail::DropEventMirror(static_cast<PKEVENT>(body));
}

const ObjectOps kEventOps{&kEventType, POOL_TAG("Even"), nullptr, EventDestroy};

struct ThreadStart {
    std::function<void()> body;
};

void RunProcessThread(void* arg) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    try {
        start->body();
    } catch (const ProcessEnded&) {
    }
}

}  // namespace

namespace detail {

KPROCESS* SystemProcess() {
    static KPROCESS* system = NewProcess(kSystemProcessId, "System", &KernelHandles());
    return system;
}

KPROCESS& ProcessOf(KPROCESS* process) {
    return process != nullptr ? *process : *SystemProcess();
}

std::shared_ptr<ClientAddressSpace> ClientSpaceOf(KPROCESS* process) {
    if (process == nullptr) return nullptr;
    std::lock_guard lock(g_clientSpaceMutex);
    return process->clientSpace;
}

}  // namespace detail

ULONG CurrentProcessId() {
    return detail::ProcessOf(CurrentThreadContext().process).id;
}

void ResetProcesses() {}

void AttachClientAddressSpace(Process& process, std::shared_ptr<ClientAddressSpace> space) {
    if (space == nullptr) BugCheck("AttachClientAddressSpace", "no address space");
    KPROCESS* p = process.Kernel();
    if (p->ended) BugCheck("AttachClientAddressSpace", "the process has ended");
    std::lock_guard lock(g_clientSpaceMutex);
    if (p->clientSpace != nullptr)
        BugCheck("AttachClientAddressSpace", "the process already has a client address space");
    p->clientSpace = std::move(space);
}

Process::Process(std::string name)
    : process_(NewProcess(g_nextProcessId.fetch_add(4), std::move(name), new HandleTable(false))) {
    std::lock_guard lock(g_processesMutex);
    LiveProcesses().emplace_back(process_, this);
}

Process::~Process() {
    if (!process_->ended) End();
    {
        std::lock_guard lock(g_processesMutex);
        auto& live = LiveProcesses();
        for (auto it = live.begin(); it != live.end(); ++it) {
            if (it->second == this) {
                live.erase(it);
                break;
            }
        }
    }
    ObDereferenceObject(process_);
}

Process* CurrentUserProcess() {
    KPROCESS* current = CurrentThreadContext().process;
    if (current == nullptr) return nullptr;
    std::lock_guard lock(g_processesMutex);
    for (auto& [kernel, process] : LiveProcesses())
        if (kernel == current) return process;
    return nullptr;
}

ULONG Process::Id() const {
    return process_->id;
}

Process::Scope::Scope(Process& process) {
    KeStackAttachProcess(process.process_, &state_);
}

Process::Scope::~Scope() {
    KeUnstackDetachProcess(&state_);
}

HANDLE Process::StartThread(std::function<void()> body) {
    auto* start = new ThreadStart{std::move(body)};
    NTSTATUS status;
    KTHREAD* t = detail::StartThread(process_, RunProcessThread, start, &status);
    if (t == nullptr) {
        delete start;
        return nullptr;
    }
    HANDLE h = process_->handles->Insert(t, THREAD_ALL_ACCESS);
    std::lock_guard lock(mutex_);
    threads_.push_back(t);  // keeps the caller's reference
    return h;
}

size_t OpenFileCount(PDEVICE_OBJECT physicalDevice) {
    std::lock_guard lock(g_fileMutex);
    return detail::RecordOf(physicalDevice).openFiles;
}

void SetLastFileClosedHandler(std::function<void(PDEVICE_OBJECT)> handler) {
    std::lock_guard lock(g_fileMutex);
    g_lastFileClosed = std::move(handler);
}

NTSTATUS Process::OpenDevice(const std::wstring& symbolicLink, HANDLE* handle) {
    Scope scope(*this);
    *handle = nullptr;
    PDEVICE_OBJECT physical;
    std::wstring remainder;
    if (!detail::ResolveDeviceInterface(symbolicLink, &physical, &remainder))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if ((TopOfStack(physical)->Flags & DO_DEVICE_INITIALIZING) != 0) {
        ObDereferenceObject(physical);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto* file = static_cast<PFILE_OBJECT>(CreateObject(&kFileOps, sizeof(FILE_OBJECT)));
    if (file == nullptr) {
        ObDereferenceObject(physical);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* record = new FileRecord{remainder, false};
    file->Type = 5;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = physical;  // the file's reference
    file->SimData = record;
    file->FileName.Buffer = record->name.data();
    file->FileName.Length = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = file->FileName.Length;
    const NTSTATUS status = SendFileRequest(file, IRP_MJ_CREATE, true);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(file);
        return status;
    }
    record->opened = true;
    {
        std::lock_guard lock(g_fileMutex);
        ++detail::RecordOf(physical).openFiles;
    }
    *handle = process_->handles->Insert(file, 0x001F01FF /* FILE_ALL_ACCESS */);
    ObDereferenceObject(file);
    return status;
}

NTSTATUS Process::DeviceIoControl(HANDLE device, ULONG ioControlCode, const void* input,
                                  ULONG inputLength, void* output, ULONG outputLength,
                                  ULONG* bytesReturned) {
    Scope scope(*this);
    if (bytesReturned != nullptr) *bytesReturned = 0;
    PVOID object;
    NTSTATUS status =
        ObReferenceObjectByHandle(device, 0, *IoFileObjectType, UserMode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* file = static_cast<PFILE_OBJECT>(object);
    detail::OwnedIrpSetup setup;
    setup.mode = UserMode;
    setup.file = file;
    ULONG_PTR information = 0;
    status = detail::SendToStackAndWait(
        file->DeviceObject, setup,
        [&](PIRP irp, NTSTATUS* failure) {
            return detail::SetupDeviceControl(irp, ioControlCode, const_cast<void*>(input),
                                              inputLength, output, outputLength, false, failure);
        },
        &information);
    if (bytesReturned != nullptr) *bytesReturned = static_cast<ULONG>(information);
    ObDereferenceObject(file);
    return status;
}

HANDLE Process::CreateEvent(bool manualReset, bool initialState) {
    auto* event = static_cast<PKEVENT>(CreateObject(&kEventOps, sizeof(KEVENT)));
    if (event == nullptr) return nullptr;
    KeInitializeEvent(event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    HANDLE h = process_->handles->Insert(event, 0x001F0003 /* EVENT_ALL_ACCESS */);
    ObDereferenceObject(event);
    return h;
}

static PKEVENT ReferenceEvent(KPROCESS* process, HANDLE handle) {
    void* body;
    if (!process->handles->Reference(handle, &body, nullptr)) return nullptr;
    if (ObjectType(body) != &kEventType) {
        ObDereferenceObject(body);
        return nullptr;
    }
    return static_cast<PKEVENT>(body);
}

bool Process::SetEvent(HANDLE event) {
    PKEVENT e = ReferenceEvent(process_, event);
    if (e == nullptr) return false;
    KeSetEvent(e, IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(e);
    return true;
}

bool Process::ResetEvent(HANDLE event) {
    PKEVENT e = ReferenceEvent(process_, event);
    if (e == nullptr) return false;
    KeClearEvent(e);
    ObDereferenceObject(e);
    return true;
}

NTSTATUS Process::WaitForAny(std::initializer_list<HANDLE> handles, ULONG timeoutMs) {
    return Wait(handles.begin(), static_cast<ULONG>(handles.size()), false, timeoutMs);
}

NTSTATUS Process::Wait(const HANDLE* handles, ULONG count, bool waitAll, ULONG timeoutMs) {
    if (count == 0 || count + 1 > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
    PVOID objects[MAXIMUM_WAIT_OBJECTS];
    ULONG referenced = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < count; ++i) {
        void* body;
        if (!process_->handles->Reference(handles[i], &body, nullptr)) {
            status = STATUS_INVALID_HANDLE;
            break;
        }
        objects[referenced++] = body;
        const OBJECT_TYPE* type = ObjectType(body);
        if (type != &kEventType && type != &kThreadType) {
            status = STATUS_INVALID_HANDLE;
            break;
        }
    }
    bool ended = false;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -LONGLONG(timeoutMs) * 10'000;
    PLARGE_INTEGER due = timeoutMs == kInfiniteWait ? nullptr : &timeout;
    if (NT_SUCCESS(status) && !waitAll) {
        objects[count] = &process_->terminating;
        status = KeWaitForMultipleObjects(count + 1, objects, WaitAny, UserRequest, UserMode, FALSE,
                                          due, nullptr);
        ended = status == static_cast<NTSTATUS>(STATUS_WAIT_0 + count);
    } else if (NT_SUCCESS(status)) {
        // Waiting for all of them must still give up when the process ends: an untimed wait
        // goes in slices.
        LARGE_INTEGER slice;
        slice.QuadPart = -50 * 10'000;
        do {
            status = KeWaitForMultipleObjects(count, objects, WaitAll, UserRequest, UserMode, FALSE,
                                              due != nullptr ? due : &slice, nullptr);
            ended = KeReadStateEvent(&process_->terminating) != 0;
        } while (status == STATUS_TIMEOUT && due == nullptr && !ended);
    }
    for (ULONG i = 0; i < referenced; ++i) ObDereferenceObject(objects[i]);
    if (ended) throw ProcessEnded{};
    return status;
}

NTSTATUS Process::Close(HANDLE handle) {
    Scope scope(*this);
    if (IsKernelHandle(handle)) return STATUS_INVALID_HANDLE;
    return process_->handles->Close(handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

size_t Process::HandleCount() const {
    return process_->handles->Count();
}

size_t Process::ViewCount() const {
    return ProcessViewCount(process_);
}

void Process::End() {
    if (process_->ended) return;
    RequirePassive("Process::End");
    KeSetEvent(&process_->terminating, IO_NO_INCREMENT, FALSE);
    std::vector<PKTHREAD> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (PKTHREAD t : threads) {
        KeWaitForSingleObject(t, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(t);
    }
    {
        Scope scope(*this);
        process_->handles->CloseAll();
    }
    UnmapProcessViews(process_);
    process_->ended = true;
    // Released on return, outside the lock: the space may hold the client's connection.
    std::shared_ptr<ClientAddressSpace> space;
    std::lock_guard lock(g_clientSpaceMutex);
    space.swap(process_->clientSpace);
}

bool Process::Ended() const {
    return process_->ended;
}

}  // namespace q407::sim

using namespace q407::sim;

PEPROCESS PsGetCurrentProcess() {
    return &detail::ProcessOf(CurrentThreadContext().process);
}

PEPROCESS IoGetCurrentProcess() {
    return PsGetCurrentProcess();
}

HANDLE PsGetCurrentProcessId() {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(CurrentProcessId()));
}

void KeStackAttachProcess(PEPROCESS Process, PRKAPC_STATE ApcState) {
    RequireAtMostDispatch("KeStackAttachProcess");
    if (!IsObject(Process, &kProcessType)) BugCheck("KeStackAttachProcess", "not a process");
    ThreadContext& ctx = CurrentThreadContext();
    ApcState->Reserved[0] = ctx.process;
    ApcState->Reserved[1] = reinterpret_cast<PVOID>(kAttachMagic);
    ctx.process = Process == detail::SystemProcess() ? nullptr : Process;
}

void KeUnstackDetachProcess(PRKAPC_STATE ApcState) {
    if (ApcState->Reserved[1] != reinterpret_cast<PVOID>(kAttachMagic))
        BugCheck("KeUnstackDetachProcess", "no matching KeStackAttachProcess");
    ApcState->Reserved[1] = nullptr;
    CurrentThreadContext().process = static_cast<KPROCESS*>(ApcState->Reserved[0]);
}
