// The emulation's Driver Verifier: what a real kernel punishes with a bug check stops the process
// here, with a message naming the call, the IRQL and the pool tag where one is known.
#pragma once

#include <string>

#include "platform/kernel/nt_types.h"

namespace q407::sim {

// Prints "VERIFIER: <call>: <text> (IRQL n)" to stderr and the trace log, then aborts.
[[noreturn]] void BugCheck(const char* call, const std::string& text);

// Same, with the pool tag the fault concerns ("... (tag Zel6)").
[[noreturn]] void BugCheckTag(const char* call, const std::string& text, ULONG tag);

// Four-character form of a pool tag ("Zel6"); unprintable bytes become '?'.
std::string TagText(ULONG tag);

// The common IRQL rules, each a bug check when broken.
void RequirePassive(const char* call);
void RequireAtMostApc(const char* call);
void RequireAtMostDispatch(const char* call);

}  // namespace q407::sim
