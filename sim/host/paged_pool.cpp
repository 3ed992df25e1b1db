#include "sim/host/paged_pool.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "sim/host/thread_context.h"

namespace q407::sim::detail {
namespace {

constexpr size_t kPage = PAGE_SIZE;
constexpr size_t kMaxPages = (size_t(1) << 30) / kPage;  // the arena's size

enum : std::uint8_t { kNotPaged = 0, kResident = 1, kPagedOut = 2 };

// Read by the fault handler: plain atomics only.
std::atomic<std::uintptr_t> g_base{0};
std::atomic<size_t> g_pages{0};
std::atomic<std::uint8_t> g_state[kMaxPages];
std::atomic<ULONG> g_tag[kMaxPages];
std::atomic<size_t> g_resident{0};  // pages of paged pool that are in

// Changes of protection, also from the fault handler: a spin flag, never held while paged pool
// is touched, so the handler never waits for its own thread.
std::atomic_flag g_busy = ATOMIC_FLAG_INIT;
struct Run {
    size_t first;
    size_t count;
};
std::vector<Run>& Runs() {
    static auto* runs = new std::vector<Run>();
    return *runs;
}

class Busy {
  public:
    Busy() {
        while (g_busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~Busy() { g_busy.clear(std::memory_order_release); }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
};

struct sigaction g_previous;

uint8_t* PageAddress(size_t page) {
    return reinterpret_cast<uint8_t*>(g_base.load(std::memory_order_relaxed) + page * kPage);
}

// Brings the page back in; true if it is paged pool.
bool PageIn(size_t page) {
    Busy busy;
    const std::uint8_t state = g_state[page].load(std::memory_order_relaxed);
    if (state == kNotPaged) return false;
    if (state == kPagedOut) {
        mprotect(PageAddress(page), kPage, PROT_READ | PROT_WRITE);
        g_state[page].store(kResident, std::memory_order_relaxed);
        g_resident.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
}

// The bug check from inside the fault handler: the verifier's message, made and written without
// allocating (nothing else is safe there), then the stop.
[[noreturn]] void StopInHandler(KIRQL irql, ULONG tag) {
    char text[96];
    size_t n = 0;
    auto put = [&](const char* s) {
        while (*s != '\0' && n < sizeof text) text[n++] = *s++;
    };
    put("VERIFIER: IRQL_NOT_LESS_OR_EQUAL: paged pool touched at IRQL ");
    if (irql >= 10 && n < sizeof text) text[n++] = static_cast<char>('0' + irql / 10);
    if (n < sizeof text) text[n++] = static_cast<char>('0' + irql % 10);
    put(" (tag ");
    for (int i = 0; i < 4 && n < sizeof text; ++i) {
        const auto c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text[n++] = (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    put(")\n");
    for (size_t done = 0; done < n;) {
        const ssize_t w = write(2, text + done, n - done);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    abort();
}

void OnFault(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const std::uintptr_t base = g_base.load(std::memory_order_relaxed);
    const size_t page = (address - base) / kPage;
    if (address >= base && page < g_pages.load(std::memory_order_relaxed) &&
        g_state[page].load(std::memory_order_relaxed) != kNotPaged) {
        if (CurrentThreadContext().irql <= APC_LEVEL) {
            if (PageIn(page)) return;  // the access is made again, now with the page in
        } else {
            StopInHandler(CurrentThreadContext().irql, g_tag[page].load(std::memory_order_relaxed));
        }
    }
    // Not ours: whoever handled the fault before.
    if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
        g_previous.sa_sigaction(signal, info, context);
    } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
    } else {
        // Fault again with the default action.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signal, &fallback, nullptr);
    }
}

void InstallHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &g_previous);
    });
}

}  // namespace

void SetPagedPoolArena(const void* base, size_t size) {
    g_base.store(reinterpret_cast<std::uintptr_t>(base), std::memory_order_relaxed);
    g_pages.store(std::min(size / kPage, kMaxPages), std::memory_order_relaxed);
}

void AddPagedRun(void* pages, size_t bytes, ULONG tag) {
    InstallHandler();
    const size_t first = (reinterpret_cast<std::uintptr_t>(pages) - g_base.load()) / kPage;
    const size_t count = (bytes + kPage - 1) / kPage;
    Busy busy;
    for (size_t i = first; i < first + count; ++i) {
        g_tag[i].store(tag, std::memory_order_relaxed);
        g_state[i].store(kResident, std::memory_order_relaxed);
    }
    g_resident.fetch_add(count, std::memory_order_relaxed);
    Runs().push_back({first, count});
}

void RemovePagedRun(void* pages, size_t bytes) {
    const size_t first = (reinterpret_cast<std::uintptr_t>(pages) - g_base.load()) / kPage;
    const size_t count = (bytes + kPage - 1) / kPage;
    Busy busy;
    mprotect(pages, count * kPage, PROT_READ | PROT_WRITE);
    for (size_t i = first; i < first + count; ++i) {
        if (g_state[i].load(std::memory_order_relaxed) == kResident)
            g_resident.fetch_sub(1, std::memory_order_relaxed);
        g_state[i].store(kNotPaged, std::memory_order_relaxed);
    }
    std::erase_if(Runs(), [first](const Run& r) { return r.first == first; });
}

void PageOutPagedPool() {
    if (g_resident.load(std::memory_order_relaxed) == 0) return;
    Busy busy;
    for (const Run& r : Runs()) {
        bool in = false;
        for (size_t i = r.first; i < r.first + r.count; ++i)
            if (g_state[i].load(std::memory_order_relaxed) == kResident) in = true;
        if (!in) continue;
        mprotect(PageAddress(r.first), r.count * kPage, PROT_NONE);
        for (size_t i = r.first; i < r.first + r.count; ++i) {
            if (g_state[i].load(std::memory_order_relaxed) == kResident)
                g_resident.fetch_sub(1, std::memory_order_relaxed);
            g_state[i].store(kPagedOut, std::memory_order_relaxed);
        }
    }
}

}  // namespace q407::sim::detail
