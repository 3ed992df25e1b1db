// Client memory of a process whose client runs in another Linux process: the kernel reaches the
// client's addresses through this interface instead of touching them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace q407::sim {

class Process;

class ClientAddressSpace {  // a process whose client lives in another Linux process
  public:
    virtual ~ClientAddressSpace() = default;
    virtual bool Read(void* destination, uintptr_t clientAddress, size_t length) = 0;
    virtual bool Write(uintptr_t clientAddress, const void* source, size_t length) = 0;
    virtual uintptr_t Map(size_t arenaOffset, size_t length) = 0;    // 0: failed
    virtual void Unmap(uintptr_t clientAddress, size_t length) = 0;  // notice; client may be gone
};

// Set once, before the process runs anything; the process keeps it until it ends.
void AttachClientAddressSpace(Process& process, std::shared_ptr<ClientAddressSpace> space);

}  // namespace q407::sim
