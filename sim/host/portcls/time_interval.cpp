// PcGetTimeInterval: the port-class driver's clock is the interrupt time (100-nanosecond units).
#include "platform/portcls/portcls.h"

ULONGLONG PcGetTimeInterval(ULONGLONG Since) {
    return KeQueryInterruptTime() - Since;
}
