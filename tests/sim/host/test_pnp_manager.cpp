// The Plug and Play manager with small drivers of our own: the device tree it builds, the orders
// of its requests (start, removal, surprise removal, stop, system sleep and wake), vetoes, driver
// loading and unloading, ZwUnloadDriver, and the driver faults it stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/wdk.h"
#include "sim/host/device_interfaces.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "sim/host/pnp_manager.h"
#include "sim/host/pool.h"
#include "sim/host/process.h"
#include "tests/sim/host/pnp_test_drivers.h"

using namespace q407::sim;
using namespace q407::test::pnp;
using Log = std::vector<std::string>;

namespace {

// Entries of the log that belong to the given devices, in order.
Log Only(const Log& log, std::initializer_list<const char*> prefixes) {
    Log out;
    for (auto& line : log)
        for (const char* p : prefixes)
            if (line.rfind(std::string(p) + ":", 0) == 0) out.push_back(line);
    return out;
}

// The log without the identification and enumeration queries.
Log Without(const Log& log, std::initializer_list<const char*> requests) {
    Log out;
    for (auto& line : log) {
        const std::string what = line.substr(line.find(':') + 1);
        if (std::find(requests.begin(), requests.end(), what) == requests.end())
            out.push_back(line);
    }
    return out;
}

size_t IndexOf(const Log& log, const std::string& line) {
    return static_cast<size_t>(std::find(log.begin(), log.end(), line) - log.begin());
}

class PnpTree : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(LoadDriver(L"TstBus", BusEntry, &busDriver), STATUS_SUCCESS);
        pnp.emplace();
        pnp->RegisterDriver(kFuncHardwareId, L"TstFunc", FuncEntry);
        pnp->RegisterDriver(L"test\\leaf", L"TstLeaf", LeafEntry);  // case does not matter
    }
    void TearDown() override {
        pnp.reset();
        for (PDEVICE_OBJECT root : roots) DeleteRootDevice(root);
        EXPECT_EQ(UnloadDriver(L"TstBus"), STATUS_SUCCESS);
        EXPECT_EQ(FindDriver(L"TstFunc"), nullptr);
        EXPECT_EQ(FindDriver(L"TstLeaf"), nullptr);
        EXPECT_EQ(LiveIrpCount(), 0u);
        EXPECT_EQ(Pool::LeakReport(), "");
    }
    PDEVICE_OBJECT NewRoot(int n) {
        PDEVICE_OBJECT root = CreateRootDevice(busDriver, n);
        roots.push_back(root);
        return root;
    }
    PDEVICE_OBJECT PlugStarted(int n) {
        PDEVICE_OBJECT root = NewRoot(n);
        EXPECT_EQ(pnp->Plug(root), STATUS_SUCCESS);
        return root;
    }
    PDEVICE_OBJECT ChildOf(PDEVICE_OBJECT root) {
        auto children = pnp->ChildrenOf(root);
        EXPECT_EQ(children.size(), 1u);
        return children.empty() ? nullptr : children[0];
    }

    Machine machine;
    PDRIVER_OBJECT busDriver = nullptr;
    std::optional<PnpManager> pnp;
    std::vector<PDEVICE_OBJECT> roots;
};

}  // namespace

