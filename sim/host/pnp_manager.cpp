#include "sim/host/pnp_manager.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "sim/host/io_manager.h"
#include "sim/host/object_manager.h"
#include "sim/host/pool.h"
#include "sim/host/power_manager.h"
#include "sim/host/process_internal.h"
#include "sim/host/verifier.h"

namespace q407::sim {
namespace {

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
    return s;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c > 0 && c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

// A child's instance ID is unique only under its parent: the instance path takes a prefix from
// the parent's path, so that the same child of two devices gets two paths that stay the same
// from one plug to the next.
std::wstring ParentPrefix(const std::wstring& parentPath) {
    ULONG hash = 2166136261u;
    for (wchar_t c : Lower(parentPath)) {
        hash ^= static_cast<ULONG>(c);
        hash *= 16777619u;
    }
    wchar_t text[24];
    swprintf(text, 24, L"7&%08x&0&", static_cast<unsigned>(hash));
    return text;
}

const char* SystemStateName(SYSTEM_POWER_STATE s) {
    switch (s) {
        case PowerSystemWorking:
            return "S0";
        case PowerSystemSleeping1:
            return "S1";
        case PowerSystemSleeping2:
            return "S2";
        case PowerSystemSleeping3:
            return "S3";
        case PowerSystemHibernate:
            return "S4";
        case PowerSystemShutdown:
            return "S5";
        default:
            return "S?";
    }
}

}  // namespace

const char* DeviceNodeStateName(DeviceNodeState state) {
    switch (state) {
        case DeviceNodeState::NoDriver:
            return "no driver";
        case DeviceNodeState::Failed:
            return "failed";
        case DeviceNodeState::Started:
            return "started";
        case DeviceNodeState::Stopped:
            return "stopped";
        case DeviceNodeState::SurpriseRemoved:
            return "surprise-removed";
        case DeviceNodeState::Removed:
            return "removed";
    }
    return "?";
}

std::string PnpRequestName(const PnpRequestRecord& r) {
    if (r.major == IRP_MJ_POWER) {
        const char* what = r.minor == IRP_MN_SET_POWER     ? "set-power "
                           : r.minor == IRP_MN_QUERY_POWER ? "query-power "
                                                           : "power ";
        return what + std::string(SystemStateName(static_cast<SYSTEM_POWER_STATE>(r.detail)));
    }
    switch (r.minor) {
        case IRP_MN_START_DEVICE:
            return "start";
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return "query-remove";
        case IRP_MN_REMOVE_DEVICE:
            return "remove";
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return "cancel-remove";
        case IRP_MN_STOP_DEVICE:
            return "stop";
        case IRP_MN_QUERY_STOP_DEVICE:
            return "query-stop";
        case IRP_MN_CANCEL_STOP_DEVICE:
            return "cancel-stop";
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            return "query-device-relations " + std::to_string(r.detail);
        case IRP_MN_QUERY_CAPABILITIES:
            return "query-capabilities";
        case IRP_MN_QUERY_ID:
            return "query-id " + std::to_string(r.detail);
        case IRP_MN_SURPRISE_REMOVAL:
            return "surprise-removal";
        default:
            return "pnp " + std::to_string(r.minor);
    }
}

struct PnpManager::State {
    struct Node {
        PDEVICE_OBJECT pdo = nullptr;  // referenced while the node exists
        Node* parent = nullptr;
        std::vector<std::unique_ptr<Node>> children;
        std::wstring deviceId;
        std::wstring instanceId;
        std::vector<std::wstring> hardwareIds;
        std::wstring instancePath;
        std::wstring service;  // of the function driver above the physical device
        DeviceNodeState state = DeviceNodeState::NoDriver;
        bool missing = false;  // reported gone: removed once no file is open on the subtree
        DEVICE_CAPABILITIES capabilities{};
    };
    struct Binding {
        std::wstring hardwareId;  // lower case
        std::wstring service;
        PDRIVER_INITIALIZE entry;
    };
    struct Operation {
        std::function<void()> work;
        KEVENT done;
        bool waited = false;
    };

