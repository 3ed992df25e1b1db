// The emulated DMA adapter: its record and operation table, the buffers it hands out (tagged,
// freed exactly once whichever operation frees them), and its failures.
#include "usbdriver/control/emulated_dma_adapter.h"

#include <gtest/gtest.h>

#include "sim/host/machine.h"
#include "sim/host/pool.h"

namespace q407::testing {
namespace {

struct ExecutionCall {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    PIRP irp = nullptr;
    PVOID base = nullptr;
};

IO_ALLOCATION_ACTION RecordExecution(PDEVICE_OBJECT device, PIRP irp, PVOID base, PVOID context) {
    auto* call = static_cast<ExecutionCall*>(context);
    ++call->calls;
    call->device = device;
    call->irp = irp;
    call->base = base;
    return KeepObject;
}

void CountListCall(PDEVICE_OBJECT, PIRP, PSCATTER_GATHER_LIST, PVOID context) {
    ++static_cast<ExecutionCall*>(context)->calls;
}

class EmulatedDmaAdapterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DEVICE_DESCRIPTION description{};
        description.Version = DEVICE_DESCRIPTION_VERSION;
        description.Master = TRUE;
        description.MaximumLength = 3 * kMapRegisterBytes + 1;
        ULONG mapRegisters = 0;
        adapter_ = GetEmulatedDmaAdapter(nullptr, &description, &mapRegisters);
        ASSERT_NE(adapter_, nullptr);
        EXPECT_EQ(mapRegisters, 4u);
        ops_ = adapter_->DmaOperations;
        device_.CurrentIrp = reinterpret_cast<PIRP>(&irpStandIn_);
    }
    void TearDown() override {
        EXPECT_EQ(sim::Pool::LeakReport({kCommonBufferPoolTag, kMapRegisterPoolTag}), "");
    }

    static size_t Outstanding(ULONG tag) { return sim::Pool::Usage(tag).allocations; }

    sim::Machine machine_;
    PDMA_ADAPTER adapter_ = nullptr;
    DMA_OPERATIONS* ops_ = nullptr;
    DEVICE_OBJECT device_{};
    int irpStandIn_ = 0;
};

