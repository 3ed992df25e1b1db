#include "sim/host/trace_log.h"

#include <cstdio>

#include "sim/host/process.h"
#include "sim/host/thread_context.h"

namespace q407::sim {

TraceLog& TraceLog::Instance() {
    static TraceLog* log = new TraceLog();  // never destroyed: threads may print during exit
    return *log;
}

void TraceLog::AppendKernel(ULONG component, ULONG level, std::string text) {
    TraceEntry e;
    e.source = TraceSource::Kernel;
    e.component = component;
    e.level = level;
    e.text = std::move(text);
    Append(std::move(e));
}

void TraceLog::AppendUser(std::string text) {
    TraceEntry e;
    e.source = TraceSource::User;
    e.processId = CurrentProcessId();
    e.text = std::move(text);
    Append(std::move(e));
}

void TraceLog::AppendVerifier(std::string text) {
    TraceEntry e;
    e.source = TraceSource::Verifier;
    e.text = std::move(text);
    Append(std::move(e));
}

void TraceLog::Append(TraceEntry entry) {
    entry.time = MachineClock::Instance().Now();
    const ThreadContext& ctx = CurrentThreadContext();
    if (ctx.isDispatcher && entry.source != TraceSource::Verifier) {
        std::lock_guard lock(mutex_);
        if (holding_) {
            held_[ctx.processor].push_back(std::move(entry));
            return;
        }
    }
    Deliver(entry);
}

void TraceLog::HoldProcessorEntries(bool hold) {
    std::vector<TraceEntry> held[2];
    {
        std::lock_guard lock(mutex_);
        holding_ = hold;
        if (hold) return;
        for (int p = 0; p < 2; ++p) held[p].swap(held_[p]);
    }
    for (auto& entries : held)
        for (auto& e : entries) Deliver(e);
}

void TraceLog::Deliver(const TraceEntry& entry) {
    std::lock_guard sinkLock(sinkMutex_);
    bool echo;
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
        echo = echo_;
    }
    if (echo) {
        std::fprintf(stderr, "[%10.6f] %s%s", double(entry.time) / double(kTicksPerSecond),
                     entry.text.c_str(),
                     (!entry.text.empty() && entry.text.back() == '\n') ? "" : "\n");
    }
    for (auto& [id, sink] : sinks_) sink(entry);
}

std::vector<TraceEntry> TraceLog::Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> TraceLog::Texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    texts.reserve(entries_.size());
    for (auto& e : entries_) texts.push_back(e.text);
    return texts;
}

bool TraceLog::Contains(std::string_view text) const {
    return Count(text) != 0;
}

size_t TraceLog::Count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (auto& e : entries_)
        if (e.text == text) ++n;
    return n;
}

void TraceLog::Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

int TraceLog::AddSink(Sink sink) {
    std::lock_guard lock(sinkMutex_);
    int id = nextSinkId_++;
    sinks_.emplace_back(id, std::move(sink));
    return id;
}

void TraceLog::RemoveSink(int id) {
    std::lock_guard lock(sinkMutex_);
    std::erase_if(sinks_, [id](auto& s) { return s.first == id; });
}

void TraceLog::SetEchoToStderr(bool echo) {
    std::lock_guard lock(mutex_);
    echo_ = echo;
}

void OutputDebugStringA(const char* text) {
    TraceLog::Instance().AppendUser(text != nullptr ? std::string(text) : std::string());
}

}  // namespace q407::sim
