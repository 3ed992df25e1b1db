// The machine's one trace log: kernel debug prints (component and level), user-mode debugger output
// and verifier stops, each stamped with the machine time. Tests read and clear it; tools print it
// live through a sink or the stderr echo.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel/nt_types.h"
#include "sim/host/machine_clock.h"

namespace q407::sim {

enum class TraceSource { Kernel, User, Verifier };

struct TraceEntry {
    ClockTicks time = 0;  // machine time (100 ns units since boot)
    TraceSource source = TraceSource::Kernel;
    ULONG component = 0;  // DPFLTR_* id for kernel prints, 0 otherwise
    ULONG level = 0;
    ULONG processId = 0;  // emulated process of user-mode output; 0 for kernel entries
    std::string text;     // exactly as printed, including any trailing newline
};

class TraceLog {
  public:
    using Sink = std::function<void(const TraceEntry&)>;

    static TraceLog& Instance();

    void AppendKernel(ULONG component, ULONG level, std::string text);
    void AppendUser(std::string text);
    void AppendVerifier(std::string text);

    std::vector<TraceEntry> Entries() const;
    // The texts alone, in order.
    std::vector<std::string> Texts() const;
    // True if some entry's text is exactly text.
    bool Contains(std::string_view text) const;
    // Number of entries whose text is exactly text.
    size_t Count(std::string_view text) const;
    void Clear();

    // Sinks see every entry as it is appended (in append order). A sink must not write to the log.
    int AddSink(Sink sink);
    void RemoveSink(int id);
    // Echo every entry to stderr as "[time] text".
    void SetEchoToStderr(bool echo);

    // The machine clock, around work that its processors run side by side at one virtual instant:
    // while held, what each processor prints is kept apart, and at the end it is appended
    // processor by processor, so the log reads the same on every run.
    void HoldProcessorEntries(bool hold);

  private:
    TraceLog() = default;
    void Append(TraceEntry entry);
    void Deliver(const TraceEntry& entry);

    mutable std::mutex mutex_;
    std::vector<TraceEntry> entries_;
    std::mutex sinkMutex_;  // keeps sinks in append order
    std::vector<std::pair<int, Sink>> sinks_;
    int nextSinkId_ = 1;
    bool echo_ = false;
    bool holding_ = false;
    std::vector<TraceEntry> held_[2];  // per processor
};

// The user-mode debugger output entry point (OutputDebugString).
void OutputDebugStringA(const char* text);

}  // namespace q407::sim
