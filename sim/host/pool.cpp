#include "sim/host/pool.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/kernel/ke.h"
#include "sim/host/machine_core.h"
#include "sim/host/memory_views.h"
#include "sim/host/paged_pool.h"
#include "sim/host/thread_context.h"
#include "sim/host/verifier.h"
#include "sim/host/windows_version.h"

// Under AddressSanitizer, once asked for, the bytes past each allocation and freed blocks are
// poisoned too, so an overread of pool is reported where it happens, not only an overrun when the
// block is freed.
#if defined(__SANITIZE_ADDRESS__)
#define Q407_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define Q407_POOL_ASAN 1
#endif
#endif
#ifdef Q407_POOL_ASAN
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n)                                                                         \
    (q407::sim::poisonOverreads.load(std::memory_order_relaxed) ? ASAN_POISON_MEMORY_REGION(p, n) \
                                                                : (void)0)
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace q407::sim {
namespace {

std::atomic<bool> poisonOverreads{false};

constexpr size_t kArenaSize = size_t(1) << 30;
constexpr size_t kPage = PAGE_SIZE;
constexpr size_t kGuard = 16;  // pattern bytes after each small allocation
constexpr size_t kSmallChunk = 64 * 1024;
constexpr UCHAR kFreshFill = 0xCD;  // new pool is not zeroed, as on Windows
constexpr UCHAR kFreedFill = 0xDD;
constexpr UCHAR kGuardFill = 0xFE;
constexpr size_t kSmallQuarantine = 4096;
constexpr size_t kLargeQuarantine = 32;
constexpr ULONG kUntaggedTag = POOL_TAG("None");

struct Allocation {
    ULONG tag;
    POOL_TYPE type;
    size_t size;       // requested
    size_t blockSize;  // small: size class; large: pages * kPage
    bool large;
    const void* driver;  // charged to (null: the system)
};

struct FreedBlock {
    uint8_t* p;
    size_t blockSize;
    bool large;
};

class Arena {
  public:
    static Arena& Get() {
        static Arena* arena = new Arena();  // never destroyed: pool outlives static destructors
        return *arena;
    }

    std::mutex mutex;
    int fd = -1;
    uint8_t* base = nullptr;

    std::map<uintptr_t, Allocation> live;
    std::unordered_map<uintptr_t, ULONG> recentlyFreed;  // address -> tag, until reused
    std::deque<FreedBlock> smallQuarantine;
    std::deque<FreedBlock> largeQuarantine;
    std::map<ULONG, PoolTagUsage> usage;

    std::optional<size_t> failAt;  // request number that fails
    std::vector<ULONG> failTags;
    size_t requests = 0;

    uint8_t* AllocateSmall(size_t blockSize) {
        auto& freeList = smallFree_[blockSize / 16];
        if (!freeList.empty()) {
            uint8_t* p = freeList.back();
            freeList.pop_back();
            return p;
        }
        if (chunkCursor_ == nullptr || chunkCursor_ + blockSize > chunkEnd_) {
            chunkCursor_ = AllocatePages(kSmallChunk / kPage);
            if (chunkCursor_ == nullptr) return nullptr;
            chunkEnd_ = chunkCursor_ + kSmallChunk;
        }
        uint8_t* p = chunkCursor_;
        chunkCursor_ += blockSize;
        return p;
    }

    uint8_t* AllocatePages(size_t pages) {
        for (auto it = freeRuns_.begin(); it != freeRuns_.end(); ++it) {
            if (it->second < pages) continue;
            const size_t first = it->first;
            const size_t remaining = it->second - pages;
            freeRuns_.erase(it);
            if (remaining != 0) freeRuns_.emplace(first + pages, remaining);
            return base + first * kPage;
        }
        if ((nextPage_ + pages) * kPage > kArenaSize) return nullptr;
        uint8_t* p = base + nextPage_ * kPage;
        nextPage_ += pages;
        return p;
    }

    void ReleasePages(uint8_t* p, size_t pages) {
        // Give the memory back and leave the range reading as zeros until reused.
        mprotect(p, pages * kPage, PROT_READ | PROT_WRITE);
        fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(p - base),
                  off_t(pages * kPage));
        size_t first = size_t(p - base) / kPage;
        size_t count = pages;
        auto next = freeRuns_.lower_bound(first);
        if (next != freeRuns_.end() && next->first == first + count) {
            count += next->second;
            next = freeRuns_.erase(next);
        }
        if (next != freeRuns_.begin()) {
            auto prev = std::prev(next);
            if (prev->first + prev->second == first) {
                first = prev->first;
                count += prev->second;
                freeRuns_.erase(prev);
            }
        }
        freeRuns_.emplace(first, count);
    }

    void ReleaseSmall(uint8_t* p, size_t blockSize) { smallFree_[blockSize / 16].push_back(p); }

    void Retire(const FreedBlock& b) {
        recentlyFreed.erase(reinterpret_cast<uintptr_t>(b.p));
        if (b.large)
            ReleasePages(b.p, b.blockSize / kPage);
        else
            ReleaseSmall(b.p, b.blockSize);
    }

  private:
    Arena() {
        fd = memfd_create("q407-pool", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, off_t(kArenaSize)) != 0) {
            std::perror("q407 pool arena");
            std::abort();
        }
        void* m =
            mmap(nullptr, kArenaSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
        if (m == MAP_FAILED) {
            std::perror("q407 pool arena mmap");
            std::abort();
        }
        base = static_cast<uint8_t*>(m);
        detail::SetPagedPoolArena(base, kArenaSize);
        smallFree_.resize(kPage / 16 + kGuard / 16 + 2);
    }

    size_t nextPage_ = 0;
    std::map<size_t, size_t> freeRuns_;  // first page -> page count
    std::vector<std::vector<uint8_t*>> smallFree_;
    uint8_t* chunkCursor_ = nullptr;
    uint8_t* chunkEnd_ = nullptr;
};

const char* PoolTypeName(POOL_TYPE type) {
    switch (type) {
        case NonPagedPool:
            return "NonPagedPool";
        case PagedPool:
            return "PagedPool";
        case NonPagedPoolNx:
            return "NonPagedPoolNx";
    }
    return "unknown pool";
}

bool Paged(POOL_TYPE type) {
    return type == PagedPool;
}

}  // namespace

