// URBs through IofCallDriver to the bus PDO, in virtual time.
#include "sim/device/usb_bus.h"

#include <gtest/gtest.h>

#include <memory>

#include "bus_test_support.h"
#include "sim/host/thread_context.h"
#include "tshark_runner.h"
#include "unit_bits.h"

namespace q407::sim {
namespace {

using test::UrbRequest;

struct BusFixture : ::testing::Test {
    Machine machine;
    std::unique_ptr<VirtualQ407> q = std::make_unique<VirtualQ407>();
    PDEVICE_OBJECT pdo = q->Pdo();
    USBD_CONFIGURATION_HANDLE config = nullptr;

    void StartStreaming(std::vector<USBD_PIPE_INFORMATION>& audio,
                        std::vector<USBD_PIPE_INFORMATION>& midi) {
        test::Configure(pdo, &config);
        ASSERT_EQ(test::SelectAlternate(pdo, config, 0, 1, &audio), STATUS_SUCCESS);
        ASSERT_EQ(test::SelectAlternate(pdo, config, 1, 1, &midi), STATUS_SUCCESS);
    }
};

TEST_F(BusFixture, EnumerationAndSelection) {
    ASSERT_NE(pdo, nullptr);
    USB_DEVICE_DESCRIPTOR dd{};
    UrbRequest r(pdo);
    UsbBuildGetDescriptorRequest(r.Urb(), sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &dd, nullptr, sizeof dd,
                                 nullptr);
    ClockTicks before = machine.Now();
    r.Send();
    EXPECT_EQ(r.returned, STATUS_PENDING);
    ASSERT_EQ(r.Wait(), STATUS_SUCCESS);
    EXPECT_GT(machine.Now(), before);  // answered after the bus delay
    EXPECT_EQ(r.Urb()->UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(dd.bNumConfigurations, 1);
    USHORT vendor = dd.idVendor;  // packed field: copy before comparing
    EXPECT_EQ(vendor, kVendorId);

    auto cd = test::Configure(pdo, &config);
    EXPECT_NE(config, nullptr);
    EXPECT_EQ(q->Device().Configuration(), 1);

    std::vector<USBD_PIPE_INFORMATION> pipes;
    ASSERT_EQ(test::SelectAlternate(pdo, config, 0, 1, &pipes), STATUS_SUCCESS);
    ASSERT_EQ(pipes.size(), 2u);
    EXPECT_EQ(pipes[0].EndpointAddress, 0x05);
    EXPECT_EQ(pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(pipes[0].MaximumPacketSize, 964);
    EXPECT_EQ(pipes[1].EndpointAddress, 0x86);
    EXPECT_EQ(pipes[1].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_NE(pipes[0].PipeHandle, nullptr);
    EXPECT_TRUE(q->Device().Streaming());
    ASSERT_EQ(test::SelectAlternate(pdo, config, 1, 1, &pipes), STATUS_SUCCESS);
    ASSERT_EQ(pipes.size(), 2u);
    EXPECT_EQ(pipes[0].EndpointAddress, 0x82);
    EXPECT_EQ(pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(pipes[1].PipeType, UsbdPipeTypeIsochronous);
    // A stale configuration handle and a missing alternate are refused.
    USBD_STATUS usbd;
    EXPECT_EQ(test::SelectAlternate(pdo, reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x1234), 0, 1,
                                    nullptr, &usbd),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(test::SelectAlternate(pdo, config, 1, 2, nullptr, &usbd), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(usbd, USBD_STATUS_INTERFACE_NOT_FOUND);
}

TEST_F(BusFixture, FallbackWhenAnAlternateFails) {
    test::Configure(pdo, &config);
    q->Device().AddControlFault({0x01, 0x0B, 1, 1, ControlOutcome::Stall, -1});
    USBD_STATUS usbd;
    std::vector<USBD_PIPE_INFORMATION> pipes;
    EXPECT_EQ(test::SelectAlternate(pdo, config, 1, 1, nullptr, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
    ASSERT_EQ(test::SelectAlternate(pdo, config, 1, 0, &pipes), STATUS_SUCCESS);
    ASSERT_EQ(pipes.size(), 1u);
    EXPECT_EQ(pipes[0].EndpointAddress, 0x82);
}

TEST_F(BusFixture, VendorAndClassRequestsAndTheirFaults) {
    std::uint8_t rate[3] = {0x80, 0xBB, 0x00};
    USBD_STATUS usbd;
    EXPECT_EQ(test::VendorRequest(pdo, URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0100, 0x86, rate,
                                  3, &usbd),
              STATUS_SUCCESS);
    EXPECT_EQ(usbd, USBD_STATUS_SUCCESS);
    EXPECT_EQ(q->Device().EndpointRate(0x86), 48000u);
    std::uint8_t cur[3] = {};
    ULONG moved = 0;
    EXPECT_EQ(test::VendorRequest(pdo, URB_FUNCTION_CLASS_INTERFACE, true, 0x81, 0x0100, 0, cur, 3,
                                  &usbd, &moved),
              STATUS_SUCCESS);
    EXPECT_EQ(moved, 3u);
    EXPECT_EQ(cur[1], 0xBB);
    std::uint8_t info[8] = {};
    EXPECT_EQ(test::VendorRequest(pdo, URB_FUNCTION_VENDOR_DEVICE, true, 0x56, 0, 0, info, 8),
              STATUS_SUCCESS);
    EXPECT_EQ(info[0], 'B');

    q->Device().AddControlFault({0xC0, 0x49, -1, -1, ControlOutcome::Stall, 1});
    q->Device().AddControlFault({0xC0, 0x56, -1, -1, ControlOutcome::NoResponse, 1});
    std::uint8_t status = 0xEE;
    EXPECT_EQ(
        test::VendorRequest(pdo, URB_FUNCTION_VENDOR_DEVICE, true, 0x49, 0, 0, &status, 1, &usbd),
        STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(
        test::VendorRequest(pdo, URB_FUNCTION_VENDOR_DEVICE, true, 0x56, 0, 0, info, 8, &usbd),
        STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(
        test::VendorRequest(pdo, URB_FUNCTION_VENDOR_DEVICE, true, 0x49, 0, 0, &status, 1, &usbd),
        STATUS_SUCCESS);

    // A short descriptor shows in the moved length; a lying one in its contents.
    q->Device().AddDescriptorFault({USB_CONFIGURATION_DESCRIPTOR_TYPE, 6, -1, 1});
    std::uint8_t head[9] = {};
    UrbRequest r(pdo);
    UsbBuildGetDescriptorRequest(r.Urb(), sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, head, nullptr, 9,
                                 nullptr);
    ASSERT_EQ(r.SendAndWait(), STATUS_SUCCESS);
    EXPECT_EQ(r.Urb()->UrbControlDescriptorRequest.TransferBufferLength, 6u);
    q->Device().AddDescriptorFault({USB_CONFIGURATION_DESCRIPTOR_TYPE, -1, 8, 1});
    UsbBuildGetDescriptorRequest(r.Urb(), sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, head, nullptr, 9,
                                 nullptr);
    ASSERT_EQ(r.SendAndWait(), STATUS_SUCCESS);
    EXPECT_EQ(head[2] | (head[3] << 8), 8);

    // Malformed URBs never reach the device.
    UsbBuildVendorRequest(r.Urb(), 0x7777, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0, 0,
                          0, nullptr, nullptr, 0, nullptr);
    EXPECT_EQ(r.SendAndWait(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.UrbStatus(), USBD_STATUS_INVALID_URB_FUNCTION);
    UsbBuildVendorRequest(r.Urb(), URB_FUNCTION_VENDOR_DEVICE, 8, 0, 0, 0x49, 0xFF32, 0, nullptr,
                          nullptr, 0, nullptr);
    EXPECT_EQ(r.SendAndWait(), STATUS_INVALID_PARAMETER);
}

// Keeps one transfer circulating on a pipe from its completion routine, like the engine.
struct Circulator {
    PDEVICE_OBJECT pdo;
    USBD_PIPE_HANDLE pipe;
    ULONG length;
    ULONG flags;
    PIRP irp;
    alignas(8) std::uint8_t urb[128];
    std::vector<std::uint8_t> buffer;
    volatile LONG completions = 0;
    volatile LONG stop = 0;
    unsigned processors = 0;  // bit p: a completion ran on emulated processor p
    NTSTATUS lastStatus = STATUS_SUCCESS;
    USBD_STATUS lastUsbd = USBD_STATUS_SUCCESS;
    KEVENT retired;

    Circulator(PDEVICE_OBJECT p, USBD_PIPE_HANDLE h, ULONG len, ULONG f)
        : pdo(p), pipe(h), length(len), flags(f), buffer(len, 0) {
        irp = IoAllocateIrp(CCHAR(pdo->StackSize + 1), FALSE);
        KeInitializeEvent(&retired, NotificationEvent, FALSE);
    }
    ~Circulator() { IoFreeIrp(irp); }

    void Send() {
        std::memset(urb, 0, sizeof urb);
        UsbBuildInterruptOrBulkTransferRequest(reinterpret_cast<PURB>(urb), 128, pipe,
                                               buffer.data(), nullptr, length, flags, nullptr);
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, &Circulator::OnDone, this, TRUE, TRUE, TRUE);
        IofCallDriver(pdo, irp);
    }
    static NTSTATUS OnDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* self = static_cast<Circulator*>(context);
        self->lastStatus = irp->IoStatus.Status;
        self->lastUsbd = reinterpret_cast<PURB>(self->urb)->UrbHeader.Status;
        InterlockedIncrement(&self->completions);
        self->processors |= 1u << CurrentThreadContext().processor;
        if (NT_SUCCESS(irp->IoStatus.Status) && !self->stop)
            self->Send();
        else
            KeSetEvent(&self->retired, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    void WaitRetired() { KeWaitForSingleObject(&retired, Executive, KernelMode, FALSE, nullptr); }
};

TEST_F(BusFixture, StreamingCancellationAndRemoval) {
    std::vector<USBD_PIPE_INFORMATION> audio, midi;
    StartStreaming(audio, midi);
    auto sink = std::make_shared<MemoryOutputSink>();
    q->Device().AddOutputSink(sink);
    std::vector<std::unique_ptr<Circulator>> out, in;
    for (int i = 0; i < 3; ++i) {
        out.push_back(std::make_unique<Circulator>(pdo, audio[0].PipeHandle, 3 * 964, 0));
        in.push_back(
            std::make_unique<Circulator>(pdo, audio[1].PipeHandle, 3 * 1024,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
    }
    Circulator midiIn(pdo, midi[0].PipeHandle, 5,
                      USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    for (int i = 0; i < 3; ++i) {
        std::fill(out[i]->buffer.begin(), out[i]->buffer.end(), 0);
        out[i]->Send();
        in[i]->Send();
    }
    midiIn.Send();
    DeviceCounters before = q->Device().Counters();
    machine.RunFor(kTicksPerSecond);
    DeviceCounters after = q->Device().Counters();
    // One second at 44.1 kHz: 2,205 playback units and 2,756 capture units, none missed.
    EXPECT_NEAR(double(after.playbackUnits - before.playbackUnits), 2205, 1);
    EXPECT_NEAR(double(after.captureUnits - before.captureUnits), 2756, 1);
    EXPECT_EQ(after.underruns, before.underruns);
    EXPECT_EQ(after.overruns, before.overruns);
    LONG total = 0;
    for (auto& c : in) total += c->completions;
    EXPECT_NEAR(double(total), 2756.0 / 3, 2);

    // MIDI input comes in on the bulk pipe.
    q->Device().SendMidiIn({0x90, 0x40, 0x7F});
    machine.RunFor(kTicksPerSecond / 100);
    // One byte per packet as they come off the wire; the last one is still in the buffer.
    EXPECT_EQ(midiIn.completions, 3);
    EXPECT_EQ(midiIn.buffer, (std::vector<std::uint8_t>{0x7F, 0xFD, 0xFD, 0xFD, 0xFD}));

    // Cancelling a pending MIDI transfer.
    midiIn.stop = 1;
    IoCancelIrp(midiIn.irp);
    midiIn.WaitRetired();
    EXPECT_EQ(midiIn.lastStatus, STATUS_CANCELLED);
    EXPECT_EQ(midiIn.lastUsbd, USBD_STATUS_CANCELED);

    // Abort pipe on the capture pipe retires its transfers as cancelled.
    UrbRequest abort(pdo);
    UsbBuildPipeRequest(abort.Urb(), URB_FUNCTION_ABORT_PIPE, audio[1].PipeHandle);
    for (auto& c : in) c->stop = 1;
    EXPECT_EQ(abort.SendAndWait(), STATUS_SUCCESS);
    for (auto& c : in) {
        c->WaitRetired();
        EXPECT_EQ(c->lastStatus, STATUS_CANCELLED);
    }

    // The device vanishes mid-stream.
    bool removed = false;
    q->Bus().SetRemovalCallback([&] { removed = true; });
    q->Bus().UnplugAt(machine.Now() + kTicksPerMillisecond);
    for (auto& c : out) {
        c->WaitRetired();
        EXPECT_EQ(c->lastStatus, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(c->lastUsbd, USBD_STATUS_DEVICE_GONE);
    }
    EXPECT_TRUE(removed);
    std::uint8_t status = 0;
    USBD_STATUS usbd;
    EXPECT_EQ(
        test::VendorRequest(pdo, URB_FUNCTION_VENDOR_DEVICE, true, 0x49, 0, 0, &status, 1, &usbd),
        STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(usbd, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(q->Bus().Stats().pending, 0u);
}

// Playback and capture transfers that end at the same instant complete on both processors, as
// with a host controller's interrupts spread over two processors.
TEST_F(BusFixture, PlaybackAndCaptureCompletionsShareTheTwoProcessors) {
    std::vector<USBD_PIPE_INFORMATION> audio, midi;
    StartStreaming(audio, midi);
    Circulator in(pdo, audio[1].PipeHandle, 1024,
                  USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    Circulator out(pdo, audio[0].PipeHandle, 964, 0);
    out.Send();
    in.Send();
    machine.RunFor(20 * kTicksPerMillisecond);
    in.stop = 1;
    out.stop = 1;
    in.WaitRetired();
    out.WaitRetired();
    EXPECT_GT(in.completions, 20);
    EXPECT_GT(out.completions, 20);
    EXPECT_EQ(in.processors | out.processors, 3u);
}

TEST_F(BusFixture, TransferFaultsReachTheUrb) {
    std::vector<USBD_PIPE_INFORMATION> audio, midi;
    StartStreaming(audio, midi);
    Circulator in(pdo, audio[1].PipeHandle, 1024,
                  USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    Circulator out(pdo, audio[0].PipeHandle, 964, 0);

    q->Device().FailTransfers(0x86, 1, TransferStatus::CrcError);
    in.Send();
    in.WaitRetired();
    EXPECT_EQ(in.lastStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in.lastUsbd, USBD_STATUS_CRC);

    // A URB error with a successful IRP, as some host controllers report it.
    q->Bus().FailTransfers(0x86, 1, USBD_STATUS_DATA_OVERRUN, STATUS_SUCCESS);
    KeClearEvent(&in.retired);
    in.stop = 1;
    in.Send();
    in.WaitRetired();
    EXPECT_EQ(in.lastStatus, STATUS_SUCCESS);
    EXPECT_EQ(in.lastUsbd, USBD_STATUS_DATA_OVERRUN);

    // A stall halts the endpoint until the pipe is reset.
    q->Device().FailTransfers(0x05, 1, TransferStatus::Stall);
    out.Send();
    out.WaitRetired();
    EXPECT_EQ(out.lastUsbd, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(q->Device().EndpointHalted(0x05));
    UrbRequest reset(pdo);
    UsbBuildPipeRequest(reset.Urb(), URB_FUNCTION_RESET_PIPE, audio[0].PipeHandle);
    EXPECT_EQ(reset.SendAndWait(), STATUS_SUCCESS);
    EXPECT_FALSE(q->Device().EndpointHalted(0x05));

    // Wrong direction, the isochronous pipe and unknown handles are refused by the bus.
    UrbRequest bad(pdo);
    std::uint8_t data[1024];
    UsbBuildInterruptOrBulkTransferRequest(bad.Urb(), 128, audio[1].PipeHandle, data, nullptr, 1024,
                                           0, nullptr);
    EXPECT_EQ(bad.SendAndWait(), STATUS_INVALID_PARAMETER);
    UsbBuildInterruptOrBulkTransferRequest(bad.Urb(), 128, midi[1].PipeHandle, data, nullptr, 192,
                                           USBD_TRANSFER_DIRECTION_IN, nullptr);
    EXPECT_EQ(bad.SendAndWait(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(q->Bus().Stats().isochronousMisuse, 1u);
    UsbBuildInterruptOrBulkTransferRequest(bad.Urb(), 128, reinterpret_cast<USBD_PIPE_HANDLE>(0x42),
                                           data, nullptr, 5, USBD_TRANSFER_DIRECTION_IN, nullptr);
    EXPECT_EQ(bad.SendAndWait(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad.UrbStatus(), USBD_STATUS_INVALID_PIPE_HANDLE);
    // A short MIDI packet without short transfers allowed.
    Circulator strict(pdo, midi[0].PipeHandle, 8, USBD_TRANSFER_DIRECTION_IN);
    strict.stop = 1;
    strict.Send();
    q->Device().SendMidiIn({0x80});
    strict.WaitRetired();
    EXPECT_EQ(strict.lastUsbd, USBD_STATUS_ERROR_SHORT_TRANSFER);
}

TEST_F(BusFixture, InlineModeCompletesErrorsInsideIoCallDriver) {
    std::vector<USBD_PIPE_INFORMATION> audio, midi;
    StartStreaming(audio, midi);
    Circulator in(pdo, audio[1].PipeHandle, 1024,
                  USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    Circulator out(pdo, audio[0].PipeHandle, 964, 0);
    in.stop = 1;
    out.stop = 1;

    // Off: a bus fault completes after the bus delay, never inside the call.
    q->Bus().FailTransfers(0x86, 1, USBD_STATUS_CRC, STATUS_UNSUCCESSFUL);
    in.Send();
    EXPECT_EQ(in.completions, 0);
    in.WaitRetired();
    EXPECT_EQ(in.lastUsbd, USBD_STATUS_CRC);

    // On: the same fault has completed by the time IoCallDriver returns.
    q->Bus().SetInlineCompletion(true);
    q->Bus().FailTransfers(0x86, 1, USBD_STATUS_CRC, STATUS_UNSUCCESSFUL);
    KeClearEvent(&in.retired);
    in.Send();
    EXPECT_EQ(in.completions, 2);
    EXPECT_EQ(in.lastStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in.lastUsbd, USBD_STATUS_CRC);
    EXPECT_EQ(q->Bus().Stats().pending, 0u);

    // A halted endpoint refuses transfers at once until the pipe is reset.
    q->Device().FailTransfers(0x05, 1, TransferStatus::Stall);
    out.Send();
    out.WaitRetired();
    ASSERT_TRUE(q->Device().EndpointHalted(0x05));
    KeClearEvent(&out.retired);
    out.Send();
    EXPECT_EQ(out.completions, 2);
    EXPECT_EQ(out.lastUsbd, USBD_STATUS_ENDPOINT_HALTED);
    UrbRequest reset(pdo);
    UsbBuildPipeRequest(reset.Urb(), URB_FUNCTION_RESET_PIPE, audio[0].PipeHandle);
    EXPECT_EQ(reset.SendAndWait(), STATUS_SUCCESS);
    KeClearEvent(&out.retired);
    out.Send();
    EXPECT_EQ(out.completions, 2);
    out.WaitRetired();
    EXPECT_EQ(out.lastUsbd, USBD_STATUS_SUCCESS);
}

TEST_F(BusFixture, CaptureDecodesWithTshark) {
    std::string path = ::testing::TempDir() + "/bus_capture" + std::to_string(::getpid()) + ".pcap";
    ASSERT_TRUE(q->Bus().StartCapture(path));
    std::vector<USBD_PIPE_INFORMATION> audio, midi;
    StartStreaming(audio, midi);
    std::uint8_t rate[3] = {0x80, 0xBB, 0x00};
    ASSERT_EQ(
        test::VendorRequest(pdo, URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0100, 0x86, rate, 3),
        STATUS_SUCCESS);
    Circulator in(pdo, audio[1].PipeHandle, 2048,
                  USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    in.stop = 1;
    in.Send();
    in.WaitRetired();
    q->Bus().StopCapture();

    std::string tshark = test::FindTshark();
    if (tshark.empty()) GTEST_SKIP() << "tshark is not installed";
    int rc = 0;
    std::string out = test::RunTshark(
        tshark, path,
        "-Y \"usb.setup.bRequest == 1 && usb.bmRequestType == 0x22\" -T fields -E separator=, "
        "-e usb.bmRequestType -e usb.setup.bRequest -e usb.setup.wValue -e usb.setup.wIndex "
        "-e usb.setup.wLength -e usb.data_fragment",
        &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "0x22,1,0x0100,134,3,80bb00\n") << out;
    // The capture transfer: submitted on 0x86 and completed with its 2,048 bytes.
    out = test::RunTshark(tshark, path,
                          "-Y \"usb.endpoint_address == 0x86\" -T fields -E separator=, "
                          "-e usb.urb_type -e usb.transfer_type -e usb.urb_len -e usb.data_len",
                          &rc);
    EXPECT_NE(out.find("'S',0x01,2048,0"), std::string::npos) << out;
    EXPECT_NE(out.find("'C',0x01,2048,2048"), std::string::npos) << out;
    std::remove(path.c_str());
}

}  // namespace
}  // namespace q407::sim
