// The DirectMusic port's master clock: the machine's interrupt time, in 100-ns units, which is
// also the time base of the events' presentation times.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::sim::portcls {

class DmusMasterClock final : public IMasterClock {
  public:
    // One counted reference in *clock.
    static NTSTATUS Create(DmusMasterClock** clock);

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP_(NTSTATUS) GetTime(REFERENCE_TIME* time) override;

  private:
    DmusMasterClock() = default;
    volatile LONG refs_ = 1;
};

}  // namespace q407::sim::portcls
