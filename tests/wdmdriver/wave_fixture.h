// A wave miniport on a fake link and port, with helpers to create streams and to play the
// engine's part of a period.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <vector>

#include "sim/host/machine.h"
#include "sim/host/pool.h"
#include "wave_fakes.h"
#include "wave_formats.h"
#include "wdmdriver/wave_miniport.h"
#include "wdmdriver/wave_stream.h"

namespace q407::testing {

struct StreamHandle {
    PMINIPORTWAVEPCISTREAM stream = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP group = nullptr;
    std::unique_ptr<FakePortStream> portStream;
};

class WaveFixture : public ::testing::Test {
  protected:
    void TearDown() override {
        for (StreamHandle& handle : streams_) Close(&handle);
        if (miniport_ != nullptr) miniport_->Release();
        if (unknown_ != nullptr) unknown_->Release();
        // Every reference the miniport took is given back, and nothing of it is left in pool.
        EXPECT_EQ(port_.References(), 1);
        EXPECT_EQ(port_.eventReferences, 0);
        EXPECT_EQ(port_.dma.References(), 1);
        EXPECT_EQ(LiveServiceGroups(), 0);
        EXPECT_EQ(sim::Pool::Usage(wdm::kWaveMiniportTag).allocations, 0u);
        EXPECT_EQ(sim::Pool::Usage(wdm::kWaveStreamTag).allocations, 0u);
        EXPECT_EQ(sim::Pool::Usage(wdm::kStreamStorageTag).allocations, 0u);
    }

    NTSTATUS CreateMiniport(uint32_t index) {
        record_ = link_.Record(index);
        NTSTATUS status = wdm::CreateWaveMiniport(&unknown_);
        if (!NT_SUCCESS(status)) return status;
        PVOID object = nullptr;
        status = unknown_->QueryInterface(IID_IMiniportWavePci, &object);
        if (!NT_SUCCESS(status)) return status;
        miniport_ = static_cast<PMINIPORTWAVEPCI>(object);
        PSERVICEGROUP group = reinterpret_cast<PSERVICEGROUP>(&port_);
        status = miniport_->Init(reinterpret_cast<PUNKNOWN>(&record_), nullptr, &port_, &group);
        EXPECT_EQ(group, nullptr);
        return status;
    }

    // Creates a stream over a client buffer handed out in mappings of the given sizes; the
    // handle is closed at the end of the test unless the test closes it.
    NTSTATUS Open(bool capture, const FormatSpec& spec, std::vector<uint8_t> data,
                  std::vector<ULONG> mappings, StreamHandle** handle) {
        streams_.emplace_back();
        StreamHandle& h = streams_.back();
        h.portStream = std::make_unique<FakePortStream>(std::move(data), std::move(mappings));
        std::vector<uint8_t> format = MakeFormat(spec);
        const NTSTATUS status =
            miniport_->NewStream(&h.stream, nullptr, NonPagedPool, h.portStream.get(),
                                 capture ? wdm::kWavePinRecording : wdm::kWavePinPlayback,
                                 capture ? TRUE : FALSE, AsFormat(format), &h.dma, &h.group);
        if (handle != nullptr) *handle = &h;
        return status;
    }

    void Close(StreamHandle* handle) {
        if (handle->stream != nullptr) handle->stream->Release();
        if (handle->dma != nullptr) handle->dma->Release();
        if (handle->group != nullptr) handle->group->Release();
        handle->stream = nullptr;
        handle->dma = nullptr;
        handle->group = nullptr;
        if (handle->portStream != nullptr) {
            // What the stream took it gave back, and it holds no reference to the port stream.
            EXPECT_EQ(handle->portStream->Outstanding(), 0u);
            EXPECT_EQ(handle->portStream->BadReleases(), 0);
            EXPECT_EQ(handle->portStream->DuplicateTags(), 0);
            EXPECT_EQ(handle->portStream->References(), 1);
        }
    }

    // The port's service call, at the level the port makes it.
    static void Service(StreamHandle* handle) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        handle->stream->Service();
        KeLowerIrql(irql);
    }

    // The engine's notification for the direction, and the port's service of whichever group it
    // was handed.
    void Period(StreamHandle* handle, LONG direction) {
        const size_t before = port_.notified.size();
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        link_.Notify(direction);
        KeLowerIrql(irql);
        if (port_.notified.size() > before && port_.notified.back() == handle->group)
            Service(handle);
    }

    sim::Machine machine_;
    FakeLink link_;
    FakePort port_;
    StreamLinkInterface record_{};
    PUNKNOWN unknown_ = nullptr;
    PMINIPORTWAVEPCI miniport_ = nullptr;
    std::deque<StreamHandle> streams_;
};

inline std::vector<uint8_t> Ramp(size_t bytes, uint8_t start = 1) {
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(start + i * 7);
    return data;
}

}  // namespace q407::testing