    // Readers take the lock briefly; only the manager's thread changes the tree, and it never
    // holds the lock while a request is under way.
    mutable std::mutex mutex;
    std::vector<std::unique_ptr<Node>> roots;
    std::vector<Binding> bindings;
    std::vector<std::wstring> loadedServices;  // lower case
    std::vector<PnpRequestRecord> history;
    bool asleep = false;

    std::deque<Operation*> queue;
    bool stopping = false;
    KEVENT wake;
    KTHREAD* thread = nullptr;

    // --- The manager's thread ---------------------------------------------------------------

    static void Main(void* context) {
        auto* st = static_cast<State*>(context);
        for (;;) {
            KeWaitForSingleObject(&st->wake, Executive, KernelMode, FALSE, nullptr);
            for (;;) {
                Operation* op = nullptr;
                bool stop = false;
                {
                    std::lock_guard lock(st->mutex);
                    if (!st->queue.empty()) {
                        op = st->queue.front();
                        st->queue.pop_front();
                    } else {
                        stop = st->stopping;
                    }
                }
                if (op == nullptr) {
                    if (stop) return;
                    break;
                }
                op->work();
                if (op->waited)
                    KeSetEvent(&op->done, IO_NO_INCREMENT, FALSE);
                else
                    delete op;
            }
        }
    }

    bool OnManagerThread() const { return KeGetCurrentThread() == thread; }

    void Queue(std::function<void()> work) {
        auto* op = new Operation{std::move(work), {}, false};
        {
            std::lock_guard lock(mutex);
            if (stopping) {
                delete op;
                return;
            }
            queue.push_back(op);
        }
        KeSetEvent(&wake, IO_NO_INCREMENT, FALSE);
    }

    void Run(const std::function<void()>& work, const char* call) {
        if (OnManagerThread()) {
            work();
            return;
        }
        RequirePassive(call);
        Operation op{work, {}, true};
        KeInitializeEvent(&op.done, NotificationEvent, FALSE);
        {
            std::lock_guard lock(mutex);
            queue.push_back(&op);
        }
        KeSetEvent(&wake, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&op.done, Executive, KernelMode, FALSE, nullptr);
    }

    // --- Tree ---------------------------------------------------------------------------------

    Node* Find(PDEVICE_OBJECT pdo) const {
        std::function<Node*(const std::vector<std::unique_ptr<Node>>&)> search =
            [&](const std::vector<std::unique_ptr<Node>>& nodes) -> Node* {
            for (auto& n : nodes) {
                if (n->pdo == pdo) return n.get();
                if (Node* found = search(n->children)) return found;
            }
            return nullptr;
        };
        return search(roots);
    }

    // Leaves first: every child's subtree before the node itself.
    static void PostOrder(Node* node, std::vector<Node*>* out) {
        for (auto& c : node->children) PostOrder(c.get(), out);
        out->push_back(node);
    }
    static void PreOrder(Node* node, std::vector<Node*>* out) {
        out->push_back(node);
        for (auto& c : node->children) PreOrder(c.get(), out);
    }

    static size_t OpenFilesOf(Node* node) {
        size_t n = OpenFileCount(node->pdo);
        for (auto& c : node->children) n += OpenFilesOf(c.get());
        return n;
    }

    // Takes the node out of the tree and drops the references to its subtree's devices.
    void Detach(Node* node) {
        std::unique_ptr<Node> owned;
        {
            std::lock_guard lock(mutex);
            auto& list = node->parent != nullptr ? node->parent->children : roots;
            for (auto it = list.begin(); it != list.end(); ++it)
                if (it->get() == node) {
                    owned = std::move(*it);
                    list.erase(it);
                    break;
                }
        }
        std::vector<Node*> all;
        PostOrder(owned.get(), &all);
        for (Node* n : all) ObDereferenceObject(n->pdo);
    }

    void SetState(Node* node, DeviceNodeState state) {
        std::lock_guard lock(mutex);
        node->state = state;
    }

    // --- Requests -----------------------------------------------------------------------------

    NTSTATUS SendPnp(Node* node, UCHAR minor, ULONG detail,
                     const std::function<void(PIO_STACK_LOCATION)>& fill,
                     ULONG_PTR* information = nullptr) {
        const NTSTATUS status = SendSystemRequest(node->pdo, IRP_MJ_PNP, minor, fill,
                                                  STATUS_NOT_SUPPORTED, information);
        std::lock_guard lock(mutex);
        history.push_back({node->instancePath, IRP_MJ_PNP, minor, detail, status});
        return status;
    }

