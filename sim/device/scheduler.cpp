#include "sim/device/scheduler.h"

namespace q407::sim {

ClockTicks ManualScheduler::Now() const {
    std::lock_guard<std::mutex> lock(mu_);
    return now_;
}

Scheduler::EventId ManualScheduler::Schedule(ClockTicks due, std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(mu_);
    EventId id = next_++;
    events_.emplace(std::make_pair(due < now_ ? now_ : due, id), std::move(fn));
    return id;
}

bool ManualScheduler::Cancel(EventId id) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = events_.begin(); it != events_.end(); ++it) {
        if (it->first.second == id) {
            events_.erase(it);
            return true;
        }
    }
    return false;
}

void ManualScheduler::RunUntil(ClockTicks t) {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (events_.empty() || events_.begin()->first.first > t) {
                if (t > now_) now_ = t;
                return;
            }
            auto it = events_.begin();
            now_ = it->first.first;
            fn = std::move(it->second);
            events_.erase(it);
        }
        fn();
    }
}

void ManualScheduler::RunUntilIdle(ClockTicks limit) {
    for (;;) {
        ClockTicks due;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (events_.empty()) return;
            due = events_.begin()->first.first;
        }
        if (due > limit) return;
        RunUntil(due);
    }
}

std::size_t ManualScheduler::Pending() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_.size();
}

}  // namespace q407::sim
