// Kernel debugger output of the audio driver: the audio component at error level, so that the
// messages show with the default debug filter.
#pragma once

#include "platform/kernel/wdk.h"

#define WDM_TRACE(...) DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, __VA_ARGS__)
