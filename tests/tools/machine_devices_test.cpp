// A running machine's devices as its clients act on them (in virtual time, in one process): the
// device requests' answers follow the units through unplug, replug and sleep; a unit pulled out
// while a client holds it cannot come back before the client lets go; the feeds follow a replugged
// unit; the settings survive a restart of the machine through the registry file.
#include "tools/machine_devices.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "shared/mixer_settings.h"
#include "sim/device/q407_device.h"
#include "sim/device/usb_bus.h"
#include "sim/host/device_interfaces.h"
#include "sim/host/pnp_manager.h"
#include "sim/host/pool.h"
#include "sim/host/process.h"
#include "sim/host/registry_store.h"
#include "tools/device_client.h"
#include "tools/device_rig.h"
#include "tools/machine_feeds.h"
#include "tools/machine_settings.h"
#include "tools/wdm_machine.h"

namespace q407::tools {
namespace {

DeviceRigOptions TwoUnits() {
    DeviceRigOptions options;
    options.childDriver = WdmDriverEntryPoint();
    options.units = 2;
    return options;
}

std::string TempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("q407-machine-test-" + std::to_string(getpid()) + "-" + name))
        .string();
}

nlohmann::json Ask(MachineDevices& devices, const std::string& action, int unit = -1) {
    nlohmann::json request = {{"action", action}};
    if (unit >= 0) request["unit"] = unit;
    return devices.Run(request);
}

TEST(MachineDevices, UnitsFollowUnplugReplugAndSleep) {
    DeviceRig rig(TwoUnits());
    std::string error;
    MixerSettings settings = DefaultMixerSettings();
    settings.sampleRate = 48000;
    ASSERT_TRUE(StartDeviceWithSettings(rig, settings, &error)) << error;
    MachineDevices devices(rig);
    std::vector<int> plugged;
    devices.OnPlugged([&](int unit) { plugged.push_back(unit); });
    devices.CountClients([] { return size_t{3}; });
    rig.RunForSeconds(0.05);

    nlohmann::json list = Ask(devices, "list");
    ASSERT_TRUE(list["ok"].get<bool>()) << list.dump();
    ASSERT_EQ(list["units"].size(), 2U);
    EXPECT_EQ(list["clients"], 3);
    for (int unit = 0; unit < 2; ++unit) {
        EXPECT_EQ(list["units"][unit]["state"], "plugged");
        EXPECT_EQ(list["units"][unit]["rate"], 48000);
    }
    EXPECT_EQ(list["units"][1]["serial"], "Q407LX-2");
    // The codec after reset plays every output at full level; analog inputs.
    EXPECT_EQ(list["units"][0]["outputLevels"], nlohmann::json(std::vector<int>(8, 127)));
    EXPECT_FALSE(list["units"][0]["spdifInputs"].get<bool>());
    EXPECT_TRUE(list["units"][0]["clockMode"].is_number_integer());

    EXPECT_TRUE(Ask(devices, "unplug", 1)["ok"].get<bool>());
    list = Ask(devices, "list");
    EXPECT_EQ(list["units"][0]["state"], "plugged");
    EXPECT_EQ(list["units"][1]["state"], "removed");
    EXPECT_FALSE(list["units"][1].contains("rate"));
    EXPECT_FALSE(list["units"][1].contains("outputLevels"));
    EXPECT_FALSE(Ask(devices, "unplug", 1)["ok"].get<bool>());

    const nlohmann::json replug = Ask(devices, "plug", 1);
    ASSERT_TRUE(replug["ok"].get<bool>()) << replug.dump();
    EXPECT_EQ(replug["state"], "plugged");
    EXPECT_EQ(plugged, std::vector<int>{1});
    EXPECT_NE(rig.Facade(1), nullptr);
    EXPECT_FALSE(Ask(devices, "plug", 0)["ok"].get<bool>());

    ASSERT_TRUE(Ask(devices, "sleep")["ok"].get<bool>());
    EXPECT_TRUE(devices.Asleep());
    EXPECT_EQ(Ask(devices, "list")["units"][0]["state"], "asleep");
    EXPECT_FALSE(Ask(devices, "sleep")["ok"].get<bool>());
    EXPECT_TRUE(Ask(devices, "unplug", 0)["ok"].get<bool>());
    EXPECT_FALSE(Ask(devices, "plug", 0)["ok"].get<bool>()) << "plugged into a sleeping machine";
    ASSERT_TRUE(Ask(devices, "wake")["ok"].get<bool>());
    EXPECT_FALSE(devices.Asleep());
    EXPECT_TRUE(Ask(devices, "plug", 0)["ok"].get<bool>());
    EXPECT_EQ(Ask(devices, "list")["units"][0]["state"], "plugged");
    EXPECT_EQ(Ask(devices, "list")["units"][1]["state"], "plugged");
}

