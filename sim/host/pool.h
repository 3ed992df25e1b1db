// Executive pool of the emulated machine, with the accounting and fault injection that tests use.
// As on the real systems, NonPagedPoolNx exists from Windows 8 (6.2) on: asking an older reported
// version for it is a bug check.
//
// All pool lives in one memfd-backed arena, so any pool page can be mapped a second time into an
// emulated process. Allocations of a page or more are page aligned. Every allocation is tracked by
// tag; freed memory is held back for a while (and large blocks made inaccessible) so that double
// frees and use after free are caught.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/kernel/ex_pool.h"

namespace q407::sim {

struct PoolTagUsage {
    ULONG tag = 0;
    size_t allocations = 0;  // outstanding
    size_t bytes = 0;        // outstanding, as requested
};

// Where a pool range lives in the arena (for mappings into processes).
struct PoolRange {
    const void* allocationBase = nullptr;
    size_t allocationSize = 0;
    ULONG tag = 0;
    bool paged = false;
    POOL_TYPE type = NonPagedPool;
    uint64_t arenaOffset = 0;  // of the queried address
};

class Pool {
  public:
    // Outstanding allocations of one tag.
    static PoolTagUsage Usage(ULONG tag);
    // Every tag with outstanding allocations, ordered by tag text.
    static std::vector<PoolTagUsage> Outstanding();
    // One line per tag with outstanding allocations ("Pool leak: tag Zel6: 2 allocations, 96
    // bytes\n"); empty when nothing is outstanding. With tags: only those tags.
    static std::string LeakReport();
    static std::string LeakReport(std::initializer_list<ULONG> tags);
    // Outstanding allocations charged to a driver (made while its routines ran), by tag, in the
    // form of LeakReport.
    static std::string LeakReportOfDriver(const void* driver);

    // Low-resource simulation. The nth allocation request from now fails (1: the next one).
    static void FailAllocationNumber(size_t n);
    // Every allocation of the tag fails until cleared.
    static void FailTag(ULONG tag, bool fail = true);
    static void ClearFailures();
    // Under AddressSanitizer: poison the bytes past every allocation made from now on, and every
    // freed block, so reads outside live pool are reported at once (fuzzing). A write past the end
    // is then reported by the sanitizer instead of the check at free.
    static void PoisonOverreads(bool on);
    // Allocation requests (including refused ones) since the last reset.
    static size_t RequestCount();

    // Forgets all accounting and failure settings (machine start-up).
    static void Reset();

    // Memory manager support: the live allocation holding [p, p+length), if any.
    static bool Locate(const void* p, size_t length, PoolRange* range);
    // True if [p, p+length) overlaps the arena (kernel address space).
    static bool IsKernelAddress(const void* p, size_t length);
    static int ArenaFd();
};

}  // namespace q407::sim
