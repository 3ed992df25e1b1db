// One started streaming pipe and the transfers that circulate on it.
#pragma once

#include "platform/kernel/wdk.h"
#include "platform/usb/usb.h"

namespace q407 {

class StreamEngine;
struct PipeGroup;

inline constexpr ULONG kMaxTransfersPerPipe = 5;
// Every transfer URB lives in a block of this size; the bulk-or-interrupt request fits in it.
// The block holds only that request, never a whole URB (whose size differs between kits).
inline constexpr ULONG kTransferUrbBytes = 128;
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) <= kTransferUrbBytes);

enum PipeKind : LONG {
    PipeKindPlayback = 0,  // interrupt OUT
    PipeKindCapture = 1,   // interrupt IN, and the bulk IN MIDI pipe
};

// Which of the engine's three pipes a group runs.
enum PipeRole : LONG {
    PipeRolePlayback = 0,
    PipeRoleCapture = 1,
    PipeRoleMidiIn = 2,
};

// One transfer in flight (pool tag "Zel5"). The IRP belongs to the engine's slot and outlives
// the record; the URB block is allocated per start.
struct TransferRecord {
    ULONG index;  // 0..4
    PIRP irp;
    URB* urb;
    PUCHAR buffer;
    ULONG length;  // bytes
    PipeGroup* group;
};

// Allocated zeroed per start (pool tag "Zel5") and freed by the stop.
struct PipeGroup {
    StreamEngine* engine;
    LONG kind;              // PipeKind
    LONG role;              // PipeRole
    volatile LONG pending;  // transfers still circulating
    KEVENT drained;         // notification event, set when pending reaches 0
    PDEVICE_OBJECT deviceObject;
    USBD_PIPE_INFORMATION pipe;
    TransferRecord* transfers[kMaxTransfersPerPipe];
    ULONG transferCount;
    // How this group's transfers are built and processed.
    PKSPIN_LOCK lock;
    PIO_COMPLETION_ROUTINE routine;
    ULONG transferFlags;
    // Set under the pipe's spin lock before the transfers are cancelled, so that a completion
    // running at that moment retires its transfer instead of sending it down again.
    volatile LONG stopping;

    // Recovery from transfer errors (pipe_recovery.cpp). The flags and the mask change under the
    // pipe's spin lock.
    PIO_WORKITEM restartItem;      // allocated with the group
    LONG restartQueued;            // a restart is queued or running
    LONG restarting;               // transfers that come back are held for the restart
    LONG gaveUp;                   // the pipe failed its restarts and is retired for good
    ULONG parkedMask;              // transfers held for the restart, by index
    volatile LONG failedRestarts;  // restarts since a transfer last succeeded
    KEVENT restartIdle;            // notification event, set while no restart is queued or running
    KEVENT parked;  // notification event, set when a transfer is held or a stop begins
};

// Above this many restarts without a successful transfer in between, a pipe is given up.
inline constexpr LONG kMaxFailedRestarts = 5;

}  // namespace q407
