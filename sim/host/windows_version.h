// The Windows version the emulated machine reports (RtlGetVersion, IoIsWdmVersionAvailable).
#pragma once

#include "platform/kernel/nt_types.h"

namespace q407::sim {

struct WindowsVersion {
    ULONG major = 10;
    ULONG minor = 0;
    ULONG build = 19045;
};

void SetWindowsVersion(const WindowsVersion& version);
WindowsVersion CurrentWindowsVersion();

}  // namespace q407::sim
