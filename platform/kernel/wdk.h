// The one include for kernel-mode code.
#pragma once

#include "ex_pool.h"
#include "io_manager.h"
#include "ke.h"
#include "mm.h"
#include "nt_types.h"
#include "ntstatus_values.h"
#include "ps_ob.h"
#include "registry.h"
#include "rtl.h"