    NTSTATUS SendPnp(Node* node, UCHAR minor) { return SendPnp(node, minor, 0, nullptr); }

    NTSTATUS SendPower(Node* node, UCHAR minor, SYSTEM_POWER_STATE state) {
        const NTSTATUS status = SendSystemPowerRequest(node->pdo, minor, state);
        std::lock_guard lock(mutex);
        history.push_back(
            {node->instancePath, IRP_MJ_POWER, minor, static_cast<ULONG>(state), status});
        return status;
    }

    // A string answer of query-id: pool the driver allocated, read within its block, then freed.
    // multi: a list of strings ended by an empty one.
    std::vector<std::wstring> QueryId(Node* node, BUS_QUERY_ID_TYPE type, bool multi) {
        ULONG_PTR information = 0;
        const NTSTATUS status = SendPnp(
            node, IRP_MN_QUERY_ID, static_cast<ULONG>(type),
            [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; }, &information);
        std::vector<std::wstring> out;
        if (!NT_SUCCESS(status) || information == 0) return out;
        auto* text = reinterpret_cast<const WCHAR*>(information);
        PoolRange range;
        if (!Pool::Locate(text, sizeof(WCHAR), &range))
            BugCheck("IRP_MN_QUERY_ID",
                     "the answer of " + Narrow(node->instancePath) + " is not a pool allocation");
        const auto* end = reinterpret_cast<const WCHAR*>(
            static_cast<const char*>(range.allocationBase) + range.allocationSize);
        const WCHAR* p = text;
        for (;;) {
            const WCHAR* start = p;
            while (p < end && *p != 0) ++p;
            if (p >= end)
                BugCheck("IRP_MN_QUERY_ID", "the answer of " + Narrow(node->instancePath) +
                                                " runs past its pool block without a terminator");
            if (p == start && (multi || out.empty())) {
                if (!multi) out.emplace_back();
                break;
            }
            out.emplace_back(start, p);
            ++p;
            if (!multi) break;
        }
        ExFreePool(const_cast<WCHAR*>(text));
        return out;
    }

    DEVICE_CAPABILITIES QueryCapabilities(Node* node, NTSTATUS* status) {
        DEVICE_CAPABILITIES caps{};
        caps.Size = sizeof(caps);
        caps.Version = 1;
        caps.Address = 0xFFFFFFFF;
        caps.UINumber = 0xFFFFFFFF;
        *status = SendPnp(node, IRP_MN_QUERY_CAPABILITIES, 0, [&caps](PIO_STACK_LOCATION s) {
            s->Parameters.DeviceCapabilities.Capabilities = &caps;
        });
        return caps;
    }

    const Binding* DriverFor(const std::vector<std::wstring>& hardwareIds) const {
        std::lock_guard lock(mutex);
        for (auto& id : hardwareIds) {
            const std::wstring wanted = Lower(id);
            for (auto& b : bindings)
                if (b.hardwareId == wanted) return &b;
        }
        return nullptr;
    }

    void UnloadIfUnused(const std::wstring& service) {
        if (service.empty()) return;
        const std::wstring key = Lower(service);
        if (std::find(loadedServices.begin(), loadedServices.end(), key) == loadedServices.end())
            return;
        PDRIVER_OBJECT driver = FindDriver(service);
        if (driver != nullptr && driver->DeviceObject != nullptr) return;
        if (driver != nullptr) {
            // A driver without an unload routine stays, as on Windows.
            const NTSTATUS status = UnloadDriver(service);
            if (!NT_SUCCESS(status)) return;
        }
        std::erase(loadedServices, key);
    }

    // After a remove request the function driver must have left the stack.
    static void RequireStackGone(Node* node) {
        if (TopOfStack(node->pdo) != node->pdo)
            BugCheck("IRP_MN_REMOVE_DEVICE",
                     "a device is still attached above " + Narrow(node->instancePath) +
                         " after its remove request (the driver must detach and delete it)");
    }

    // --- Building the tree ------------------------------------------------------------------

