// Events whose state is a client's eventfd: the kernel signals, clears and polls the fd, never
// waits on it, and the mirror goes with the event object.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/kernel/wdk.h"
#include "sim/host/event_mirror.h"
#include "sim/host/machine.h"
#include "sim/host/process.h"

using namespace q407::sim;

namespace {

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

size_t OpenFdCount() {
    size_t n = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// A client's event as the machine holds it: the object referenced from the process's handle.
PKEVENT ReferenceEvent(Process& process, HANDLE handle) {
    Process::Scope scope(process);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_SUCCESS);
    return static_cast<PKEVENT>(object);
}

struct DpcSignal {
    KDPC dpc;
    PKEVENT event;
    KIRQL irql = PASSIVE_LEVEL;
};

void SignalFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* s = static_cast<DpcSignal*>(context);
    s->irql = KeGetCurrentIrql();
    KeSetEvent(s->event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

TEST(EventMirror, TheEventfdCarriesTheStateBothWays) {
    Machine machine;
    Process client;
    HANDLE handle = client.CreateEvent(true, false);
    PKEVENT event = ReferenceEvent(client, handle);
    ASSERT_NE(event, nullptr);
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(MirrorEventToFd(event, fd));
    EXPECT_FALSE(MirrorEventToFd(event, fd));  // once only

    // A driver signals from a DPC; the client sees it on its fd.
    DpcSignal signal{};
    signal.event = event;
    KeInitializeDpc(&signal.dpc, SignalFromDpc, &signal);
    KeInsertQueueDpc(&signal.dpc, nullptr, nullptr);
    machine.RunUntilIdle();
    EXPECT_EQ(signal.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(KeReadStateEvent(event), 1);
    EXPECT_EQ(KeSetEvent(event, IO_NO_INCREMENT, FALSE), 1);  // already signalled

    // Reset drains the fd completely.
    EXPECT_EQ(KeResetEvent(event), 1);
    EXPECT_FALSE(Readable(fd));
    EXPECT_EQ(KeReadStateEvent(event), 0);
    EXPECT_EQ(KeResetEvent(event), 0);

    // The client's own set and reset are what the kernel reads.
    const uint64_t one = 1;
    ASSERT_EQ(write(fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    EXPECT_EQ(KeReadStateEvent(event), 1);
    KeClearEvent(event);
    EXPECT_FALSE(Readable(fd));
    uint64_t value;
    EXPECT_EQ(read(fd, &value, sizeof value), -1);
    EXPECT_EQ(errno, EAGAIN);

    ObDereferenceObject(event);
    EXPECT_EQ(client.Close(handle), STATUS_SUCCESS);
    close(fd);
    EXPECT_EQ(Pool::LeakReport(), "");
}

TEST(EventMirror, TheInitialStateMovesIntoTheFdAndTheMirrorGoesWithTheEvent) {
    Machine machine;
    Process client;
    HANDLE handle = client.CreateEvent(false, true);
    PKEVENT event = ReferenceEvent(client, handle);
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    const size_t before = OpenFdCount();
    ASSERT_TRUE(MirrorEventToFd(event, fd));
    EXPECT_EQ(OpenFdCount(), before + 1);  // the machine's own duplicate
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(KeReadStateEvent(event), 1);

    // The handle goes first; the driver's reference keeps the mirror alive.
    EXPECT_EQ(client.Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(OpenFdCount(), before + 1);
    KeResetEvent(event);
    EXPECT_FALSE(Readable(fd));
    ObDereferenceObject(event);
    EXPECT_EQ(OpenFdCount(), before);
    close(fd);
}

TEST(EventMirror, UnusableFdsAreRefused) {
    Machine machine;
    Process client;
    HANDLE handle = client.CreateEvent(true, false);
    PKEVENT event = ReferenceEvent(client, handle);
    EXPECT_FALSE(MirrorEventToFd(event, -1));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_FALSE(MirrorEventToFd(event, fds[0]));  // closed
    // Still an ordinary event.
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(client.WaitForAny({handle}, 0), STATUS_WAIT_0);
    ObDereferenceObject(event);
}

TEST(EventMirrorDeathTest, AKernelWaitOnAMirroredEventStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Machine machine;
            Process client;
            HANDLE handle = client.CreateEvent(true, false);
            PKEVENT event = ReferenceEvent(client, handle);
            const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            MirrorEventToFd(event, fd);
            LARGE_INTEGER zero;
            zero.QuadPart = 0;
            KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero);
        },
        "VERIFIER: KeWaitForSingleObject: kernel wait on an event whose state lives in a "
        "client's eventfd");
    EXPECT_DEATH(
        {
            Machine machine;
            Process client;
            HANDLE handle = client.CreateEvent(true, false);
            PKEVENT event = ReferenceEvent(client, handle);
            MirrorEventToFd(event, eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
            client.WaitForAny({handle}, 0);  // an in-process wait is a kernel wait too
        },
        "VERIFIER: KeWaitForMultipleObjects: kernel wait on an event whose state lives");
}