TEST_F(EmulatedDmaAdapterTest, OneAdapterWithTheListedOperationsOnly) {
    EXPECT_EQ(adapter_->Version, 1);
    EXPECT_EQ(adapter_->Size, 16);
    EXPECT_EQ(GetEmulatedDmaAdapter(&device_, nullptr, nullptr), adapter_);
    ULONG mapRegisters = 0;
    EXPECT_EQ(GetEmulatedDmaAdapter(nullptr, nullptr, &mapRegisters), adapter_);
    EXPECT_EQ(mapRegisters, 1u);

    ASSERT_NE(ops_, nullptr);
    EXPECT_EQ(ops_->Size, 232u);
    EXPECT_NE(ops_->PutDmaAdapter, nullptr);
    EXPECT_NE(ops_->BuildMdlFromScatterGatherList, nullptr);
    EXPECT_EQ(ops_->GetDmaAdapterInfo, nullptr);
    EXPECT_EQ(ops_->CancelMappedTransfer, nullptr);

    ExecutionCall call;
    EXPECT_EQ(ops_->FlushAdapterBuffers(adapter_, nullptr, nullptr, nullptr, 64, TRUE), TRUE);
    ULONG length = 64;
    EXPECT_EQ(ops_->MapTransfer(adapter_, nullptr, nullptr, nullptr, &length, TRUE).QuadPart, 0);
    EXPECT_EQ(ops_->GetDmaAlignment(adapter_), 0u);
    EXPECT_EQ(ops_->ReadDmaCounter(adapter_), 0u);
    EXPECT_EQ(ops_->GetScatterGatherList(adapter_, &device_, nullptr, nullptr, 64, CountListCall,
                                         &call, TRUE),
              STATUS_SUCCESS);
    EXPECT_EQ(call.calls, 0);  // answered without calling the routine
    EXPECT_EQ(ops_->BuildScatterGatherList(adapter_, &device_, nullptr, nullptr, 64, CountListCall,
                                           &call, TRUE, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(call.calls, 0);
    ops_->PutScatterGatherList(adapter_, nullptr, TRUE);
    ops_->PutDmaAdapter(adapter_);
}

TEST_F(EmulatedDmaAdapterTest, CommonBuffersAreTaggedRememberedAndFreedByTheirOwner) {
    PHYSICAL_ADDRESS logical;
    logical.QuadPart = 0x1234;
    PVOID first = ops_->AllocateCommonBuffer(adapter_, 1000, &logical, TRUE);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(logical.QuadPart, 0);
    EXPECT_EQ(EmulatedDmaAdapterLastBuffer(), first);
    EXPECT_EQ(sim::Pool::Usage(kCommonBufferPoolTag).bytes, 1000u);
    static_cast<unsigned char*>(first)[999] = 0x5A;  // the whole length is usable

    // Length 0 gives nothing and forgets the previous buffer, which stays its owner's.
    EXPECT_EQ(ops_->AllocateCommonBuffer(adapter_, 0, &logical, TRUE), nullptr);
    EXPECT_EQ(EmulatedDmaAdapterLastBuffer(), nullptr);
    EXPECT_EQ(Outstanding(kCommonBufferPoolTag), 1u);

    PVOID second = ops_->AllocateCommonBuffer(adapter_, 4096, &logical, FALSE);
    ASSERT_NE(second, nullptr);
    // Releasing the channel does not free a common buffer: its owner frees it, once.
    ops_->FreeAdapterChannel(adapter_);
    EXPECT_EQ(Outstanding(kCommonBufferPoolTag), 2u);
    ops_->FreeCommonBuffer(adapter_, 4096, logical, second, FALSE);
    EXPECT_EQ(EmulatedDmaAdapterLastBuffer(), nullptr);
    ops_->FreeCommonBuffer(adapter_, 1000, logical, first, TRUE);
    ops_->FreeCommonBuffer(adapter_, 0, logical, nullptr, TRUE);
    EXPECT_EQ(Outstanding(kCommonBufferPoolTag), 0u);

    sim::Pool::FailTag(kCommonBufferPoolTag);
    EXPECT_EQ(ops_->AllocateCommonBuffer(adapter_, 64, &logical, TRUE), nullptr);
    sim::Pool::ClearFailures();
}

TEST_F(EmulatedDmaAdapterTest, AdapterChannelBuffersGoToTheExecutionRoutineAndAreFreedOnce) {
    ExecutionCall call;
    ASSERT_EQ(ops_->AllocateAdapterChannel(adapter_, &device_, 3, RecordExecution, &call),
              STATUS_SUCCESS);
    ASSERT_EQ(call.calls, 1);
    EXPECT_EQ(call.device, &device_);
    EXPECT_EQ(call.irp, device_.CurrentIrp);
    ASSERT_NE(call.base, nullptr);
    EXPECT_EQ(EmulatedDmaAdapterLastBuffer(), call.base);
    EXPECT_EQ(sim::Pool::Usage(kMapRegisterPoolTag).bytes, 3u * kMapRegisterBytes);
    ops_->FreeAdapterChannel(adapter_);
    EXPECT_EQ(Outstanding(kMapRegisterPoolTag), 0u);
    EXPECT_EQ(EmulatedDmaAdapterLastBuffer(), nullptr);
    ops_->FreeAdapterChannel(adapter_);  // nothing left to free

    // Map registers freed by their base are forgotten, so the channel's release frees nothing.
    ASSERT_EQ(ops_->AllocateAdapterChannel(adapter_, &device_, 1, RecordExecution, &call),
              STATUS_SUCCESS);
    ops_->FreeMapRegisters(adapter_, call.base, 1);
    EXPECT_EQ(Outstanding(kMapRegisterPoolTag), 0u);
    ops_->FreeAdapterChannel(adapter_);
    ops_->FreeMapRegisters(adapter_, nullptr, 1);

    // No map registers, a size that does not fit, or no memory: refused, the routine not called.
    call = {};
    EXPECT_EQ(ops_->AllocateAdapterChannel(adapter_, &device_, 0, RecordExecution, &call),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ops_->AllocateAdapterChannel(adapter_, &device_, 0x00100000, RecordExecution, &call),
              STATUS_UNSUCCESSFUL);
    sim::Pool::FailTag(kMapRegisterPoolTag);
    EXPECT_EQ(ops_->AllocateAdapterChannel(adapter_, &device_, 2, RecordExecution, &call),
              STATUS_UNSUCCESSFUL);
    sim::Pool::ClearFailures();
    EXPECT_EQ(call.calls, 0);
    EXPECT_EQ(EmulatedDmaAdapterLastBuffer(), nullptr);
}

}  // namespace
}  // namespace q407::testing
