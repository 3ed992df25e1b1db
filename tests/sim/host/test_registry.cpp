// The registry: device keys, value queries with their buffer-size rules, persistence, and
// unloading drivers by service key.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "platform/kernel/wdk.h"
#include "sim/host/io_manager.h"
#include "sim/host/machine.h"
#include "tests/sim/host/test_driver.h"

using namespace q407::sim;
using namespace q407::test;

namespace {
UNICODE_STRING Name(const wchar_t* s) {
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s);
    return u;
}
}  // namespace

TEST(Registry, DriverKeyValuesRoundTripWithTheDocumentedBufferRules) {
    Machine m;
    PDRIVER_OBJECT driver = LoadTestDriver();
    TestDevice* pdo = CreateTestDevice(driver, TestDevice::Role::Bottom, "PDO", nullptr);
    SetPhysicalDevice(pdo->self, L"USB\\VID_0A4E&PID_4040\\5&1");
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo->self,
                                      PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                      KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    UNICODE_STRING name = Name(L"MixerQ40714");
    UCHAR block[1868];
    for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<UCHAR>(i * 7);
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, block, sizeof block), STATUS_SUCCESS);

    const ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG needed = 0;
    UCHAR small[8];
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, small, sizeof small, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, fixed + 1868);
    std::vector<UCHAR> partial(fixed + 100);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, partial.data(),
                              ULONG(partial.size()), &needed),
              STATUS_BUFFER_OVERFLOW);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(partial.data());
    EXPECT_EQ(info->Type, ULONG(REG_BINARY));
    EXPECT_EQ(info->DataLength, 1868u);
    EXPECT_EQ(memcmp(info->Data, block, 100), 0);
    std::vector<UCHAR> full(needed);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, full.data(), needed, &needed),
              STATUS_SUCCESS);
    info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(full.data());
    EXPECT_EQ(memcmp(info->Data, block, sizeof block), 0);
    UNICODE_STRING missing = Name(L"Nothing");
    EXPECT_EQ(
        ZwQueryValueKey(key, &missing, KeyValuePartialInformation, full.data(), needed, &needed),
        STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);

    // The test sees the value where the device's driver key lives.
    const std::wstring path = DeviceRegistryKeyPath(
        pdo->self, PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
    auto stored = m.Registry().QueryValue(path, L"mixerq40714");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->data.size(), 1868u);
    DeleteTestDevice(pdo);
    UnloadDriver(L"TestDrv");
}

TEST(Registry, AKeyOpenedForReadingRefusesWrites) {
    Machine m;
    PDRIVER_OBJECT driver = LoadTestDriver();
    TestDevice* pdo = CreateTestDevice(driver, TestDevice::Role::Bottom, "PDO", nullptr);
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo->self, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_SUCCESS);
    UNICODE_STRING name = Name(L"Value");
    ULONG v = 1;
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &v, sizeof v), STATUS_ACCESS_DENIED);
    ZwClose(key);
    DeleteTestDevice(pdo);
    UnloadDriver(L"TestDrv");
}

TEST(Registry, SettingsSurviveASimulatedRestartThroughAFile) {
    char path[] = "/tmp/q407-registry-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::wstring keyPath =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Q407DRV";
    {
        Machine m;
        m.Registry().SetValue(keyPath, L"Binary", REG_BINARY, {0, 1, 2, 0xFF});
        m.Registry().SetValue(keyPath, L"Name With Spaces", REG_SZ, {'a', 0, 0, 0});
        m.Registry().SetValue(keyPath + L"\\Empty", L"", REG_NONE, {});
        ASSERT_TRUE(m.Registry().SaveToFile(path));
    }
    Machine m;
    EXPECT_FALSE(m.Registry().KeyExists(keyPath));
    ASSERT_TRUE(m.Registry().LoadFromFile(path));
    auto binary = m.Registry().QueryValue(keyPath, L"BINARY");
    ASSERT_TRUE(binary.has_value());
    EXPECT_EQ(binary->type, ULONG(REG_BINARY));
    EXPECT_EQ(binary->data, (std::vector<UCHAR>{0, 1, 2, 0xFF}));
    auto named = m.Registry().QueryValue(keyPath, L"Name With Spaces");
    ASSERT_TRUE(named.has_value());
    EXPECT_EQ(named->type, ULONG(REG_SZ));
    EXPECT_TRUE(m.Registry().QueryValue(keyPath + L"\\empty", L"").has_value());
    // A file that is not a registry file is refused and leaves the contents alone.
    FILE* f = fopen(path, "w");
    fputs("garbage\n", f);
    fclose(f);
    EXPECT_FALSE(m.Registry().LoadFromFile(path));
    EXPECT_TRUE(m.Registry().QueryValue(keyPath, L"Binary").has_value());
    unlink(path);
}

namespace {
int g_unloads = 0;
void CountingUnload(PDRIVER_OBJECT) {
    ++g_unloads;
}
NTSTATUS CountingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    const std::wstring p(path->Buffer, path->Length / sizeof(WCHAR));
    if (p != L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Q407WDM_01")
        return STATUS_UNSUCCESSFUL;
    driver->DriverUnload = CountingUnload;
    return STATUS_SUCCESS;
}
}  // namespace

TEST(Registry, ZwUnloadDriverUnloadsTheServiceItNames) {
    Machine m;
    g_unloads = 0;
    ASSERT_EQ(LoadDriver(L"Q407WDM_01", CountingEntry), STATUS_SUCCESS);
    UNICODE_STRING other = Name(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Other");
    EXPECT_EQ(ZwUnloadDriver(&other), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(g_unloads, 0);
    UNICODE_STRING name =
        Name(L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\q407wdm_01");
    EXPECT_EQ(ZwUnloadDriver(&name), STATUS_SUCCESS);
    EXPECT_EQ(g_unloads, 1);
    EXPECT_EQ(FindDriver(L"Q407WDM_01"), nullptr);
    EXPECT_EQ(ZwUnloadDriver(&name), STATUS_OBJECT_NAME_NOT_FOUND);
}
