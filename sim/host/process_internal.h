// Kernel-side records of threads and processes.
#pragma once

#include <memory>
#include <string>

#include "platform/kernel/ke.h"
#include "platform/kernel/ps_ob.h"
#include "sim/host/client_address_space.h"
#include "sim/host/object_manager.h"

struct KTHREAD {
    DISPATCHER_HEADER Header;  // signalled when the thread has ended
    KPROCESS* process;         // referenced
    ULONG id;
    NTSTATUS exitStatus;
    bool created;  // by PsCreateSystemThread or a process's thread start (not adopted)
};

struct KPROCESS {
    ULONG id;
    std::string name;
    q407::sim::HandleTable* handles;
    KEVENT terminating;  // set when the process is being ended: user-mode waits give up
    bool ended;
    // Set when the client lives in another Linux process; read through ClientSpaceOf.
    std::shared_ptr<q407::sim::ClientAddressSpace> clientSpace;
};

namespace q407::sim::detail {

KPROCESS* SystemProcess();
// null stands for the system process.
KPROCESS& ProcessOf(KPROCESS* process);
// Starts an emulated thread in a process; returns the thread object, referenced for the caller.
// The machine's own threads (machineOwn) keep their thread object out of the pool books, as the
// machine's other long-lived objects do.
KTHREAD* StartThread(KPROCESS* process, void (*entry)(void*), void* context, NTSTATUS* status,
                     bool machineOwn = false);
// The address space of the process's client when it lives in another Linux process, else null.
std::shared_ptr<ClientAddressSpace> ClientSpaceOf(KPROCESS* process);
// System and process threads that are still running.
int RunningThreads();

}  // namespace q407::sim::detail
