// Q407WDM started on the rig's child device by the emulated port-class driver: the subdevices it
// registers, their physical connections, and the unload trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/host/portcls/adapter.h"
#include "sim/host/portcls/audio_client.h"
#include "sim/host/trace_log.h"
#include "tools/device_rig.h"
#include "wdmdriver/adapter_driver.h"

namespace q407::testing {
namespace {

tools::DeviceRigOptions WdmOptions() {
    tools::DeviceRigOptions options;
    options.childDriver = wdm::WdmDriverEntry;
    return options;
}

std::wstring Numbered(const wchar_t* stem, int n) {
    return stem + std::to_wstring(n);
}

TEST(WdmAdapterOnTheRig, StartRegistersNineteenSubdevicesAndTheirPhysicalConnections) {
    {
        tools::DeviceRig rig(WdmOptions());
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        std::vector<std::wstring> names;
        for (const sim::audio::SubdeviceInfo& info : sim::audio::ListSubdevices()) {
            names.push_back(info.name);
            if (info.kind != sim::audio::SubdeviceKind::Wave) continue;
            const int n = std::stoi(info.name.substr(8));
            EXPECT_EQ(info.playback, n <= 4 || n == 9) << n;
            EXPECT_EQ(info.recording, n <= 8) << n;
        }
        std::vector<std::wstring> expected;
        for (int n = 1; n <= 9; ++n) {
            expected.push_back(Numbered(L"ZEL_Wave", n));
            expected.push_back(Numbered(L"ZEL_Mixer", n));
        }
        expected.push_back(L"ZEL_Midi1");
        EXPECT_EQ(names, expected);

        struct Connection {
            std::wstring from;
            ULONG fromPin;
            std::wstring to;
            ULONG toPin;
            bool operator==(const Connection&) const = default;
        };
        std::vector<Connection> connections;
        for (const auto& c : sim::portcls::PhysicalConnectionsOf(rig.ChildDevice()))
            connections.push_back({c.fromName, c.fromPin, c.toName, c.toPin});
        std::vector<Connection> wanted;
        for (int n = 1; n <= 9; ++n) {
            if (n <= 4 || n == 9)
                wanted.push_back({Numbered(L"ZEL_Wave", n), 1, Numbered(L"ZEL_Mixer", n), 0});
            if (n <= 8)
                wanted.push_back({Numbered(L"ZEL_Mixer", n), 3, Numbered(L"ZEL_Wave", n), 3});
        }
        EXPECT_EQ(connections, wanted);
    }
    // The driver unloaded with its device.
    size_t unloads = 0;
    for (const sim::TraceEntry& entry : sim::TraceLog::Instance().Entries())
        if (entry.text == "WDM DriverUnload >>>>>>\n" && entry.component == 79 && entry.level == 0)
            ++unloads;
    EXPECT_EQ(unloads, 1u);
}

}  // namespace
}  // namespace q407::testing