TEST_F(PnpTree, PlugIdentifiesLoadsAddsStartsAndEnumeratesAsWindowsDoes) {
    PDEVICE_OBJECT root = PlugStarted(1);
    const Log log = TakeLog();
    // The physical device is identified alone, the driver added, the stack started, then asked
    // again for capabilities and for its children, which get the same treatment.
    EXPECT_EQ(log, (Log{"bus1:query-id",       "bus1:query-id",       "bus1:query-id",
                        "bus1:query-id",       "bus1:capabilities",   "fdo1:add",
                        "fdo1:start",          "bus1:start",          "fdo1:capabilities",
                        "bus1:capabilities",   "fdo1:relations",      "bus1:relations",
                        "child1:query-id",     "child1:query-id",     "child1:query-id",
                        "child1:query-id",     "child1:capabilities", "leaf1:add",
                        "leaf1:start",         "child1:start",        "leaf1:capabilities",
                        "child1:capabilities", "leaf1:relations",     "child1:relations"}));
    EXPECT_EQ(pnp->StateOf(root), DeviceNodeState::Started);
    EXPECT_EQ(pnp->InstancePathOf(root), L"TEST\\FUNC\\1");
    EXPECT_EQ(pnp->ServiceOf(root), L"TstFunc");
    EXPECT_EQ(pnp->CapabilitiesOf(root).SurpriseRemovalOK, 1u);
    EXPECT_EQ(pnp->CapabilitiesOf(root).DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    PDEVICE_OBJECT child = ChildOf(root);
    EXPECT_EQ(pnp->StateOf(child), DeviceNodeState::Started);
    EXPECT_EQ(pnp->ServiceOf(child), L"TstLeaf");
    const std::wstring childPath = pnp->InstancePathOf(child);
    EXPECT_EQ(childPath.rfind(L"TEST\\LEAF\\7&", 0), 0u);
    EXPECT_EQ(childPath.substr(childPath.size() - 5), L"&0001");
    EXPECT_EQ(DeviceInstancePath(child), childPath);
    EXPECT_NE(FindDriver(L"TstFunc"), nullptr);
    EXPECT_NE(FindDriver(L"TstLeaf"), nullptr);
    EXPECT_EQ(EnabledDeviceInterfaces(kTestInterface).size(), 1u);
    // The manager's own record of what it sent.
    const auto history = pnp->History();
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(PnpRequestName(history.front()), "query-id 0");
    EXPECT_EQ(PnpRequestName(history.back()), "query-device-relations 0");
    EXPECT_EQ(history.back().instancePath, childPath);
}

TEST_F(PnpTree, OrderlyRemovalAsksLeavesFirstThenRemovesLeavesFirstAndUnloads) {
    PDEVICE_OBJECT root = PlugStarted(1);
    TakeLog();
    EXPECT_EQ(pnp->Remove(root), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(),
              (Log{"leaf1:query-remove", "child1:query-remove", "fdo1:query-remove",
                   "bus1:query-remove", "leaf1:remove", "child1:remove", "\\Driver\\TstLeaf:unload",
                   "fdo1:remove", "bus1:remove", "\\Driver\\TstFunc:unload"}));
    EXPECT_FALSE(pnp->Knows(root));
    EXPECT_TRUE(EnabledDeviceInterfaces(kTestInterface).empty());
    EXPECT_EQ(TopOfStack(root), root);
    // The same physical device can be plugged again: a fresh tree, drivers loaded anew.
    EXPECT_EQ(pnp->Plug(root), STATUS_SUCCESS);
    EXPECT_EQ(pnp->StateOf(ChildOf(root)), DeviceNodeState::Started);
    EXPECT_EQ(pnp->Plug(root), STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(PnpTree, VetoedQueryRemoveIsCancelledForEveryDeviceAsked) {
    PDEVICE_OBJECT root = PlugStarted(1);
    TakeLog();
    Config().fdoVetoesQueryRemove = true;
    EXPECT_EQ(pnp->Remove(root), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(TakeLog(), (Log{"leaf1:query-remove", "child1:query-remove", "fdo1:query-remove",
                              "fdo1:cancel-remove", "bus1:cancel-remove", "leaf1:cancel-remove",
                              "child1:cancel-remove"}));
    EXPECT_EQ(pnp->StateOf(root), DeviceNodeState::Started);
    EXPECT_EQ(pnp->StateOf(ChildOf(root)), DeviceNodeState::Started);
    // A veto by the first one asked: only it is cancelled.
    Config().fdoVetoesQueryRemove = false;
    Config().leafVetoesQueryRemove = true;
    EXPECT_EQ(pnp->Remove(root), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(TakeLog(),
              (Log{"leaf1:query-remove", "leaf1:cancel-remove", "child1:cancel-remove"}));
}

TEST_F(PnpTree, SurpriseRemovalGoesLeavesFirstAndRemovalWaitsForTheLastOpenFile) {
    PDEVICE_OBJECT root = PlugStarted(1);
    Process client("client");
    HANDLE handle = nullptr;
    const auto links = EnabledDeviceInterfaces(kTestInterface);
    ASSERT_EQ(links.size(), 1u);
    ASSERT_EQ(client.OpenDevice(links[0], &handle), STATUS_SUCCESS);
    EXPECT_EQ(OpenFileCount(root), 1u);
    TakeLog();

    pnp->ReportMissing(root);
    pnp->WaitIdle();
    EXPECT_EQ(Without(TakeLog(), {"create", "cleanup", "close"}),
              (Log{"leaf1:surprise-removal", "child1:surprise-removal", "fdo1:surprise-removal",
                   "bus1:surprise-removal"}));
    EXPECT_EQ(pnp->StateOf(root), DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(pnp->StateOf(ChildOf(root)), DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(pnp->Remove(root), STATUS_DELETE_PENDING);
    pnp->ReportMissing(root);  // told twice: nothing more happens
    pnp->WaitIdle();
    EXPECT_TRUE(TakeLog().empty());

    EXPECT_EQ(client.Close(handle), STATUS_SUCCESS);
    pnp->WaitIdle();
    EXPECT_EQ(Without(TakeLog(), {"cleanup", "close"}),
              (Log{"leaf1:remove", "child1:remove", "\\Driver\\TstLeaf:unload", "fdo1:remove",
                   "bus1:remove", "\\Driver\\TstFunc:unload"}));
    EXPECT_FALSE(pnp->Knows(root));
}

TEST_F(PnpTree, SurpriseRemovalWithoutOpenFilesRemovesAtOnce) {
    PDEVICE_OBJECT root = PlugStarted(1);
    TakeLog();
    pnp->ReportMissing(root);
    pnp->WaitIdle();
    const Log log = TakeLog();
    EXPECT_EQ(log.size(), 10u);
    EXPECT_LT(IndexOf(log, "bus1:surprise-removal"), IndexOf(log, "leaf1:remove"));
    EXPECT_LT(IndexOf(log, "child1:remove"), IndexOf(log, "fdo1:remove"));
    EXPECT_FALSE(pnp->Knows(root));
}

TEST_F(PnpTree, StopAsksFirstAndRestartStartsAgainWithTheSameChildren) {
    PDEVICE_OBJECT root = PlugStarted(1);
    PDEVICE_OBJECT child = ChildOf(root);
    TakeLog();
    Config().fdoVetoesQueryStop = true;
    EXPECT_EQ(pnp->Stop(root), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(TakeLog(), (Log{"fdo1:query-stop", "fdo1:cancel-stop", "bus1:cancel-stop"}));
    EXPECT_EQ(pnp->StateOf(root), DeviceNodeState::Started);
    Config().fdoVetoesQueryStop = false;
    EXPECT_EQ(pnp->Stop(root), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Log{"fdo1:query-stop", "bus1:query-stop", "fdo1:stop", "bus1:stop"}));
    EXPECT_EQ(pnp->StateOf(root), DeviceNodeState::Stopped);
    EXPECT_EQ(pnp->Stop(root), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp->Restart(root), STATUS_SUCCESS);
    EXPECT_EQ(Without(TakeLog(), {"capabilities", "relations"}), (Log{"fdo1:start", "bus1:start"}));
    EXPECT_EQ(pnp->StateOf(root), DeviceNodeState::Started);
    EXPECT_EQ(ChildOf(root), child);
    EXPECT_EQ(pnp->Restart(root), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(PnpTree, SleepAsksAndSetsLeavesFirstAndWakeGoesParentsFirst) {
    PlugStarted(1);
    TakeLog();
    EXPECT_EQ(pnp->Wake(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp->Sleep(), STATUS_SUCCESS);
    EXPECT_TRUE(pnp->Asleep());
    EXPECT_EQ(TakeLog(), (Log{"leaf1:query-power S3", "child1:query-power S3",
                              "fdo1:query-power S3", "bus1:query-power S3", "leaf1:set-power S3",
                              "child1:set-power S3", "fdo1:set-power S3", "bus1:set-power S3"}));
    EXPECT_EQ(pnp->Sleep(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp->Wake(), STATUS_SUCCESS);
    EXPECT_FALSE(pnp->Asleep());
    EXPECT_EQ(TakeLog(), (Log{"fdo1:set-power S0", "bus1:set-power S0", "leaf1:set-power S0",
                              "child1:set-power S0"}));
}

TEST_F(PnpTree, RefusedSleepTellsThoseThatAgreedThatTheMachineStaysUp) {
    PlugStarted(1);
    TakeLog();
    Config().fdoVetoesQueryPower = true;
    EXPECT_EQ(pnp->Sleep(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(pnp->Asleep());
    EXPECT_EQ(TakeLog(), (Log{"leaf1:query-power S3", "child1:query-power S3",
                              "fdo1:query-power S3", "leaf1:set-power S0", "child1:set-power S0"}));
}

TEST_F(PnpTree, ChildWhoseStartFailsIsTornDownAndItsDriverUnloaded) {
    Config().leafFailsStart = true;
    PDEVICE_OBJECT root = PlugStarted(1);
    PDEVICE_OBJECT child = ChildOf(root);
    const Log log = Only(TakeLog(), {"leaf1", "child1", "\\Driver\\TstLeaf"});
    EXPECT_EQ(Without(log, {"query-id", "capabilities"}),
              (Log{"leaf1:add", "leaf1:start", "leaf1:remove", "child1:remove",
                   "\\Driver\\TstLeaf:unload"}));
    EXPECT_EQ(pnp->StateOf(child), DeviceNodeState::Failed);
    EXPECT_EQ(pnp->StateOf(root), DeviceNodeState::Started);
    // Removing the parent later does not ask the failed child again.
    EXPECT_EQ(pnp->Remove(root), STATUS_SUCCESS);
    EXPECT_EQ(Only(TakeLog(), {"child1", "leaf1"}), Log{});
}

TEST_F(PnpTree, DeviceWithoutARegisteredDriverStaysWithoutOne) {
    pnp.reset();
    pnp.emplace();
    pnp->RegisterDriver(kFuncHardwareId, L"TstFunc", FuncEntry);
    PDEVICE_OBJECT root = PlugStarted(1);
    PDEVICE_OBJECT child = ChildOf(root);
    EXPECT_EQ(pnp->StateOf(child), DeviceNodeState::NoDriver);
    EXPECT_EQ(pnp->ServiceOf(child), L"");
    EXPECT_EQ(TopOfStack(child), child);
    PDEVICE_OBJECT other = NewRoot(2);
    pnp->RegisterDriver(kFuncHardwareId, L"TstLeaf", LeafEntry);  // replaces the first
    EXPECT_EQ(pnp->Plug(other), STATUS_SUCCESS);
    EXPECT_EQ(pnp->ServiceOf(other), L"TstLeaf");
}

TEST_F(PnpTree, SeveralDevicesShareTheDriversAndGetTheirOwnInstancePaths) {
    PDEVICE_OBJECT first = PlugStarted(1);
    PDEVICE_OBJECT second = PlugStarted(2);
    PDRIVER_OBJECT func = FindDriver(L"TstFunc");
    EXPECT_NE(pnp->InstancePathOf(ChildOf(first)), pnp->InstancePathOf(ChildOf(second)));
    EXPECT_EQ(EnabledDeviceInterfaces(kTestInterface).size(), 2u);
    TakeLog();
    EXPECT_EQ(pnp->Remove(first), STATUS_SUCCESS);
    EXPECT_EQ(FindDriver(L"TstFunc"), func);  // the second device still uses it
    EXPECT_EQ(pnp->StateOf(second), DeviceNodeState::Started);
    const Log log = TakeLog();
    EXPECT_EQ(IndexOf(log, "\\Driver\\TstFunc:unload"), log.size());
    EXPECT_EQ(IndexOf(log, "\\Driver\\TstLeaf:unload"), log.size());
    EXPECT_EQ(pnp->Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(Only(TakeLog(), {"fdo2"}), (Log{"fdo2:query-power S3", "fdo2:set-power S3"}));
    EXPECT_EQ(pnp->Wake(), STATUS_SUCCESS);
}

TEST_F(PnpTree, UnloadingTheChildsDriverRemovesItsDevicesAndKeepsTheParent) {
    PDEVICE_OBJECT root = PlugStarted(1);
    PDEVICE_OBJECT child = ChildOf(root);
    TakeLog();
    std::wstring path = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TstLeaf";
    UNICODE_STRING name{static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(path.size() * sizeof(WCHAR)), path.data()};
    Config().leafVetoesQueryRemove = true;
    EXPECT_EQ(ZwUnloadDriver(&name), STATUS_UNSUCCESSFUL);
    EXPECT_NE(FindDriver(L"TstLeaf"), nullptr);
    TakeLog();
    Config().leafVetoesQueryRemove = false;
    EXPECT_EQ(ZwUnloadDriver(&name), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Log{"leaf1:query-remove", "child1:query-remove", "leaf1:remove",
                              "child1:remove", "\\Driver\\TstLeaf:unload"}));
    EXPECT_EQ(FindDriver(L"TstLeaf"), nullptr);
    EXPECT_EQ(pnp->StateOf(child), DeviceNodeState::Removed);
    EXPECT_EQ(TopOfStack(child), child);
    EXPECT_EQ(pnp->StateOf(root), DeviceNodeState::Started);
    EXPECT_EQ(ZwUnloadDriver(&name), STATUS_OBJECT_NAME_NOT_FOUND);
    // The parent's removal later leaves the removed child alone.
    EXPECT_EQ(pnp->Remove(root), STATUS_SUCCESS);
    EXPECT_EQ(Only(TakeLog(), {"child1", "leaf1"}), Log{});
}

// --- Driver faults the manager stops -----------------------------------------------------------

namespace {

class PnpVerifier : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

void PlugWith(void (*configure)()) {
    Machine m;
    PDRIVER_OBJECT bus = nullptr;
    LoadDriver(L"TstBus", BusEntry, &bus);
    configure();
    PnpManager pnp;
    pnp.RegisterDriver(kFuncHardwareId, L"TstFunc", FuncEntry);
    pnp.RegisterDriver(kLeafHardwareId, L"TstLeaf", LeafEntry);
    PDEVICE_OBJECT root = CreateRootDevice(bus, 1);
    pnp.Plug(root);
    pnp.Remove(root);
}

}  // namespace

TEST_F(PnpVerifier, AddDeviceLeavingTheInitializingFlag) {
    EXPECT_DEATH(PlugWith([] { Config().leafLeavesInitializingFlag = true; }),
                 "VERIFIER: AddDevice: returned with DO_DEVICE_INITIALIZING still set");
}

TEST_F(PnpVerifier, DriverStayingAttachedAfterRemove) {
    EXPECT_DEATH(PlugWith([] { Config().leafKeepsDeviceOnRemove = true; }),
                 "VERIFIER: IRP_MN_REMOVE_DEVICE: a device is still attached above TEST");
}