// --- Test and machine API --------------------------------------------------------------------

PoolTagUsage Pool::Usage(ULONG tag) {
    Arena& a = Arena::Get();
    std::lock_guard lock(a.mutex);
    auto it = a.usage.find(tag);
    if (it == a.usage.end()) return PoolTagUsage{tag, 0, 0};
    return it->second;
}

std::vector<PoolTagUsage> Pool::Outstanding() {
    Arena& a = Arena::Get();
    std::vector<PoolTagUsage> result;
    {
        std::lock_guard lock(a.mutex);
        for (auto& [tag, u] : a.usage)
            if (u.allocations != 0) result.push_back(u);
    }
    std::sort(result.begin(), result.end(),
              [](auto& x, auto& y) { return TagText(x.tag) < TagText(y.tag); });
    return result;
}

static std::string LeakLine(const PoolTagUsage& u) {
    return "Pool leak: tag " + TagText(u.tag) + ": " + std::to_string(u.allocations) +
           (u.allocations == 1 ? " allocation, " : " allocations, ") + std::to_string(u.bytes) +
           " bytes\n";
}

std::string Pool::LeakReport() {
    std::string report;
    for (auto& u : Outstanding()) report += LeakLine(u);
    return report;
}

std::string Pool::LeakReport(std::initializer_list<ULONG> tags) {
    std::string report;
    for (auto& u : Outstanding())
        if (std::find(tags.begin(), tags.end(), u.tag) != tags.end()) report += LeakLine(u);
    return report;
}

std::string Pool::LeakReportOfDriver(const void* driver) {
    if (driver == nullptr) return {};
    std::map<ULONG, PoolTagUsage> byTag;
    {
        Arena& a = Arena::Get();
        std::lock_guard lock(a.mutex);
        for (auto& [address, alloc] : a.live) {
            if (alloc.driver != driver) continue;
            PoolTagUsage& u = byTag[alloc.tag];
            u.tag = alloc.tag;
            ++u.allocations;
            u.bytes += alloc.size;
        }
    }
    std::vector<PoolTagUsage> usage;
    for (auto& [tag, u] : byTag) usage.push_back(u);
    std::sort(usage.begin(), usage.end(),
              [](auto& x, auto& y) { return TagText(x.tag) < TagText(y.tag); });
    std::string report;
    for (auto& u : usage) report += LeakLine(u);
    return report;
}

void Pool::FailAllocationNumber(size_t n) {
    Arena& a = Arena::Get();
    std::lock_guard lock(a.mutex);
    if (n == 0)
        a.failAt.reset();
    else
        a.failAt = a.requests + n;
}

void Pool::FailTag(ULONG tag, bool fail) {
    Arena& a = Arena::Get();
    std::lock_guard lock(a.mutex);
    std::erase(a.failTags, tag);
    if (fail) a.failTags.push_back(tag);
}

