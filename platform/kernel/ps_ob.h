// System threads and object references.
#pragma once

#include "ke.h"
#include "nt_types.h"
#include "ntstatus_values.h"

using PKSTART_ROUTINE = void (*)(PVOID StartContext);
struct UNICODE_STRING;
struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    UNICODE_STRING* ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L
inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, UNICODE_STRING* n, ULONG a, HANDLE r,
                                       PVOID s) {
    p->Length = sizeof(OBJECT_ATTRIBUTES);
    p->RootDirectory = r;
    p->Attributes = a;
    p->ObjectName = n;
    p->SecurityDescriptor = s;
    p->SecurityQualityOfService = nullptr;
}
// The pseudo-handle of the calling process.
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
struct KTHREAD;
using PKTHREAD = KTHREAD*;
using PETHREAD = KTHREAD*;

#define THREAD_ALL_ACCESS 0x001FFFFF
#define EVENT_MODIFY_STATE 0x0002
#define SYNCHRONIZE 0x00100000

// The thread runs at PASSIVE_LEVEL in the system process (ProcessHandle null) and takes part in the
// machine clock. The handle is a kernel handle with OBJ_KERNEL_HANDLE or when called in the system
// process, else a handle of the calling process.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PVOID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
PKTHREAD KeGetCurrentThread();
PKTHREAD PsGetCurrentThread();

// Processes. Kernel code runs in the process of the thread that called it (a client's request) or
// in the system process (system threads, DPCs, Plug and Play). Attaching (platform/kernel/ifs.h)
// lets a driver touch a client's mappings from another context.
struct KPROCESS;
using PEPROCESS = KPROCESS*;
using PKPROCESS = KPROCESS*;
PEPROCESS PsGetCurrentProcess();
PEPROCESS IoGetCurrentProcess();
HANDLE PsGetCurrentProcessId();

// Object types for ObReferenceObjectByHandle; null accepts any type.
struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* PsProcessType;
extern POBJECT_TYPE* IoFileObjectType;

// Handles are looked up in the current process's handle table (UserMode) or the kernel's table
// (KernelMode). A referenced event is a KEVENT; a referenced thread can be waited on.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, PVOID HandleInformation);
// Both return the object's reference count after the call.
LONG_PTR ObReferenceObject(PVOID Object);
LONG_PTR ObDereferenceObject(PVOID Object);
#define ObfDereferenceObject ObDereferenceObject
// Closes a kernel handle (registry keys, threads, ...).
NTSTATUS ZwClose(HANDLE Handle);
