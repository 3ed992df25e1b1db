// The one include through which the ASIO driver and the control panel reach a device: device
// setup enumeration of an interface class, CreateFileW, DeviceIoControl, CloseHandle, events,
// threads, timeGetTime and the timer resolution, finding and starting another program's window,
// under their Win32 names. The Windows build takes them from Win32 itself; the bench from its
// emulated machine.
#pragma once

#if defined(Q407_REAL_KITS)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: these rely on its types.
#include <mmsystem.h>
#include <setupapi.h>
#include <shellapi.h>
#else
#include "platform/user/bench_shell.h"
#include "platform/user/bench_win32.h"
using namespace q407::win32;
#endif
