#include "tests/support/link_spy.h"

#include <atomic>

#include "shared/stream_link.h"
#include "wdmdriver/adapter_driver.h"

namespace q407::test {
namespace {

using MidiInCallback = void (*)(LONG direction, LONG code, PVOID context, LONG argument);

PDRIVER_DISPATCH g_pnp = nullptr;
std::atomic<StreamLinkDispatchRoutine> g_dispatch{nullptr};
std::atomic<MidiInCallback> g_midiIn{nullptr};
std::atomic<uint64_t> g_installed{0};
std::atomic<uint64_t> g_calls[kLinkFunctionCount + 1];
std::atomic<bool> g_notice{false};
std::atomic<uint64_t> g_midiAfterNotice{0};

const GUID kLinkGuid = {
    GUID_Q407_STREAM_LINK.Data1,
    GUID_Q407_STREAM_LINK.Data2,
    GUID_Q407_STREAM_LINK.Data3,
    {GUID_Q407_STREAM_LINK.Data4[0], GUID_Q407_STREAM_LINK.Data4[1], GUID_Q407_STREAM_LINK.Data4[2],
     GUID_Q407_STREAM_LINK.Data4[3], GUID_Q407_STREAM_LINK.Data4[4], GUID_Q407_STREAM_LINK.Data4[5],
     GUID_Q407_STREAM_LINK.Data4[6], GUID_Q407_STREAM_LINK.Data4[7]}};

void SpyMidiIn(LONG direction, LONG code, PVOID context, LONG argument) {
    if (argument == 1) g_notice = true;
    if (MidiInCallback real = g_midiIn.load(); real != nullptr)
        real(direction, code, context, argument);
}

void SpyDispatch(void* deviceContext, uint32_t function, void* block) {
    g_calls[function < kLinkFunctionCount ? function : kLinkFunctionCount]++;
    const bool midi = function == kLinkRegisterMidiInNotify || function == kLinkWriteMidiByte ||
                      function == kLinkReadMidiByte || function == kLinkOpenMidiInput;
    if (midi && deviceContext != nullptr && g_notice) g_midiAfterNotice++;
    if (function == kLinkRegisterMidiInNotify && block != nullptr) {
        auto* notify = static_cast<LinkMidiInNotifyBlock*>(block);
        if (notify->callback != 0 && notify->callback != reinterpret_cast<uint64_t>(&SpyMidiIn)) {
            g_midiIn = reinterpret_cast<MidiInCallback>(notify->callback);
            notify->callback = reinterpret_cast<uint64_t>(&SpyMidiIn);
        }
    }
    if (StreamLinkDispatchRoutine real = g_dispatch.load(); real != nullptr)
        real(deviceContext, function, block);
}

// The query is answered by the child below before the call returns; the record lives in the
// adapter's extension, so it can be taken over once the answer is in.
NTSTATUS SpyPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    StreamLinkInterface* link = nullptr;
    if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE &&
        stack->Parameters.QueryInterface.InterfaceType != nullptr &&
        IsEqualGUID(*stack->Parameters.QueryInterface.InterfaceType, kLinkGuid) &&
        stack->Parameters.QueryInterface.Size >= kStreamLinkSize)
        link = reinterpret_cast<StreamLinkInterface*>(stack->Parameters.QueryInterface.Interface);
    const NTSTATUS status = g_pnp(device, irp);
    if (link != nullptr && link->dispatch != nullptr && link->dispatch != &SpyDispatch) {
        g_dispatch = link->dispatch;
        link->dispatch = &SpyDispatch;
        ++g_installed;
    }
    return status;
}

}  // namespace

NTSTATUS SpiedWdmDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    const NTSTATUS status = wdm::WdmDriverEntry(driver, registryPath);
    if (NT_SUCCESS(status)) {
        g_pnp = driver->MajorFunction[IRP_MJ_PNP];
        driver->MajorFunction[IRP_MJ_PNP] = SpyPnp;
    }
    return status;
}

void LinkSpy::Reset() {
    g_installed = 0;
    for (auto& c : g_calls) c = 0;
    g_notice = false;
    g_midiAfterNotice = 0;
}

uint64_t LinkSpy::Installed() {
    return g_installed;
}

uint64_t LinkSpy::Calls(uint32_t function) {
    return g_calls[function < kLinkFunctionCount ? function : kLinkFunctionCount];
}

bool LinkSpy::NoticeGiven() {
    return g_notice;
}

uint64_t LinkSpy::MidiCallsAfterNotice() {
    return g_midiAfterNotice;
}

}  // namespace q407::test