    // Identifies the device, loads and adds its driver, starts it and enumerates its children.
    NTSTATUS Build(Node* node) {
        node->deviceId.clear();
        auto ids = QueryId(node, BusQueryDeviceID, false);
        if (!ids.empty()) node->deviceId = ids[0];
        node->hardwareIds = QueryId(node, BusQueryHardwareIDs, true);
        (void)QueryId(node, BusQueryCompatibleIDs, true);  // no compatible-ID drivers here
        ids = QueryId(node, BusQueryInstanceID, false);
        node->instanceId = ids.empty() ? std::wstring() : ids[0];
        NTSTATUS status;
        const DEVICE_CAPABILITIES busCaps = QueryCapabilities(node, &status);
        {
            std::lock_guard lock(mutex);
            node->capabilities = busCaps;
        }

        std::wstring path = DeviceInstancePath(node->pdo);
        if (path.empty()) {
            path = node->deviceId.empty() ? L"UNKNOWN" : node->deviceId;
            path += L"\\";
            if (node->parent != nullptr) path += ParentPrefix(node->parent->instancePath);
            path += node->instanceId.empty() ? L"0000" : node->instanceId;
            SetPhysicalDevice(node->pdo, path);
        }
        {
            std::lock_guard lock(mutex);
            node->instancePath = path;
        }

        const Binding* binding = DriverFor(node->hardwareIds);
        if (binding == nullptr) {
            SetState(node, DeviceNodeState::NoDriver);
            return STATUS_NO_SUCH_DEVICE;
        }
        const std::wstring service = binding->service;
        PDRIVER_OBJECT driver = FindDriver(service);
        if (driver == nullptr) {
            status = LoadDriver(service, binding->entry, &driver);
            if (!NT_SUCCESS(status)) {
                SetState(node, DeviceNodeState::Failed);
                return status;
            }
            loadedServices.push_back(Lower(service));
        }
        {
            std::lock_guard lock(mutex);
            node->service = service;
        }
        status = CallAddDevice(driver, node->pdo);
        if (!NT_SUCCESS(status)) {
            if (TopOfStack(node->pdo) != node->pdo)
                BugCheck("AddDevice",
                         "failed but left its device attached above " + Narrow(node->instancePath));
            SetState(node, DeviceNodeState::Failed);
            UnloadIfUnused(service);
            return status;
        }
        PDEVICE_OBJECT top = TopOfStack(node->pdo);
        if (top != node->pdo && (top->Flags & DO_DEVICE_INITIALIZING) != 0)
            BugCheck("AddDevice",
                     "returned with DO_DEVICE_INITIALIZING still set on the device it "
                     "attached above " +
                         Narrow(node->instancePath));
        return StartStack(node);
    }

    NTSTATUS StartStack(Node* node) {
        NTSTATUS status = SendPnp(node, IRP_MN_START_DEVICE, 0, [](PIO_STACK_LOCATION s) {
            s->Parameters.StartDevice.AllocatedResources = nullptr;
            s->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
        });
        if (!NT_SUCCESS(status)) {
            // A stack that failed to start is torn down at once.
            for (auto& c : node->children) RemoveSubtree(c.get());
            while (!node->children.empty()) Detach(node->children.back().get());
            (void)SendPnp(node, IRP_MN_REMOVE_DEVICE);  // a remove request is not refused
            RequireStackGone(node);
            SetState(node, DeviceNodeState::Failed);
            UnloadIfUnused(node->service);
            return status;
        }
        SetState(node, DeviceNodeState::Started);
        NTSTATUS capsStatus;
        const DEVICE_CAPABILITIES caps = QueryCapabilities(node, &capsStatus);
        if (NT_SUCCESS(capsStatus)) {
            std::lock_guard lock(mutex);
            node->capabilities = caps;
        }
        Enumerate(node);
        return STATUS_SUCCESS;
    }

