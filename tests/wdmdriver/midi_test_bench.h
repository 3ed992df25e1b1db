// A MIDI miniport made and initialised as the adapter does it, with the fake link, port,
// allocator and clock, and helpers to open its streams.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "sim/host/machine.h"
#include "tests/wdmdriver/miniport_fakes.h"
#include "wdmdriver/midi_miniport.h"
#include "wdmdriver/midi_miniport_object.h"

namespace q407::testing {

class MidiBench {
  public:
    explicit MidiBench(bool init = true) {
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(wdm::CreateMidiMiniport(&unknown), STATUS_SUCCESS);
        unknown_ = unknown;
        EXPECT_EQ(unknown->QueryInterface(IID_IMiniportDMus, reinterpret_cast<PVOID*>(&miniport)),
                  STATUS_SUCCESS);
        if (init) initStatus = miniport->Init(link.AdapterObject(), nullptr, &port, &group);
    }
    ~MidiBench() { ReleaseAll(); }

    void ReleaseAll() {
        for (PMXF stream : streams_)
            if (stream != nullptr) stream->Release();
        streams_.clear();
        if (group != nullptr) group->Release();
        group = nullptr;
        if (miniport != nullptr) miniport->Release();
        miniport = nullptr;
        if (unknown_ != nullptr) unknown_->Release();
        unknown_ = nullptr;
    }

    // The miniport object's address, as the link's notification context carries it.
    PVOID ObjectAddress() { return wdm::MidiMiniport::FromUnknown(unknown_); }
    PUNKNOWN Unknown() { return unknown_; }

    // Opens a stream; the bench releases it at the end unless the test does (Close).
    NTSTATUS Open(DMUS_STREAM_TYPE type, PMXF* stream, PSERVICEGROUP* streamGroup = nullptr) {
        PSERVICEGROUP returned = nullptr;
        ULONGLONG prefetch = 99;
        *stream = nullptr;
        const NTSTATUS status =
            miniport->NewStream(stream, nullptr, NonPagedPoolNx, 0, type, nullptr, &returned,
                                &allocator, &clock, &prefetch);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(prefetch, 0u);
            streams_.push_back(*stream);
        }
        if (streamGroup != nullptr) {
            *streamGroup = returned;
        } else if (returned != nullptr) {
            returned->Release();
        }
        return status;
    }
    void Close(PMXF stream) {
        for (PMXF& kept : streams_)
            if (kept == stream) kept = nullptr;
        stream->Release();
    }

    // A chain of events holding the byte groups, in order.
    PDMUS_KERNEL_EVENT Chain(const std::vector<std::vector<uint8_t>>& groups) {
        PDMUS_KERNEL_EVENT head = nullptr;
        PDMUS_KERNEL_EVENT tail = nullptr;
        for (const auto& bytes : groups) {
            PDMUS_KERNEL_EVENT event = allocator.MakeEvent(bytes);
            if (tail == nullptr) {
                head = event;
            } else {
                tail->pNextEvt = event;
            }
            tail = event;
        }
        return head;
    }

    FakeLink link{0};
    FakeDMusPort port;
    FakeAllocator allocator{2048};
    FakeClock clock;
    PMINIPORTDMUS miniport = nullptr;
    PSERVICEGROUP group = nullptr;
    NTSTATUS initStatus = STATUS_UNSUCCESSFUL;

  private:
    PUNKNOWN unknown_ = nullptr;
    std::vector<PMXF> streams_;
};

}  // namespace q407::testing