void Pool::ClearFailures() {
    Arena& a = Arena::Get();
    std::lock_guard lock(a.mutex);
    a.failAt.reset();
    a.failTags.clear();
}

size_t Pool::RequestCount() {
    Arena& a = Arena::Get();
    std::lock_guard lock(a.mutex);
    return a.requests;
}

void Pool::Reset() {
    Arena& a = Arena::Get();
    std::lock_guard lock(a.mutex);
    // Memory a previous machine leaked stays allocated; only the books start afresh.
    a.live.clear();
    a.usage.clear();
    a.failAt.reset();
    a.failTags.clear();
    a.requests = 0;
}

bool Pool::Locate(const void* p, size_t length, PoolRange* range) {
    Arena& a = Arena::Get();
    const auto addr = reinterpret_cast<uintptr_t>(p);
    std::lock_guard lock(a.mutex);
    if (addr < reinterpret_cast<uintptr_t>(a.base) ||
        addr >= reinterpret_cast<uintptr_t>(a.base) + kArenaSize)
        return false;
    auto it = a.live.upper_bound(addr);
    if (it == a.live.begin()) return false;
    --it;
    const uintptr_t start = it->first;
    if (addr + length < addr || addr + length > start + it->second.size) return false;
    range->allocationBase = reinterpret_cast<const void*>(start);
    range->allocationSize = it->second.size;
    range->tag = it->second.tag;
    range->paged = Paged(it->second.type);
    range->type = it->second.type;
    range->arenaOffset = addr - reinterpret_cast<uintptr_t>(a.base);
    return true;
}

bool Pool::IsKernelAddress(const void* p, size_t length) {
    Arena& a = Arena::Get();
    const auto addr = reinterpret_cast<uintptr_t>(p);
    const auto lo = reinterpret_cast<uintptr_t>(a.base);
    const uintptr_t end = addr + length;
    if (end < addr) return true;  // wraps: never a valid user range
    return addr < lo + kArenaSize && end > lo;
}

void Pool::PoisonOverreads(bool on) {
    poisonOverreads.store(on, std::memory_order_relaxed);
}

int Pool::ArenaFd() {
    return Arena::Get().fd;
}

}  // namespace q407::sim

// --- The executive's entry points -------------------------------------------------------------

using q407::sim::Arena;
using q407::sim::BugCheckTag;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    const KIRQL irql = q407::sim::CurrentThreadContext().irql;
    if (PoolType != NonPagedPool && PoolType != PagedPool && PoolType != NonPagedPoolNx)
        BugCheckTag("ExAllocatePoolWithTag", "invalid pool type " + std::to_string(int(PoolType)),
                    Tag);
    if (PoolType == NonPagedPoolNx) {
        const q407::sim::WindowsVersion v = q407::sim::CurrentWindowsVersion();
        if (v.major < 6 || (v.major == 6 && v.minor < 2))
            BugCheckTag("ExAllocatePoolWithTag",
                        "NonPagedPoolNx does not exist on Windows " + std::to_string(v.major) +
                            "." + std::to_string(v.minor),
                        Tag);
    }
    if (q407::sim::Paged(PoolType) && irql > APC_LEVEL)
        BugCheckTag("ExAllocatePoolWithTag", "PagedPool allocation", Tag);
    if (irql > DISPATCH_LEVEL)
        BugCheckTag("ExAllocatePoolWithTag",
                    std::string(q407::sim::PoolTypeName(PoolType)) + " allocation", Tag);
    Arena& a = Arena::Get();
    std::lock_guard lock(a.mutex);
    ++a.requests;
    if (a.failAt && *a.failAt == a.requests) {
        a.failAt.reset();
        return nullptr;
    }
    if (std::find(a.failTags.begin(), a.failTags.end(), Tag) != a.failTags.end()) return nullptr;
    if (NumberOfBytes > (size_t(1) << 28)) return nullptr;

    // Paged pool takes whole pages of its own, so that it can be paged out (paged_pool.h).
    const bool paged = q407::sim::Paged(PoolType);
    const bool large = NumberOfBytes >= q407::sim::kPage || paged;
    size_t blockSize;
    uint8_t* p;
    if (large) {
        blockSize = (NumberOfBytes + q407::sim::kPage - 1) / q407::sim::kPage * q407::sim::kPage;
        p = a.AllocatePages(blockSize / q407::sim::kPage);
    } else {
        blockSize = (std::max<size_t>(NumberOfBytes, 1) + q407::sim::kGuard + 15) / 16 * 16;
        p = a.AllocateSmall(blockSize);
    }
    if (p == nullptr) return nullptr;
    const auto key = reinterpret_cast<uintptr_t>(p);
    a.recentlyFreed.erase(key);
    POOL_UNPOISON(p, blockSize);
    memset(p, q407::sim::kFreshFill, NumberOfBytes);
    memset(p + NumberOfBytes, q407::sim::kGuardFill,
           std::min(blockSize - NumberOfBytes, q407::sim::kGuard));
    POOL_POISON(p + NumberOfBytes, blockSize - NumberOfBytes);
    if (paged) q407::sim::detail::AddPagedRun(p, blockSize, Tag);
    a.live[key] = q407::sim::Allocation{
        Tag, PoolType, NumberOfBytes, blockSize, large, q407::sim::CurrentThreadContext().driver};
    auto& u = a.usage[Tag];
    u.tag = Tag;
    ++u.allocations;
    u.bytes += NumberOfBytes;
    return p;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, q407::sim::kUntaggedTag);
}

