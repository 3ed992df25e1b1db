// Views of pool mapped into emulated processes (kept by the memory manager).
#pragma once

#include <cstddef>
#include <string>

struct KPROCESS;

namespace q407::sim {

// True if some byte of the kernel range [p, p+length) is mapped into a process; *what names it.
bool FindViewOfRange(const void* p, size_t length, std::string* what);
// Unmaps every view of the process (process end).
void UnmapProcessViews(KPROCESS* process);
size_t ProcessViewCount(KPROCESS* process);

}  // namespace q407::sim
