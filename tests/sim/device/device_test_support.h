// Drives a Q407Device through its control endpoint the way a host would, on a manual clock.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "sim/device/q407_device.h"

namespace q407::sim::test {

struct DeviceBench {
    ManualScheduler clock;
    Q407Device device{clock};

    ControlReply Control(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::vector<std::uint8_t>& data) {
        SetupPacket s{type, request, value, index, std::uint16_t(data.size())};
        return device.HandleControl(s, data.data());
    }
    ControlReply Control(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index) {
        std::vector<std::uint8_t> none;
        return Control(type, request, value, index, none);
    }
    void SetRate(std::uint32_t rate) {
        std::vector<std::uint8_t> r = {std::uint8_t(rate), std::uint8_t(rate >> 8),
                                       std::uint8_t(rate >> 16)};
        ASSERT_EQ(Control(0x22, 0x01, 0x0100, 0x05, r).outcome, ControlOutcome::Ack);
        ASSERT_EQ(Control(0x22, 0x01, 0x0100, 0x86, r).outcome, ControlOutcome::Ack);
    }
    // Configuration 1, interface 0 alternate 1, interface 1 alternate 1.
    void StartStreaming() {
        ASSERT_EQ(Control(0x00, 0x09, 1, 0).outcome, ControlOutcome::Ack);
        ASSERT_EQ(Control(0x01, 0x0B, 1, 0).outcome, ControlOutcome::Ack);
        ASSERT_EQ(Control(0x01, 0x0B, 1, 1).outcome, ControlOutcome::Ack);
    }
};

// Collects transfer completions with the time they happened.
struct Completions {
    struct Entry {
        TransferId id;
        TransferResult result;
        ClockTicks time;
    };
    std::vector<Entry> entries;
    TransferCallback For(ManualScheduler& clock, TransferId id) {
        return [this, &clock, id](const TransferResult& r) {
            entries.push_back({id, r, clock.Now()});
        };
    }
};

}  // namespace q407::sim::test
