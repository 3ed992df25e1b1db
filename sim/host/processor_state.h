// The emulated processors' feature set and the extended-state saves of kernel code.
#pragma once

#include "platform/kernel/nt_types.h"

namespace q407::sim {

// Makes ExIsProcessorFeaturePresent deny a feature the host has (hidden) or report it again, so
// that tests reach the paths of processors without it. Machine-wide.
void HideProcessorFeature(ULONG feature, bool hidden);

// Extended-state saves still open on the calling thread.
int OpenExtendedStateSaves();

}  // namespace q407::sim
