// Processor features and the extended (AVX) state of kernel code.
//
// Each emulated processor is a host thread, and the host saves every register across its own
// context switches, so nothing is actually saved here. What the emulation adds is the rule a real
// kernel enforces by corrupting someone else's registers: wider-than-SSE2 vector code runs only
// inside KeSaveExtendedProcessorState ... KeRestoreExtendedProcessorState for its mask, on one
// thread, restored last-in first-out at the IRQL of the save. The open saves form a per-thread
// stack through XSTATE_SAVE::Prev; KeCheckExtendedStateSaved, which such code calls before it
// touches the wider registers, bug-checks when no open save covers them.
#include "sim/host/processor_state.h"

#include <atomic>
#include <string>

#include "platform/kernel/ke.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"

namespace q407::sim {
namespace {

constexpr ULONG64 kKnownMasks = XSTATE_MASK_LEGACY | XSTATE_MASK_AVX;

thread_local XSTATE_SAVE* t_openSaves = nullptr;
std::atomic<bool> g_avx2Hidden{false};

bool HostHasAvx2() {
    return __builtin_cpu_supports("avx2") != 0;
}

}  // namespace

void HideProcessorFeature(ULONG feature, bool hidden) {
    if (feature == PF_AVX2_INSTRUCTIONS_AVAILABLE) g_avx2Hidden.store(hidden);
}

int OpenExtendedStateSaves() {
    int n = 0;
    for (const XSTATE_SAVE* s = t_openSaves; s != nullptr; s = s->Prev) ++n;
    return n;
}

}  // namespace q407::sim

using q407::sim::BugCheck;

BOOLEAN ExIsProcessorFeaturePresent(ULONG ProcessorFeature) {
    switch (ProcessorFeature) {
        case PF_XMMI64_INSTRUCTIONS_AVAILABLE:
            return TRUE;  // the x86-64 baseline
        case PF_AVX2_INSTRUCTIONS_AVAILABLE:
            return q407::sim::HostHasAvx2() && !q407::sim::g_avx2Hidden.load() ? TRUE : FALSE;
        default:
            return FALSE;
    }
}

NTSTATUS KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave) {
    q407::sim::RequireAtMostDispatch("KeSaveExtendedProcessorState");
    if (XStateSave == nullptr) BugCheck("KeSaveExtendedProcessorState", "null save record");
    if (Mask == 0 || (Mask & ~q407::sim::kKnownMasks) != 0)
        BugCheck("KeSaveExtendedProcessorState", "mask names no state this processor has");
    for (const XSTATE_SAVE* s = q407::sim::t_openSaves; s != nullptr; s = s->Prev)
        if (s == XStateSave)
            BugCheck("KeSaveExtendedProcessorState", "the save record is already in use");
    XStateSave->Prev = q407::sim::t_openSaves;
    XStateSave->Thread = &q407::sim::CurrentThreadContext();
    XStateSave->Level = q407::sim::CurrentThreadContext().irql;
    XStateSave->Mask = Mask;
    q407::sim::t_openSaves = XStateSave;
    return STATUS_SUCCESS;
}

void KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
    if (XStateSave == nullptr || XStateSave->Thread != &q407::sim::CurrentThreadContext())
        BugCheck("KeRestoreExtendedProcessorState",
                 "no matching KeSaveExtendedProcessorState on this thread");
    if (XStateSave != q407::sim::t_openSaves)
        BugCheck("KeRestoreExtendedProcessorState",
                 "not the most recent open save of this thread (restore in reverse order)");
    if (XStateSave->Level != q407::sim::CurrentThreadContext().irql)
        BugCheck("KeRestoreExtendedProcessorState",
                 "IRQL differs from the save's (" + std::to_string(XStateSave->Level) + ")");
    q407::sim::t_openSaves = XStateSave->Prev;
    XStateSave->Thread = nullptr;
    XStateSave->Prev = nullptr;
}

void KeCheckExtendedStateSaved(ULONG64 Mask) {
    ULONG64 saved = 0;
    for (const XSTATE_SAVE* s = q407::sim::t_openSaves; s != nullptr; s = s->Prev) saved |= s->Mask;
    if ((Mask & ~saved) != 0)
        BugCheck("KeCheckExtendedStateSaved",
                 "vector registers beyond SSE2 used without KeSaveExtendedProcessorState for them");
}
