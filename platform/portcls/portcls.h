// The one include for a port-class audio driver: the kernel, kernel-mode COM, kernel streaming,
// the port-class driver's interfaces and DirectMusic. Two backends: the emulation's declarations
// (implemented by sim/host/portcls), or, in the Windows build, the kit's headers and our
// compatibility header.
#pragma once

#if defined(Q407_REAL_KITS)
#include "platform/kits/portcls_compat.h"
#else
#include "direct_music.h"
#include "kernel_com.h"
#include "kernel_streaming.h"
#include "kernel_streaming_audio.h"
#include "platform/kernel/wdk.h"
#include "port_class.h"
#endif
