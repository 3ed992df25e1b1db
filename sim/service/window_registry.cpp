#include "sim/service/window_registry.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/user/bench_win32.h"

namespace q407::service {
namespace {

using remote::Op;
using remote::WireReader;
using remote::WireWriter;

constexpr uint32_t kInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE
constexpr uint32_t kNotEnoughQuota = 1816;       // ERROR_NOT_ENOUGH_QUOTA

struct Window {
    std::wstring className;
    Connection* owner;
};

struct Registry {
    // Held while a notice goes to an owner, so that the owner's windows cannot go (and the
    // connection with them) in between.
    std::mutex mutex;
    std::map<uint64_t, Window> windows;
    std::map<Connection*, size_t> counts;
    uint64_t next = 0x20010;  // apart from the in-process bench's values
    uint64_t foreground = 0;

    void ForgetConnection(Connection* owner) {
        std::lock_guard lock(mutex);
        for (auto it = windows.begin(); it != windows.end();) {
            if (it->second.owner == owner) {
                if (foreground == it->first) foreground = 0;
                it = windows.erase(it);
            } else {
                ++it;
            }
        }
        counts.erase(owner);
    }
};

bool Complete(const WireReader& in, WireWriter& out) {
    if (in.AtEnd()) return true;
    out.U32(win32::ERROR_INVALID_PARAMETER);
    return false;
}

void Register(const std::shared_ptr<Registry>& registry, CallContext& call, WireReader& in,
              WireWriter& out) {
    const std::wstring className = in.WString(kMaxWindowClassUnits);
    if (!Complete(in, out)) return;
    if (className.empty()) {
        out.U32(win32::ERROR_INVALID_PARAMETER).U64(0);
        return;
    }
    Connection* owner = &call.connection;
    bool first = false;
    uint64_t window = 0;
    {
        std::lock_guard lock(registry->mutex);
        // The count stays until the connection ends, so its clean-up is registered once.
        auto [count, inserted] = registry->counts.try_emplace(owner, 0);
        if (count->second >= kMaxWindowsPerConnection) {
            out.U32(kNotEnoughQuota).U64(0);
            return;
        }
        ++count->second;
        first = inserted;
        window = registry->next;
        registry->next += 0x10;
        registry->windows[window] = Window{className, owner};
    }
    if (first) {
        // The connection's windows go with it. The registry may be gone by then (machine stop).
        std::weak_ptr<Registry> weak = registry;
        owner->AtEnd(reinterpret_cast<uintptr_t>(registry.get()), [weak, owner] {
            if (auto r = weak.lock()) r->ForgetConnection(owner);
        });
    }
    out.U32(win32::ERROR_SUCCESS).U64(window);
}

void Unregister(const std::shared_ptr<Registry>& registry, CallContext& call, WireReader& in,
                WireWriter& out) {
    const uint64_t window = in.U64();
    if (!Complete(in, out)) return;
    std::lock_guard lock(registry->mutex);
    auto it = registry->windows.find(window);
    if (it == registry->windows.end() || it->second.owner != &call.connection) {
        out.U32(kInvalidWindowHandle);
        return;
    }
    registry->windows.erase(it);
    --registry->counts[&call.connection];
    if (registry->foreground == window) registry->foreground = 0;
    out.U32(win32::ERROR_SUCCESS);
}

void Find(const std::shared_ptr<Registry>& registry, CallContext&, WireReader& in,
          WireWriter& out) {
    const std::wstring className = in.WString(kMaxWindowClassUnits);
    if (!Complete(in, out)) return;
    std::lock_guard lock(registry->mutex);
    for (const auto& [id, window] : registry->windows) {
        if (window.className == className) {
            out.U32(win32::ERROR_SUCCESS).U64(id);
            return;
        }
    }
    out.U32(win32::ERROR_SUCCESS).U64(0);
}

void Post(const std::shared_ptr<Registry>& registry, CallContext&, WireReader& in,
          WireWriter& out) {
    const uint64_t window = in.U64();
    const uint32_t message = in.U32();
    const uint64_t wParam = in.U64();
    const int64_t lParam = in.I64();
    if (!Complete(in, out)) return;
    std::lock_guard lock(registry->mutex);
    auto it = registry->windows.find(window);
    if (it == registry->windows.end()) {
        out.U32(kInvalidWindowHandle);
        return;
    }
    WireWriter notice;
    notice.U64(window).U32(message).U64(wParam).I64(lParam);
    // An owner that went away has no window left to receive it.
    out.U32(it->second.owner->SendNotice(Op::PostedMessage, notice) ? win32::ERROR_SUCCESS
                                                                    : kInvalidWindowHandle);
}

void Foreground(const std::shared_ptr<Registry>& registry, CallContext&, WireReader& in,
                WireWriter& out) {
    const uint64_t window = in.U64();
    if (!Complete(in, out)) return;
    std::lock_guard lock(registry->mutex);
    if (registry->windows.count(window) == 0) {
        out.U32(kInvalidWindowHandle);
        return;
    }
    registry->foreground = window;
    out.U32(win32::ERROR_SUCCESS);
}

}  // namespace

void AddWindowHandlers(HandlerTable& handlers) {
    auto registry = std::make_shared<Registry>();
    const auto bind = [registry](void (*handler)(const std::shared_ptr<Registry>&, CallContext&,
                                                 WireReader&, WireWriter&)) {
        return [registry, handler](CallContext& call, WireReader& in, WireWriter& out) {
            handler(registry, call, in, out);
        };
    };
    handlers.Add(Op::RegisterWindow, bind(Register));
    handlers.Add(Op::UnregisterWindow, bind(Unregister));
    handlers.Add(Op::FindWindow, bind(Find));
    handlers.Add(Op::PostMessage, bind(Post));
    handlers.Add(Op::SetForegroundWindow, bind(Foreground));
}

}  // namespace q407::service