TEST(MachineDevices, MalformedRequestsAreRefusedWithAReason) {
    DeviceRig rig(TwoUnits());
    MachineDevices devices(rig);
    for (const std::string& text :
         {std::string("not json"), std::string("[1,2]"), std::string("{}"),
          std::string(R"({"action": 7})"), std::string(R"({"action": "explode"})"),
          std::string(R"({"action": "unplug"})"),
          std::string(R"({"action": "unplug", "unit": "0"})"),
          std::string(R"({"action": "plug", "unit": 2})"),
          std::string(R"({"action": "unplug", "unit": -1})"),
          std::string(R"({"action": "unplug", "unit": 1e300})")}) {
        const nlohmann::json answer = nlohmann::json::parse(devices.RunText(text));
        EXPECT_FALSE(answer["ok"].get<bool>()) << text;
        EXPECT_FALSE(answer["error"].get<std::string>().empty()) << text;
    }
}

TEST(MachineDevices, PulledUnitHeldByAClientComesBackOnlyOnceItLetsGo) {
    DeviceRigOptions options;
    DeviceRig rig(options);
    std::string error;
    ASSERT_TRUE(StartDeviceWithSettings(rig, DefaultMixerSettings(), &error)) << error;
    MachineDevices devices(rig);
    int replugs = 0;
    devices.OnPlugged([&](int) { ++replugs; });
    {
        sim::Process client("holder");
        const auto links = sim::EnabledDeviceInterfaces(Q407InterfaceClass());
        ASSERT_FALSE(links.empty());
        HANDLE handle = nullptr;
        ASSERT_EQ(client.OpenDevice(links.front(), &handle), STATUS_SUCCESS);
        ASSERT_TRUE(Ask(devices, "unplug", 0)["ok"].get<bool>());
        EXPECT_EQ(devices.StateOf(0), "removing");
        const nlohmann::json refused = Ask(devices, "plug", 0);
        EXPECT_FALSE(refused["ok"].get<bool>());
        EXPECT_NE(refused["error"].get<std::string>().find("handle"), std::string::npos);
        EXPECT_EQ(replugs, 0);
    }
    rig.Pnp().WaitIdle();
    EXPECT_EQ(devices.StateOf(0), "removed");
    ASSERT_TRUE(Ask(devices, "plug", 0)["ok"].get<bool>());
    EXPECT_EQ(replugs, 1);
}

TEST(MachineFeeds, FilesPerUnitAndInputsChecked) {
    EXPECT_EQ(UnitFilePath("/a/out.wav", 0), "/a/out.wav");
    EXPECT_EQ(UnitFilePath("/a/out.wav", 2), "/a/out-2.wav");
    EXPECT_EQ(UnitFilePath("/a.b/out", 1), "/a.b/out-1");
    EXPECT_EQ(UnitFilePath(".hidden", 1), ".hidden-1");

    MachineFeeds feeds;
    std::string error;
    for (const char* input : {"loopback", "ramp", "signal", "silence"}) {
        MachineFeedOptions options;
        options.input = input;
        EXPECT_TRUE(feeds.Prepare(options, &error)) << input << ": " << error;
    }
    MachineFeedOptions missing;
    missing.input = TempPath("no-such.wav");
    EXPECT_FALSE(feeds.Prepare(missing, &error));
    EXPECT_NE(error.find("no-such.wav"), std::string::npos);
}

