// The one include for kernel-mode code. Two backends: the emulated kernel's own declarations
// (implemented by sim/host), or, in the Windows build, the kit's headers and our compatibility
// header.
#pragma once

#if defined(Q407_REAL_KITS)
#include "platform/kits/kit_compat.h"
#else
#include "dma.h"
#include "ex_pool.h"
#include "io_manager.h"
#include "ke.h"
#include "mm.h"
#include "nt_types.h"
#include "ntstatus_values.h"
#include "power.h"
#include "ps_ob.h"
#include "registry.h"
#include "rtl.h"
#endif