    // Bus relations: new children are built, children no longer reported are gone.
    void Enumerate(Node* node) {
        ULONG_PTR information = 0;
        const NTSTATUS status = SendPnp(
            node, IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations,
            [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; },
            &information);
        if (!NT_SUCCESS(status)) return;  // no answer: the children stay as they are
        std::vector<PDEVICE_OBJECT> reported;
        if (information != 0) {
            auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
            PoolRange range;
            if (!Pool::Locate(relations, sizeof(ULONG), &range))
                BugCheck("IRP_MN_QUERY_DEVICE_RELATIONS", "the bus relations of " +
                                                              Narrow(node->instancePath) +
                                                              " are not a pool allocation");
            const size_t room =
                range.allocationSize - (reinterpret_cast<const char*>(relations) -
                                        static_cast<const char*>(range.allocationBase));
            const size_t fits =
                room < offsetof(DEVICE_RELATIONS, Objects)
                    ? 0
                    : (room - offsetof(DEVICE_RELATIONS, Objects)) / sizeof(PDEVICE_OBJECT);
            if (relations->Count > fits)
                BugCheck("IRP_MN_QUERY_DEVICE_RELATIONS",
                         "the bus relations of " + Narrow(node->instancePath) + " count " +
                             std::to_string(relations->Count) + " devices in room for " +
                             std::to_string(fits));
            for (ULONG i = 0; i < relations->Count; ++i) {
                if (!IsDeviceObject(relations->Objects[i]))
                    BugCheck("IRP_MN_QUERY_DEVICE_RELATIONS",
                             "the bus relations of " + Narrow(node->instancePath) +
                                 " hold something that is not a device object");
                reported.push_back(relations->Objects[i]);
            }
            ExFreePool(relations);
        }
        std::vector<Node*> missing;
        for (auto& c : node->children)
            if (std::find(reported.begin(), reported.end(), c->pdo) == reported.end() &&
                c->state != DeviceNodeState::Removed)
                missing.push_back(c.get());
        std::vector<Node*> added;
        for (PDEVICE_OBJECT pdo : reported) {
            auto known = std::find_if(node->children.begin(), node->children.end(),
                                      [pdo](auto& c) { return c->pdo == pdo; });
            if (known != node->children.end()) {
                ObDereferenceObject(pdo);  // the relations' reference; the node holds one
                continue;
            }
            auto child = std::make_unique<Node>();
            child->pdo = pdo;  // keeps the relations' reference
            child->parent = node;
            added.push_back(child.get());
            std::lock_guard lock(mutex);
            node->children.push_back(std::move(child));
        }
        for (Node* gone : missing) {
            SurpriseRemoveSubtree(gone);
            gone->missing = true;
        }
        for (Node* child : added) (void)Build(child);  // a child's failure stays on its node
        FinishRemovals();
    }

    // --- Removal ------------------------------------------------------------------------------

    static bool HasStack(const Node* n) {
        return n->state == DeviceNodeState::Started || n->state == DeviceNodeState::Stopped ||
               n->state == DeviceNodeState::NoDriver;
    }

    void SurpriseRemoveSubtree(Node* node) {
        std::vector<Node*> order;
        PostOrder(node, &order);
        for (Node* n : order) {
            if (n->state == DeviceNodeState::Started || n->state == DeviceNodeState::Stopped)
                (void)SendPnp(n, IRP_MN_SURPRISE_REMOVAL);  // surprise removal is not refused
            if (n->state != DeviceNodeState::Removed && n->state != DeviceNodeState::Failed)
                SetState(n, DeviceNodeState::SurpriseRemoved);
        }
    }

    // Remove requests to the subtree, leaves first; drivers without devices left are unloaded.
    void RemoveSubtree(Node* node) {
        std::vector<Node*> order;
        PostOrder(node, &order);
        for (Node* n : order) {
            if (HasStack(n) || n->state == DeviceNodeState::SurpriseRemoved) {
                (void)SendPnp(n, IRP_MN_REMOVE_DEVICE);  // a remove request is not refused
                if (!n->service.empty()) RequireStackGone(n);
                SetState(n, DeviceNodeState::Removed);
            }
            UnloadIfUnused(n->service);
        }
    }

    // Gone devices whose files are all closed get their remove requests and leave the tree.
    void FinishRemovals() {
        std::function<bool(std::vector<std::unique_ptr<Node>>&)> pass =
            [&](std::vector<std::unique_ptr<Node>>& nodes) -> bool {
            for (auto& n : nodes) {
                if (n->missing) {
                    if (OpenFilesOf(n.get()) != 0) continue;
                    Node* gone = n.get();
                    RemoveSubtree(gone);
                    Detach(gone);
                    return true;  // the list changed: start over
                }
                if (pass(n->children)) return true;
            }
            return false;
        };
        while (pass(roots)) {
        }
    }

