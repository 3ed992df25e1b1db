#include "sim/host/object_manager.h"

#include <atomic>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "platform/kernel/ex_pool.h"
#include "sim/host/process_internal.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

namespace q407::sim {

const OBJECT_TYPE kEventType{"Event"};
const OBJECT_TYPE kThreadType{"Thread"};
const OBJECT_TYPE kProcessType{"Process"};
const OBJECT_TYPE kFileType{"File"};
const OBJECT_TYPE kDeviceType{"Device"};
const OBJECT_TYPE kKeyType{"Key"};

namespace {

constexpr uint64_t kObjectMagic = 0x4f424a4543545151ULL;

struct alignas(16) ObjectHeader {
    uint64_t magic;
    const ObjectOps* ops;
    std::atomic<LONG> references;
    std::atomic<LONG> handles;
};
static_assert(sizeof(ObjectHeader) % 16 == 0);

struct Registry {
    std::mutex mutex;
    std::unordered_set<const void*> live;
};

Registry& Objects() {
    static Registry* r = new Registry();
    return *r;
}

ObjectHeader* HeaderOf(const void* body) {
    return reinterpret_cast<ObjectHeader*>(const_cast<char*>(static_cast<const char*>(body))) - 1;
}

ObjectHeader* CheckedHeader(const void* body, const char* call) {
    if (body == nullptr) BugCheck(call, "null object");
    {
        Registry& r = Objects();
        std::lock_guard lock(r.mutex);
        if (r.live.count(body) == 0) BugCheck(call, "not a live object");
    }
    return HeaderOf(body);
}

LONG Release(void* body, const char* call) {
    ObjectHeader* h = CheckedHeader(body, call);
    const LONG left = --h->references;
    if (left < 0) BugCheck(call, "reference count below zero");
    if (left != 0) return left;
    {
        Registry& r = Objects();
        std::lock_guard lock(r.mutex);
        r.live.erase(body);
    }
    const ObjectOps* ops = h->ops;
    if (ops->destroy != nullptr) ops->destroy(body);
    h->magic = 0;
    if (ops->poolTag == 0)
        ::operator delete(h, std::align_val_t(16));
    else
        ExFreePoolWithTag(h, ops->poolTag);
    return 0;
}

}  // namespace

void* CreateObject(const ObjectOps* ops, size_t bodySize) {
    const size_t size = sizeof(ObjectHeader) + bodySize;
    void* memory;
    {
        // Objects live as long as their references, which a driver does not control alone: they
        // are the system's pool, not the driver that asked for them.
        DriverScope system(nullptr);
        memory = ops->poolTag == 0 ? ::operator new(size, std::align_val_t(16))
                                   : ExAllocatePoolWithTag(NonPagedPool, size, ops->poolTag);
    }
    if (memory == nullptr) return nullptr;
    memset(memory, 0, sizeof(ObjectHeader) + bodySize);
    auto* h = new (memory) ObjectHeader{};
    h->magic = kObjectMagic;
    h->ops = ops;
    h->references = 1;
    h->handles = 0;
    void* body = h + 1;
    Registry& r = Objects();
    std::lock_guard lock(r.mutex);
    r.live.insert(body);
    return body;
}

bool IsObject(const void* body, const OBJECT_TYPE* type) {
    if (body == nullptr) return false;
    Registry& r = Objects();
    std::lock_guard lock(r.mutex);
    if (r.live.count(body) == 0) return false;
    return type == nullptr || HeaderOf(body)->ops->type == type;
}

const OBJECT_TYPE* ObjectType(const void* body) {
    return CheckedHeader(body, "ObjectType")->ops->type;
}

LONG ObjectReferenceCount(const void* body) {
    return CheckedHeader(body, "ObjectReferenceCount")->references.load();
}

// --- Handle tables -------------------------------------------------------------------------

// Kernel handles carry the high bits, as on Windows, so a kernel handle never collides with a
// process's handle.
static constexpr uintptr_t kKernelHandleBits = 0xFFFFFFFF80000000ULL;

bool IsKernelHandle(HANDLE handle) {
    return (reinterpret_cast<uintptr_t>(handle) & kKernelHandleBits) == kKernelHandleBits;
}

HANDLE HandleTable::Insert(void* body, ACCESS_MASK access) {
    ObjectHeader* h = CheckedHeader(body, "HandleTable::Insert");
    ++h->references;
    ++h->handles;
    std::lock_guard lock(mutex_);
    const uintptr_t value = (next_++ * 4) | (kernel_ ? kKernelHandleBits : 0);
    entries_.emplace(value, Entry{body, access});
    return reinterpret_cast<HANDLE>(value);
}

bool HandleTable::Reference(HANDLE handle, void** body, ACCESS_MASK* access) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == entries_.end()) return false;
    ++HeaderOf(it->second.body)->references;
    *body = it->second.body;
    if (access != nullptr) *access = it->second.access;
    return true;
}