static void FreePool(PVOID P, const ULONG* expectedTag, const char* call) {
    Arena& a = Arena::Get();
    const ULONG callerTag = expectedTag != nullptr ? *expectedTag : 0;
    if (P == nullptr) BugCheckTag(call, "freeing a null pointer", callerTag);
    const auto key = reinterpret_cast<uintptr_t>(P);
    q407::sim::Allocation alloc;
    {
        std::lock_guard lock(a.mutex);
        auto it = a.live.find(key);
        if (it == a.live.end()) {
            auto freed = a.recentlyFreed.find(key);
            if (freed != a.recentlyFreed.end())
                BugCheckTag(call, "double free of pool", freed->second);
            auto inside = a.live.upper_bound(key);
            if (inside != a.live.begin()) {
                --inside;
                if (key < inside->first + inside->second.blockSize)
                    BugCheckTag(call, "pointer is not the start of an allocation",
                                inside->second.tag);
            }
            BugCheckTag(call, "free of an unknown pointer", callerTag);
        }
        alloc = it->second;
    }
    const KIRQL irql = q407::sim::CurrentThreadContext().irql;
    if (q407::sim::Paged(alloc.type) && irql > APC_LEVEL)
        BugCheckTag(call, "freeing PagedPool", alloc.tag);
    if (irql > DISPATCH_LEVEL) BugCheckTag(call, "freeing pool", alloc.tag);
    if (q407::sim::Paged(alloc.type)) q407::sim::detail::RemovePagedRun(P, alloc.blockSize);
    if (expectedTag != nullptr && *expectedTag != alloc.tag)
        BugCheckTag(call, "free with tag " + q407::sim::TagText(*expectedTag) + " of an allocation",
                    alloc.tag);
    auto* p = static_cast<uint8_t*>(P);
    POOL_UNPOISON(p, alloc.blockSize);
    for (size_t i = alloc.size; i < std::min(alloc.blockSize, alloc.size + q407::sim::kGuard); ++i)
        if (p[i] != q407::sim::kGuardFill)
            BugCheckTag(call, "pool overrun: bytes written past the end of the allocation",
                        alloc.tag);
    std::string what;
    if (q407::sim::detail::MachineCore::Get().FindActiveObjectInRange(p, p + alloc.size, &what))
        BugCheckTag(call, "freeing pool that holds " + what, alloc.tag);
    if (q407::sim::FindViewOfRange(p, alloc.size, &what))
        BugCheckTag(call, "freeing pool that is " + what, alloc.tag);

    std::lock_guard lock(a.mutex);
    if (a.live.erase(key) == 0) BugCheckTag(call, "double free of pool", alloc.tag);
    auto& u = a.usage[alloc.tag];
    --u.allocations;
    u.bytes -= alloc.size;
    a.recentlyFreed[key] = alloc.tag;
    if (alloc.large) {
        mprotect(p, alloc.blockSize, PROT_NONE);  // use after free faults at once
        a.largeQuarantine.push_back({p, alloc.blockSize, true});
        if (a.largeQuarantine.size() > q407::sim::kLargeQuarantine) {
            a.Retire(a.largeQuarantine.front());
            a.largeQuarantine.pop_front();
        }
    } else {
        memset(p, q407::sim::kFreedFill, alloc.blockSize);
        POOL_POISON(p, alloc.blockSize);
        a.smallQuarantine.push_back({p, alloc.blockSize, false});
        if (a.smallQuarantine.size() > q407::sim::kSmallQuarantine) {
            a.Retire(a.smallQuarantine.front());
            a.smallQuarantine.pop_front();
        }
    }
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
    FreePool(P, &Tag, "ExFreePoolWithTag");
}

void ExFreePool(PVOID P) {
    FreePool(P, nullptr, "ExFreePool");
}
