// A started Q407DRV on a virtual Q407 LX, and emulated client processes that talk to it. Requests
// go through the emulated I/O manager exactly as from Win32; Send gives the request's NTSTATUS and
// information length, which Win32 folds into an error code.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "shared/control_message.h"
#include "shared/device_interface.h"
#include "sim/host/device_interfaces.h"
#include "sim/host/pool.h"
#include "sim/host/process.h"
#include "tools/device_rig.h"
#include "usbdriver/control/client_attachment.h"
#include "usbdriver/control/device_facade.h"

namespace q407::testing {

inline GUID InterfaceClassGuid() {
    GUID guid{};
    guid.Data1 = GUID_DEVINTERFACE_Q407.Data1;
    guid.Data2 = GUID_DEVINTERFACE_Q407.Data2;
    guid.Data3 = GUID_DEVINTERFACE_Q407.Data3;
    for (int i = 0; i < 8; ++i) guid.Data4[i] = GUID_DEVINTERFACE_Q407.Data4[i];
    return guid;
}

struct Reply {
    NTSTATUS status;
    ULONG information;
};

class ControlFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(tools::StartDeviceWithSettings(rig_, DefaultMixerSettings(), &error)) << error;
    }

    // Every test ends with the device removed and nothing of the control side left in pool.
    void TearDown() override {
        rig_.BeginRemove();
        rig_.FinishRemove();
        EXPECT_EQ(SharedBufferCount(), 0);
        EXPECT_EQ(sim::Pool::LeakReport({POOL_TAG("Zel9"), POOL_TAG("Zel6"), POOL_TAG("Zel5"),
                                         POOL_TAG("Zel2"), POOL_TAG("None"), POOL_TAG("Mdl ")}),
                  "");
    }

    static std::wstring InterfacePath() {
        const auto links = sim::EnabledDeviceInterfaces(InterfaceClassGuid());
        return links.empty() ? std::wstring() : links.front();
    }

    static HANDLE Open(sim::Process& process) {
        HANDLE handle = nullptr;
        EXPECT_EQ(process.OpenDevice(InterfacePath(), &handle), STATUS_SUCCESS);
        return handle;
    }

    static Reply Send(sim::Process& process, HANDLE device, ControlMessage* message,
                      ULONG length = kControlMessageSize, ULONG code = IOCTL_Q407_CONTROL_MESSAGE) {
        ULONG returned = 0;
        const NTSTATUS status =
            process.DeviceIoControl(device, code, message, length, message, length, &returned);
        return {status, returned};
    }

    DeviceFacade* Facade() const { return rig_.Facade(); }
    StreamEngine& Engine() const { return *rig_.Facade()->engine; }

    tools::DeviceRig rig_;
};

}  // namespace q407::testing