bool HandleTable::Close(HANDLE handle) {
    void* body;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == entries_.end()) return false;
        body = it->second.body;
        entries_.erase(it);
    }
    ObjectHeader* h = HeaderOf(body);
    if (--h->handles == 0 && h->ops->lastHandleClosed != nullptr) h->ops->lastHandleClosed(body);
    Release(body, "ZwClose");
    return true;
}

void HandleTable::CloseAll() {
    for (;;) {
        HANDLE first;
        {
            std::lock_guard lock(mutex_);
            if (entries_.empty()) return;
            first = reinterpret_cast<HANDLE>(entries_.begin()->first);
        }
        Close(first);
    }
}

size_t HandleTable::Count() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

HandleTable& KernelHandles() {
    static HandleTable* table = new HandleTable(true);
    return *table;
}

HandleTable& HandlesFor(HANDLE handle) {
    if (IsKernelHandle(handle)) return KernelHandles();
    return *detail::ProcessOf(CurrentThreadContext().process).handles;
}

}  // namespace q407::sim

// --- Object manager entry points --------------------------------------------------------------

namespace {
POBJECT_TYPE g_eventType = const_cast<POBJECT_TYPE>(&q407::sim::kEventType);
POBJECT_TYPE g_threadType = const_cast<POBJECT_TYPE>(&q407::sim::kThreadType);
POBJECT_TYPE g_processType = const_cast<POBJECT_TYPE>(&q407::sim::kProcessType);
POBJECT_TYPE g_fileType = const_cast<POBJECT_TYPE>(&q407::sim::kFileType);
}  // namespace

POBJECT_TYPE* ExEventObjectType = &g_eventType;
POBJECT_TYPE* PsThreadType = &g_threadType;
POBJECT_TYPE* PsProcessType = &g_processType;
POBJECT_TYPE* IoFileObjectType = &g_fileType;

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, PVOID HandleInformation) {
    (void)HandleInformation;
    q407::sim::RequireAtMostApc("ObReferenceObjectByHandle");
    *Object = nullptr;
    if (Handle == nullptr) return STATUS_INVALID_HANDLE;
    // A client may not name a kernel handle.
    if (AccessMode == UserMode && q407::sim::IsKernelHandle(Handle)) return STATUS_INVALID_HANDLE;
    void* body;
    ACCESS_MASK granted;
    if (!q407::sim::HandlesFor(Handle).Reference(Handle, &body, &granted))
        return STATUS_INVALID_HANDLE;
    if (ObjectType != nullptr && q407::sim::ObjectType(body) != ObjectType) {
        ObDereferenceObject(body);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (AccessMode == UserMode && (DesiredAccess & ~granted) != 0) {
        ObDereferenceObject(body);
        return STATUS_ACCESS_DENIED;
    }
    *Object = body;
    return STATUS_SUCCESS;
}

LONG_PTR ObReferenceObject(PVOID Object) {
    return ++q407::sim::CheckedHeader(Object, "ObReferenceObject")->references;
}

LONG_PTR ObDereferenceObject(PVOID Object) {
    q407::sim::RequireAtMostDispatch("ObDereferenceObject");
    return q407::sim::Release(Object, "ObDereferenceObject");
}

NTSTATUS ZwClose(HANDLE Handle) {
    q407::sim::RequirePassive("ZwClose");
    if (Handle == nullptr) return STATUS_INVALID_HANDLE;
    return q407::sim::HandlesFor(Handle).Close(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
