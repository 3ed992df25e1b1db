// Kernel code built against the real kit headers (the Windows build): the kit's own headers, and
// the few names that mingw-w64's kit lacks or that this project adds. Nothing here may differ in
// meaning from the emulated kernel's declarations of the same names.
#pragma once

#include <ntddk.h>
#include <ntstrsafe.h>
#include <usb.h>
#include <usbioctl.h>
// mingw-w64's usbdlib.h declares USBD.SYS's exports without C linkage for C++.
extern "C" {
#include <usbdlib.h>
}

// --- Names of this project ------------------------------------------------------------------

// Pool tags read as their four characters in memory (and in pool dumps): "Zel6" is
// POOL_TAG("Zel6").
constexpr ULONG POOL_TAG(const char (&s)[5]) {
    return ULONG(UCHAR(s[0])) | (ULONG(UCHAR(s[1])) << 8) | (ULONG(UCHAR(s[2])) << 16) |
           (ULONG(UCHAR(s[3])) << 24);
}

// Reset pipe (URB_FUNCTION_RESET_PIPE), abort pipe (URB_FUNCTION_ABORT_PIPE) and the sync
// variants.
inline void UsbBuildPipeRequest(PURB urb, USHORT function, USBD_PIPE_HANDLE pipeHandle) {
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.PipeHandle = pipeHandle;
}

// Client memory named in a request is read and written only through these: the range is probed
// and copied inside an exception handler, so an address the current process cannot access fails
// the request with the exception's status instead of faulting. PASSIVE_LEVEL, in the client's
// context.
inline NTSTATUS ProbeAndReadUserBuffer(PVOID Destination, const void* UserSource, SIZE_T Length) {
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        ProbeForRead(const_cast<PVOID>(UserSource), Length, 1);
        RtlCopyMemory(Destination, UserSource, Length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}
inline NTSTATUS ProbeAndWriteUserBuffer(PVOID UserDestination, const void* Source, SIZE_T Length) {
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        ProbeForWrite(UserDestination, Length, 1);
        RtlCopyMemory(UserDestination, Source, Length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}

// Vector code wider than SSE2 calls this first: the emulated kernel stops a routine that uses
// such registers without an open KeSaveExtendedProcessorState for them. Windows offers no such
// check, so here it only documents the requirement.
inline void KeCheckExtendedStateSaved(ULONG64 Mask) {
    UNREFERENCED_PARAMETER(Mask);
}

// --- What mingw-w64's kit lacks -------------------------------------------------------------

// mingw-w64 assigns the name to itself, which a const local (a status kept only to be ignored)
// cannot take; the Microsoft kit's macro is the bare expression, which this matches.
#undef UNREFERENCED_PARAMETER
#define UNREFERENCED_PARAMETER(P) ((void)(P))

// The kit declares the bus interface GUID without a definition or a library holding it; the
// driver that answers it defines it (selectany: one copy per image).
#include <wdmguid.h>
EXTERN_C const GUID DECLSPEC_SELECTANY GUID_BUS_INTERFACE_STANDARD = {
    0x496b8280, 0x6f25, 0x11d0, {0xbe, 0xaf, 0x08, 0x00, 0x2b, 0xe2, 0x09, 0x2f}};

#ifndef USBD_STATUS_REQUEST_FAILED
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500L)
#endif
#ifndef USBD_STATUS_INVALID_PIPE_FLAGS
#define USBD_STATUS_INVALID_PIPE_FLAGS ((USBD_STATUS)0xC0005000L)
#endif
#ifndef USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR
#define USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR ((USBD_STATUS)0xC0000F00L)
#endif
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif
#ifndef XSTATE_MASK_AVX
#define XSTATE_MASK_AVX XSTATE_MASK_GSSE
#endif
#ifndef PF_AVX2_INSTRUCTIONS_AVAILABLE
#define PF_AVX2_INSTRUCTIONS_AVAILABLE 40
#endif

// Ordered access to memory that another processor reads or writes without a lock. On x86-64
// every load acquires and every store releases; only the compiler must be kept from moving
// accesses across them.
#define Q407_DEFINE_ORDERED_ACCESS(Type, ReadAcquireName, ReadNoFenceName, WriteReleaseName, \
                                   WriteNoFenceName)                                         \
    inline Type ReadAcquireName(Type const volatile* Source) {                               \
        const Type value = *Source;                                                          \
        _ReadWriteBarrier();                                                                 \
        return value;                                                                        \
    }                                                                                        \
    inline Type ReadNoFenceName(Type const volatile* Source) {                               \
        return *Source;                                                                      \
    }                                                                                        \
    inline void WriteReleaseName(Type volatile* Destination, Type Value) {                   \
        _ReadWriteBarrier();                                                                 \
        *Destination = Value;                                                                \
    }                                                                                        \
    inline void WriteNoFenceName(Type volatile* Destination, Type Value) {                   \
        *Destination = Value;                                                                \
    }
Q407_DEFINE_ORDERED_ACCESS(LONG, ReadAcquire, ReadNoFence, WriteRelease, WriteNoFence)
Q407_DEFINE_ORDERED_ACCESS(LONG64, ReadAcquire64, ReadNoFence64, WriteRelease64, WriteNoFence64)
Q407_DEFINE_ORDERED_ACCESS(ULONG, ReadULongAcquire, ReadULongNoFence, WriteULongRelease,
                           WriteULongNoFence)
Q407_DEFINE_ORDERED_ACCESS(UCHAR, ReadUCharAcquire, ReadUCharNoFence, WriteUCharRelease,
                           WriteUCharNoFence)
#undef Q407_DEFINE_ORDERED_ACCESS
