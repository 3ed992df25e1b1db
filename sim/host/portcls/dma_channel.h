// A master DMA channel (IDmaChannel) as the wave-PCI port makes it: the DMA adapter comes from
// the standard bus interface, which the port asks for down the subdevice's device stack with a
// query-interface request; the channel's buffer is the adapter's common buffer.
//
// Create at PASSIVE_LEVEL (it sends a request and waits); the other operations at any IRQL up to
// DISPATCH_LEVEL. The last release frees the buffer, puts the adapter back and dereferences the
// bus interface.
#pragma once

#include "platform/portcls/portcls.h"

namespace q407::sim::portcls {

struct DmaChannelRequest {
    BOOLEAN scatterGather = FALSE;
    BOOLEAN dma32BitAddresses = FALSE;
    BOOLEAN dma64BitAddresses = FALSE;
    BOOLEAN ignoreCount = FALSE;
    DMA_WIDTH dmaWidth = Width32Bits;
    DMA_SPEED dmaSpeed = Compatible;
    ULONG maximumLength = 0;
    ULONG dmaPort = 0;
};

class DmaChannel final : public IDmaChannel {
  public:
    // deviceObject: the subdevice's device (the top of its stack is asked). One counted
    // reference in *channel.
    static NTSTATUS Create(PDEVICE_OBJECT deviceObject, const DmaChannelRequest& request,
                           DmaChannel** channel);

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP_(NTSTATUS)
    AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS physicalAddressConstraint) override;
    STDMETHODIMP_(void) FreeBuffer() override;
    STDMETHODIMP_(ULONG) TransferCount() override;
    STDMETHODIMP_(ULONG) MaximumBufferSize() override;
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override;
    STDMETHODIMP_(ULONG) BufferSize() override;
    STDMETHODIMP_(void) SetBufferSize(ULONG bufferSize) override;
    STDMETHODIMP_(PVOID) SystemAddress() override;
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override;
    STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG byteCount) override;
    STDMETHODIMP_(void) CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override;

    // The description the adapter was asked with (for checks).
    const DEVICE_DESCRIPTION& Description() const { return description_; }
    ULONG MapRegisters() const { return mapRegisters_; }

  private:
    DmaChannel() = default;
    ~DmaChannel();

    volatile LONG refs_ = 1;
    BUS_INTERFACE_STANDARD bus_{};
    bool haveBus_ = false;
    PDMA_ADAPTER adapter_ = nullptr;
    DEVICE_DESCRIPTION description_{};
    ULONG mapRegisters_ = 0;
    ULONG maximumSize_ = 0;
    PVOID buffer_ = nullptr;
    PHYSICAL_ADDRESS logical_{};
    ULONG allocatedSize_ = 0;
    ULONG bufferSize_ = 0;
};

// Sends IRP_MN_QUERY_INTERFACE for the interface to the top of the device's stack and waits for
// the answer. PASSIVE_LEVEL.
NTSTATUS QueryDeviceInterface(PDEVICE_OBJECT deviceObject, const GUID& type, USHORT size,
                              USHORT version, PINTERFACE record);

}  // namespace q407::sim::portcls
