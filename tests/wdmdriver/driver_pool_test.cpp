// The port-class driver's pool choice by system version.
#include "wdmdriver/driver_pool.h"

#include <gtest/gtest.h>

#include "sim/host/machine.h"
#include "sim/host/windows_version.h"

using namespace q407;

TEST(WdmDriverPool, NoExecutePoolFromWindows8On) {
    EXPECT_EQ(wdm::WdmPoolForVersion(6, 1), NonPagedPool);  // Windows 7
    EXPECT_EQ(wdm::WdmPoolForVersion(6, 2), NonPagedPoolNx);
    EXPECT_EQ(wdm::WdmPoolForVersion(6, 3), NonPagedPoolNx);
    EXPECT_EQ(wdm::WdmPoolForVersion(5, 9), NonPagedPool);
    EXPECT_EQ(wdm::WdmPoolForVersion(10, 0), NonPagedPoolNx);
}

TEST(WdmDriverPool, EntryChoosesFromTheReportedVersion) {
    sim::Machine m;
    sim::SetWindowsVersion({6, 1, 7601});
    ASSERT_EQ(wdm::ChooseWdmPool(), STATUS_SUCCESS);
    EXPECT_EQ(wdm::WdmNonPagedPool(), NonPagedPool);
    sim::SetWindowsVersion({10, 0, 19045});
    ASSERT_EQ(wdm::ChooseWdmPool(), STATUS_SUCCESS);
    EXPECT_EQ(wdm::WdmNonPagedPool(), NonPagedPoolNx);
}
