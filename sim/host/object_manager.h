// Object manager of the emulated machine: reference-counted objects with a header before the body,
// and handle tables (one per emulated process, one for the kernel).
#pragma once

#include <map>
#include <mutex>

#include "platform/kernel/ps_ob.h"

struct OBJECT_TYPE {
    const char* name;
};

namespace q407::sim {

// Type-specific behaviour of objects.
struct ObjectOps {
    const OBJECT_TYPE* type;
    // Objects of drivers' making come from non-paged pool with this tag; the machine's own
    // long-lived objects (the system process, adopted threads, client processes) use 0 and stay
    // out of the pool books.
    ULONG poolTag;
    // The last handle to the object was closed (files: IRP_MJ_CLEANUP). Optional.
    void (*lastHandleClosed)(void* body);
    // The last reference went: release what the body holds (files: IRP_MJ_CLOSE). Optional. The
    // memory is freed afterwards.
    void (*destroy)(void* body);
};

extern const OBJECT_TYPE kEventType;
extern const OBJECT_TYPE kThreadType;
extern const OBJECT_TYPE kProcessType;
extern const OBJECT_TYPE kFileType;
extern const OBJECT_TYPE kDeviceType;
extern const OBJECT_TYPE kKeyType;

// Allocates a zeroed object body with one reference; null when pool refuses.
void* CreateObject(const ObjectOps* ops, size_t bodySize);
// True if body is a live object (of that type, when type is given).
bool IsObject(const void* body, const OBJECT_TYPE* type = nullptr);
const OBJECT_TYPE* ObjectType(const void* body);
LONG ObjectReferenceCount(const void* body);

class HandleTable {
  public:
    explicit HandleTable(bool kernel) : kernel_(kernel) {}
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // Takes a new reference for the handle.
    HANDLE Insert(void* body, ACCESS_MASK access);
    // References the object of a handle; false for an unknown handle.
    bool Reference(HANDLE handle, void** body, ACCESS_MASK* access);
    // Closes a handle: the handle's reference is dropped. False for an unknown handle.
    bool Close(HANDLE handle);
    // Closes every handle, in the order they were opened.
    void CloseAll();
    size_t Count() const;

  private:
    struct Entry {
        void* body;
        ACCESS_MASK access;
    };
    bool kernel_;
    mutable std::mutex mutex_;
    std::map<uintptr_t, Entry> entries_;
    uintptr_t next_ = 1;
};

HandleTable& KernelHandles();
bool IsKernelHandle(HANDLE handle);

// The handle table that a handle from the calling context refers to (kernel handles go to the
// kernel's table; others to the current process's).
HandleTable& HandlesFor(HANDLE handle);

}  // namespace q407::sim