TEST(MachineFeeds, ReplugKeepsWritingTheUnitsOutputFileAndCapturesPerUnit) {
    const std::string wav = TempPath("outputs.wav");
    const std::string pcap = TempPath("traffic.pcap");
    {
        DeviceRig rig(TwoUnits());
        std::string error;
        ASSERT_TRUE(StartDeviceWithSettings(rig, DefaultMixerSettings(), &error)) << error;
        MachineFeeds feeds;
        MachineFeedOptions options;
        options.input = "ramp";
        options.outputsWav = wav;
        options.pcapPath = pcap;
        ASSERT_TRUE(feeds.Prepare(options, &error)) << error;
        for (int unit = 0; unit < 2; ++unit) ASSERT_TRUE(feeds.Apply(rig, unit, &error)) << error;
        MachineDevices devices(rig);
        devices.OnPlugged([&](int unit) { ASSERT_TRUE(feeds.Apply(rig, unit, &error)) << error; });
        rig.RunForSeconds(0.05);
        ASSERT_TRUE(Ask(devices, "unplug", 1)["ok"].get<bool>());
        ASSERT_TRUE(Ask(devices, "plug", 1)["ok"].get<bool>());
        rig.RunForSeconds(0.05);
        EXPECT_TRUE(feeds.Finish(rig, &error)) << error;
    }
    // 0.05 s of 8 outputs, 24 bits, at the default rate: what one device's run writes. The
    // replugged unit's file holds both its devices' runs.
    const uintmax_t oneRun = 44100 / 20 * 8 * 3;
    EXPECT_GT(std::filesystem::file_size(wav), oneRun * 3 / 2);
    EXPECT_GT(std::filesystem::file_size(UnitFilePath(wav, 1)), oneRun * 3 / 2);
    EXPECT_GT(std::filesystem::file_size(pcap), 24U);
    EXPECT_GT(std::filesystem::file_size(UnitFilePath(pcap, 1)), 24U);
    for (const std::string& path : {pcap, UnitFilePath(pcap, 1), wav, UnitFilePath(wav, 1)})
        std::filesystem::remove(path);
}

TEST(MachineSettings, RateAndSettingsSurviveARestart) {
    const std::string path = TempPath("registry/settings.txt");
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
    const auto storedRate = [](DeviceRig& rig, int unit) {
        const auto value = sim::RegistryStore::Instance().QueryValue(
            sim::DeviceRegistryKeyPath(rig.VirtualDevice(unit).Pdo(),
                                       PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE),
            L"MixerQ40714");
        if (!value || value->data.size() != sizeof(MixerSettings)) return -1;
        MixerSettings settings{};
        std::memcpy(&settings, value->data.data(), sizeof(settings));
        return static_cast<int>(settings.sampleRate);
    };
    std::string error;
    {
        DeviceRig rig(TwoUnits());
        ASSERT_TRUE(LoadMachineSettings(rig, path, 96000, false, &error)) << error;
        EXPECT_EQ(storedRate(rig, 0), 96000);
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        EXPECT_EQ(rig.Device(1).ClockRate(), 96000U);
        rig.Remove(0);
        rig.Remove(1);
        ASSERT_TRUE(SaveMachineSettings(path, &error)) << error;
    }
    {
        DeviceRig rig(TwoUnits());
        ASSERT_TRUE(LoadMachineSettings(rig, path, 44100, false, &error)) << error;
        EXPECT_EQ(storedRate(rig, 0), 96000) << "the saved settings win over the default rate";
        EXPECT_EQ(storedRate(rig, 1), 96000);
    }
    {
        DeviceRig rig(TwoUnits());
        ASSERT_TRUE(LoadMachineSettings(rig, path, 48000, true, &error)) << error;
        EXPECT_EQ(storedRate(rig, 1), 48000) << "a rate asked for wins over the saved one";
    }
    std::ofstream(path) << "garbage\n";
    {
        DeviceRig rig(TwoUnits());
        EXPECT_FALSE(LoadMachineSettings(rig, path, 48000, false, &error));
        EXPECT_NE(error.find(path), std::string::npos);
    }
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

}  // namespace
}  // namespace q407::tools
