// Copies to and from this process's own memory at addresses someone else named (the machine's
// requests, a caller's buffers): a bad address gives false, never a fault.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q407::remote {

bool ReadOwnMemory(void* destination, uintptr_t address, size_t length);
bool WriteOwnMemory(uintptr_t address, const void* source, size_t length);

}  // namespace q407::remote
