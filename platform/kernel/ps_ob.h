// System threads and object references.
#pragma once

#include "ke.h"
#include "nt_types.h"
#include "ntstatus_values.h"

using PKSTART_ROUTINE = void (*)(PVOID StartContext);
struct OBJECT_ATTRIBUTES;
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;
struct KTHREAD;
using PKTHREAD = KTHREAD*;
using PETHREAD = KTHREAD*;

#define THREAD_ALL_ACCESS 0x001FFFFF
#define EVENT_MODIFY_STATE 0x0002
#define SYNCHRONIZE 0x00100000

// The thread runs at PASSIVE_LEVEL in the system process and takes part in the machine clock.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PVOID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
PKTHREAD KeGetCurrentThread();

// Object types for ObReferenceObjectByHandle; null accepts any type.
struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* PsThreadType;

// Handles are looked up in the current process's handle table (UserMode) or the kernel's table
// (KernelMode). A referenced event is a KEVENT; a referenced thread can be waited on.
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, PVOID HandleInformation);
void ObReferenceObject(PVOID Object);
void ObDereferenceObject(PVOID Object);
#define ObfDereferenceObject ObDereferenceObject
// Closes a kernel handle (registry keys, threads, ...).
NTSTATUS ZwClose(HANDLE Handle);