    // Query-remove to the subtree, leaves first; a veto is cancelled for those asked.
    NTSTATUS QueryRemove(Node* node) {
        std::vector<Node*> order;
        PostOrder(node, &order);
        std::vector<Node*> asked;
        for (Node* n : order) {
            if (!HasStack(n)) continue;
            asked.push_back(n);
            const NTSTATUS status = SendPnp(n, IRP_MN_QUERY_REMOVE_DEVICE);
            if (!NT_SUCCESS(status)) {
                for (auto it = asked.rbegin(); it != asked.rend(); ++it)
                    (void)SendPnp(*it, IRP_MN_CANCEL_REMOVE_DEVICE);  // undoing: nothing to add
                return status;
            }
        }
        return STATUS_SUCCESS;
    }

    // --- Power --------------------------------------------------------------------------------

    std::vector<Node*> StartedNodes(bool leavesFirst) const {
        std::vector<Node*> all;
        for (auto& r : roots) {
            if (leavesFirst)
                PostOrder(r.get(), &all);
            else
                PreOrder(r.get(), &all);
        }
        std::erase_if(all, [](Node* n) { return n->state != DeviceNodeState::Started; });
        return all;
    }
};

PnpManager::PnpManager() : state_(std::make_unique<State>()) {
    RequirePassive("PnpManager");
    KeInitializeEvent(&state_->wake, SynchronizationEvent, FALSE);
    NTSTATUS status;
    state_->thread = detail::StartThread(nullptr, &State::Main, state_.get(), &status);
    if (state_->thread == nullptr) BugCheck("PnpManager", "the manager's thread did not start");
    SetUnloadDriverHandler([this](const std::wstring& service) { return OnUnloadDriver(service); });
    State* st = state_.get();
    SetLastFileClosedHandler([st](PDEVICE_OBJECT) { st->Queue([st] { st->FinishRemovals(); }); });
}

PnpManager::~PnpManager() {
    SetUnloadDriverHandler(nullptr);
    SetLastFileClosedHandler(nullptr);
    State* st = state_.get();
    st->Run(
        [st] {
            // The machine goes: whatever is left is removed, open files or not.
            while (!st->roots.empty()) {
                State::Node* root = st->roots.back().get();
                st->RemoveSubtree(root);
                st->Detach(root);
            }
            for (const std::wstring& service : std::vector<std::wstring>(st->loadedServices))
                st->UnloadIfUnused(service);
        },
        "~PnpManager");
    {
        std::lock_guard lock(st->mutex);
        st->stopping = true;
    }
    KeSetEvent(&st->wake, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(st->thread, Executive, KernelMode, FALSE, nullptr);
    // The thread drops its own reference just after it signals its end: the thread object goes
    // with ours, so that nothing of the manager is left in the pool books.
    while (ObjectReferenceCount(st->thread) > 1) std::this_thread::yield();
    ObDereferenceObject(st->thread);
}

void PnpManager::RegisterDriver(const std::wstring& hardwareId, const std::wstring& serviceName,
                                PDRIVER_INITIALIZE entry) {
    std::lock_guard lock(state_->mutex);
    const std::wstring key = Lower(hardwareId);
    for (auto& b : state_->bindings)
        if (b.hardwareId == key) {
            b.service = serviceName;
            b.entry = entry;
            return;
        }
    state_->bindings.push_back({key, serviceName, entry});
}

NTSTATUS PnpManager::Plug(PDEVICE_OBJECT physicalDevice) {
    if (!IsDeviceObject(physicalDevice)) BugCheck("PnpManager::Plug", "not a device object");
    State* st = state_.get();
    NTSTATUS result = STATUS_SUCCESS;
    st->Run(
        [&] {
            if (State::Node* known = st->Find(physicalDevice)) {
                if (known->parent != nullptr || State::HasStack(known) ||
                    known->state == DeviceNodeState::SurpriseRemoved) {
                    result = STATUS_OBJECT_NAME_COLLISION;
                    return;
                }
                st->Detach(known);  // a device that failed before is tried afresh
            }
            auto node = std::make_unique<State::Node>();
            node->pdo = physicalDevice;
            ObReferenceObject(physicalDevice);
            State::Node* n = node.get();
            {
                std::lock_guard lock(st->mutex);
                st->roots.push_back(std::move(node));
            }
            result = st->Build(n);
        },
        "PnpManager::Plug");
    return result;
}

void PnpManager::ReportMissing(PDEVICE_OBJECT physicalDevice) {
    State* st = state_.get();
    st->Queue([st, physicalDevice] {
        State::Node* node = st->Find(physicalDevice);
        if (node == nullptr || node->missing) return;
        st->SurpriseRemoveSubtree(node);
        node->missing = true;
        st->FinishRemovals();
    });
}

NTSTATUS PnpManager::Remove(PDEVICE_OBJECT physicalDevice) {
    State* st = state_.get();
    NTSTATUS result = STATUS_SUCCESS;
    st->Run(
        [&] {
            State::Node* node = st->Find(physicalDevice);
            if (node == nullptr) {
                result = STATUS_NO_SUCH_DEVICE;
                return;
            }
            if (node->missing || node->state == DeviceNodeState::SurpriseRemoved) {
                result = STATUS_DELETE_PENDING;
                return;
            }
            result = st->QueryRemove(node);
            if (!NT_SUCCESS(result)) return;
            st->RemoveSubtree(node);
            st->Detach(node);
        },
        "PnpManager::Remove");
    return result;
}

NTSTATUS PnpManager::Stop(PDEVICE_OBJECT physicalDevice) {
    State* st = state_.get();
    NTSTATUS result = STATUS_SUCCESS;
    st->Run(
        [&] {
            State::Node* node = st->Find(physicalDevice);
            if (node == nullptr || node->state != DeviceNodeState::Started) {
                result = node == nullptr ? STATUS_NO_SUCH_DEVICE : STATUS_INVALID_DEVICE_STATE;
                return;
            }
            result = st->SendPnp(node, IRP_MN_QUERY_STOP_DEVICE);
            if (!NT_SUCCESS(result)) {
                (void)st->SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE);  // undoing the query
                return;
            }
            (void)st->SendPnp(node, IRP_MN_STOP_DEVICE);  // a stop request is not refused
            st->SetState(node, DeviceNodeState::Stopped);
        },
        "PnpManager::Stop");
    return result;
}

NTSTATUS PnpManager::Restart(PDEVICE_OBJECT physicalDevice) {
    State* st = state_.get();
    NTSTATUS result = STATUS_SUCCESS;
    st->Run(
        [&] {
            State::Node* node = st->Find(physicalDevice);
            if (node == nullptr || node->state != DeviceNodeState::Stopped) {
                result = node == nullptr ? STATUS_NO_SUCH_DEVICE : STATUS_INVALID_DEVICE_STATE;
                return;
            }
            result = st->StartStack(node);
        },
        "PnpManager::Restart");
    return result;
}

NTSTATUS PnpManager::Sleep(SYSTEM_POWER_STATE sleepState) {
    if (sleepState <= PowerSystemWorking || sleepState > PowerSystemHibernate)
        return STATUS_INVALID_PARAMETER;
    State* st = state_.get();
    NTSTATUS result = STATUS_SUCCESS;
    st->Run(
        [&] {
            if (st->asleep) {
                result = STATUS_INVALID_DEVICE_STATE;
                return;
            }
            const std::vector<State::Node*> order = st->StartedNodes(true);
            std::vector<State::Node*> asked;
            for (State::Node* n : order) {
                const NTSTATUS status = st->SendPower(n, IRP_MN_QUERY_POWER, sleepState);
                if (!NT_SUCCESS(status)) {
                    // Those that agreed are told the machine stays up.
                    for (auto it = asked.rbegin(); it != asked.rend(); ++it)
                        (void)st->SendPower(*it, IRP_MN_SET_POWER, PowerSystemWorking);
                    result = status;
                    return;
                }
                asked.push_back(n);
            }
            for (State::Node* n : order) {
                const NTSTATUS status = st->SendPower(n, IRP_MN_SET_POWER, sleepState);
                if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
            }
            std::lock_guard lock(st->mutex);
            st->asleep = true;
        },
        "PnpManager::Sleep");
    return result;
}

NTSTATUS PnpManager::Wake() {
    State* st = state_.get();
    NTSTATUS result = STATUS_SUCCESS;
    st->Run(
        [&] {
            if (!st->asleep) {
                result = STATUS_INVALID_DEVICE_STATE;
                return;
            }
            for (State::Node* n : st->StartedNodes(false)) {
                const NTSTATUS status = st->SendPower(n, IRP_MN_SET_POWER, PowerSystemWorking);
                if (!NT_SUCCESS(status) && NT_SUCCESS(result)) result = status;
            }
            std::lock_guard lock(st->mutex);
            st->asleep = false;
        },
        "PnpManager::Wake");
    return result;
}

bool PnpManager::Asleep() const {
    std::lock_guard lock(state_->mutex);
    return state_->asleep;
}

void PnpManager::WaitIdle() {
    state_->Run([] {}, "PnpManager::WaitIdle");
}

NTSTATUS PnpManager::OnUnloadDriver(const std::wstring& serviceName) {
    State* st = state_.get();
    NTSTATUS result = STATUS_SUCCESS;
    st->Run(
        [&] {
            const std::wstring key = Lower(serviceName);
            std::vector<State::Node*> all, nodes;
            for (auto& r : st->roots) State::PreOrder(r.get(), &all);
            for (State::Node* n : all)
                if (Lower(n->service) == key && State::HasStack(n)) nodes.push_back(n);
            for (State::Node* n : nodes) {
                result = st->QueryRemove(n);
                if (!NT_SUCCESS(result)) return;
            }
            for (State::Node* n : nodes) {
                // The physical device stays its parent's: the node stays, without its driver.
                st->RemoveSubtree(n);
                while (!n->children.empty()) st->Detach(n->children.back().get());
            }
            if (FindDriver(serviceName) == nullptr) {
                result = nodes.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
                return;
            }
            result = UnloadDriver(serviceName);
            if (NT_SUCCESS(result)) std::erase(st->loadedServices, key);
        },
        "ZwUnloadDriver");
    return result;
}

bool PnpManager::Knows(PDEVICE_OBJECT physicalDevice) const {
    std::lock_guard lock(state_->mutex);
    return state_->Find(physicalDevice) != nullptr;
}

DeviceNodeState PnpManager::StateOf(PDEVICE_OBJECT physicalDevice) const {
    std::lock_guard lock(state_->mutex);
    State::Node* n = state_->Find(physicalDevice);
    return n != nullptr ? n->state : DeviceNodeState::Removed;
}

std::wstring PnpManager::InstancePathOf(PDEVICE_OBJECT physicalDevice) const {
    std::lock_guard lock(state_->mutex);
    State::Node* n = state_->Find(physicalDevice);
    return n != nullptr ? n->instancePath : std::wstring();
}

std::wstring PnpManager::ServiceOf(PDEVICE_OBJECT physicalDevice) const {
    std::lock_guard lock(state_->mutex);
    State::Node* n = state_->Find(physicalDevice);
    return n != nullptr ? n->service : std::wstring();
}

std::vector<PDEVICE_OBJECT> PnpManager::ChildrenOf(PDEVICE_OBJECT physicalDevice) const {
    std::lock_guard lock(state_->mutex);
    std::vector<PDEVICE_OBJECT> out;
    if (State::Node* n = state_->Find(physicalDevice))
        for (auto& c : n->children) out.push_back(c->pdo);
    return out;
}

DEVICE_CAPABILITIES PnpManager::CapabilitiesOf(PDEVICE_OBJECT physicalDevice) const {
    std::lock_guard lock(state_->mutex);
    State::Node* n = state_->Find(physicalDevice);
    return n != nullptr ? n->capabilities : DEVICE_CAPABILITIES{};
}

std::vector<PnpRequestRecord> PnpManager::History() const {
    std::lock_guard lock(state_->mutex);
    return state_->history;
}

void PnpManager::ClearHistory() {
    std::lock_guard lock(state_->mutex);
    state_->history.clear();
}

}  // namespace q407::sim
