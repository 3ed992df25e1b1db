// Paging of paged pool, so that a touch of it at DISPATCH_LEVEL is caught where it happens.
//
// As the verifier does on Windows, every raise of a thread to DISPATCH_LEVEL pages out all paged
// pool: its pages become inaccessible. A thread that then touches one takes a fault; at
// APC_LEVEL or below the page comes back in and the access goes on, at DISPATCH_LEVEL or above it
// is a bug check naming the pool tag (on stderr only: the fault handler may not allocate). A page
// that another thread brings back in stays in until the next raise, so an access at DISPATCH_LEVEL
// can escape only while a thread at PASSIVE_LEVEL uses the same pool at that moment.
#pragma once

#include <cstddef>

#include "platform/kernel/nt_types.h"

namespace q407::sim::detail {

// The pool's arena, once at start-up (the fault handler only looks inside it).
void SetPagedPoolArena(const void* base, size_t size);
// A paged allocation of whole pages, resident, now belongs to paged pool; and no longer (its
// pages are brought in first).
void AddPagedRun(void* pages, size_t bytes, ULONG tag);
void RemovePagedRun(void* pages, size_t bytes);
// The calling thread is raising its IRQL to DISPATCH_LEVEL: every resident paged page goes out.
void PageOutPagedPool();

}  // namespace q407::sim::detail
