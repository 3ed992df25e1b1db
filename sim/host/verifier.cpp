#include "sim/host/verifier.h"

#include <cstdio>
#include <cstdlib>

#include "sim/host/thread_context.h"
#include "sim/host/trace_log.h"

namespace q407::sim {

std::string TagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

[[noreturn]] static void Stop(const std::string& message) {
    TraceLog::Instance().AppendVerifier(message);
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

void BugCheck(const char* call, const std::string& text) {
    Stop("VERIFIER: " + std::string(call) + ": " + text + " (IRQL " +
         std::to_string(CurrentThreadContext().irql) + ")");
}

void BugCheckTag(const char* call, const std::string& text, ULONG tag) {
    Stop("VERIFIER: " + std::string(call) + ": " + text + " at IRQL " +
         std::to_string(CurrentThreadContext().irql) + " (tag " + TagText(tag) + ")");
}

void RequirePassive(const char* call) {
    if (CurrentThreadContext().irql != PASSIVE_LEVEL) BugCheck(call, "called above PASSIVE_LEVEL");
}

void RequireAtMostApc(const char* call) {
    if (CurrentThreadContext().irql > APC_LEVEL) BugCheck(call, "called above APC_LEVEL");
}

void RequireAtMostDispatch(const char* call) {
    if (CurrentThreadContext().irql > DISPATCH_LEVEL) BugCheck(call, "called above DISPATCH_LEVEL");
}

}  // namespace q407::sim
