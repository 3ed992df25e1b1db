// Kernel debugger output of the engine: the audio driver component at error level, so that the
// messages show with the default debug filter.
#pragma once

#include "platform/kernel/wdk.h"

#define ENGINE_TRACE(...) DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_ERROR_LEVEL, __VA_ARGS__)
