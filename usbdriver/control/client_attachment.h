// What the driver shares with user-mode clients besides control messages: the status block mapped
// into the panel's and the ASIO client's processes, the driver-wide table of shared sample buffers
// mapped into the ASIO client's process, and the client events the driver signals.
//
// Everything a client is given is remembered with the handle it came through and its process, so
// that it is released in that process's context: on request, when the handle is cleaned up (the
// client closed it or its process ended), and when the device goes. Entry points run at
// PASSIVE_LEVEL in the requesting client's thread.
#pragma once

#include "platform/kernel/wdk.h"
#include "usbdriver/control/device_facade.h"

namespace q407 {

inline constexpr LONG kSharedBufferSlots = 8;
// Larger requests are refused; the ASIO client asks for 196,608 bytes per device.
inline constexpr ULONG kMaxSharedBufferBytes = 4 * 1024 * 1024;

struct SharedBuffer {
    PMDL mdl;
    PVOID kernelAddress;
    PVOID clientAddress;
    ULONG64 key;
};
static_assert(sizeof(SharedBuffer) == 32);

// Driver start and unload: the table starts empty; at unload nothing may be left in it.
void InitializeClientAttachment();
void ReleaseAllSharedBuffers();
// Facades whose engine may hold addresses inside shared buffers; a buffer that goes is first
// detached from them.
void AttachFacade(DeviceFacade* facade);
void DetachFacade(DeviceFacade* facade);

// Map flag 1 maps the status block into the calling process and returns its client address and
// key; any other flag releases the slot's mapping. FALSE when nothing was mapped.
BOOLEAN MapStatusBlock(DeviceFacade* facade, MappingSlot slot, ULONG mapFlag,
                       PFILE_OBJECT requester, ULONG64* clientAddress, ULONG64* key);
void ReleaseStatusMapping(DeviceFacade* facade, MappingSlot slot);

// Size 0 frees the key's buffer; otherwise (re)allocates it and writes its client address into
// the 64-bit client variable. STATUS_UNSUCCESSFUL (0 written) when a buffer of that key exists and
// ASIO runs; STATUS_INVALID_PARAMETER for a size with key 0 or above the limit;
// STATUS_INSUFFICIENT_RESOURCES when the memory or mapping cannot be had; STATUS_ACCESS_VIOLATION
// when the variable cannot be written. On a failure the client variable is untouched unless
// stated.
NTSTATUS AllocSharedBuffer(DeviceFacade* facade, ULONG size, ULONG64 key, ULONG64 clientVariable,
                           PFILE_OBJECT requester);

// The kernel address of the same byte in the key's shared buffer, or 0 when the address is 0, no
// buffer has the key, or the channel half (1,024 samples at the stride) would leave the buffer.
ULONG64 TranslateClientAddress(ULONG64 key, ULONG64 clientAddress, ULONG stride);

// Handle 0 empties the slot. Otherwise the handle must name an event of the calling process.
// The reference the slot held before is released in every case.
NTSTATUS SetEventSlot(DeviceFacade* facade, LONG slot, ULONG64 handle, PFILE_OBJECT requester);
void ClearEventSlot(DeviceFacade* facade, LONG slot);

// IRP_MJ_CLEANUP: releases what the handle was given on this device (facade may be null) and the
// shared buffers it allocated.
void ReleaseClientResources(DeviceFacade* facade, PFILE_OBJECT file);

// Shared buffers held (tests and the fuzzer check the table empties).
LONG SharedBufferCount();

}  // namespace q407
