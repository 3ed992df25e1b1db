// The listing and mixer side of the audio client: subdevices found through their device
// interfaces, and the mute controls of a topology filter read and set through property requests,
// as the system mixer does.
#include "sim/host/portcls/audio_client.h"

#include <algorithm>
#include <set>

#include "sim/host/device_interfaces.h"
#include "sim/host/portcls/adapter.h"
#include "sim/host/portcls/audio_client_link.h"
#include "sim/host/portcls/port_base.h"
#include "sim/host/portcls/property_requests.h"

namespace q407::sim::audio {
namespace {

using portcls::PortBase;
using portcls::PortKind;

SubdeviceKind KindOf(PortKind kind) {
    switch (kind) {
        case PortKind::Topology:
            return SubdeviceKind::Topology;
        case PortKind::DMus:
            return SubdeviceKind::Midi;
        case PortKind::WaveCyclic:
        case PortKind::WavePci:
            break;
    }
    return SubdeviceKind::Wave;
}

// A client's reference to a registered subdevice's port.
class PortHold {
  public:
    explicit PortHold(const std::wstring& name) : port_(portcls::ReferenceSubdevicePort(name)) {}
    ~PortHold() {
        if (port_ != nullptr) port_->ReleasePortReference();
    }
    PortHold(const PortHold&) = delete;
    PortHold& operator=(const PortHold&) = delete;
    PortBase* get() const { return port_; }

  private:
    PortBase* port_;
};

// The mute property of one channel of a node: the instance after the node header is the
// channel number and a reserved word.
NTSTATUS MuteRequest(PortBase* port, int node, ULONG verb, BOOL* value) {
    struct {
        LONG channel;
        ULONG reserved;
    } instance{0, 0};
    static_assert(sizeof(instance) ==
                  sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) - sizeof(KSNODEPROPERTY));
    portcls::PropertyRequest request;
    request.node = static_cast<ULONG>(node);
    request.set = KSPROPSETID_Audio;
    request.id = KSPROPERTY_AUDIO_MUTE;
    request.verb = verb;
    request.instance = &instance;
    request.instanceSize = sizeof(instance);
    request.value = value;
    request.valueSize = sizeof(*value);
    NTSTATUS status = portcls::SubmitPropertyRequest(port, &request);
    if (NT_SUCCESS(status) && verb == KSPROPERTY_TYPE_GET && request.valueSize < sizeof(*value))
        status = STATUS_BUFFER_TOO_SMALL;  // the miniport answered less than a BOOL
    return status;
}

NTSTATUS TopologyPort(const PortHold& hold) {
    if (hold.get() == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (hold.get()->Kind() != PortKind::Topology) return STATUS_INVALID_DEVICE_REQUEST;
    return STATUS_SUCCESS;
}

// The filter pins from which (upstream) or to which (downstream) the node's paths run.
std::set<ULONG> FilterPinsOnPath(const PCFILTER_DESCRIPTOR& filter, ULONG node, bool upstream) {
    std::set<ULONG> pins;
    std::set<ULONG> visited{node};
    std::vector<ULONG> pending{node};
    while (!pending.empty()) {
        const ULONG at = pending.back();
        pending.pop_back();
        for (ULONG i = 0; i < filter.ConnectionCount; ++i) {
            const PCCONNECTION_DESCRIPTOR& c = filter.Connections[i];
            const ULONG here = upstream ? c.ToNode : c.FromNode;
            const ULONG there = upstream ? c.FromNode : c.ToNode;
            const ULONG therePin = upstream ? c.FromNodePin : c.ToNodePin;
            if (here != at) continue;
            if (there == PCFILTER_NODE) {
                pins.insert(therePin);
            } else if (visited.insert(there).second) {
                pending.push_back(there);
            }
        }
    }
    return pins;
}

}  // namespace

std::vector<SubdeviceInfo> ListSubdevices() {
    if (linked::Active()) return linked::ListSubdevices();
    std::vector<SubdeviceInfo> list;
    for (const std::wstring& link : EnabledDeviceInterfaces(KSCATEGORY_AUDIO)) {
        portcls::SubdeviceRecord record;
        if (!portcls::FindSubdeviceByLink(link, &record)) continue;  // not a port-class filter
        SubdeviceInfo info;
        info.name = record.name;
        info.kind = KindOf(record.kind);
        info.symbolicLink = link;
        info.unit = record.unit;
        info.playback = record.playback;
        info.recording = record.recording;
        list.push_back(info);
    }
    return list;
}

int32_t ListMixerLines(const std::wstring& mixerName, std::vector<MixerLine>* lines) {
    lines->clear();
    if (linked::Active()) return linked::ListMixerLines(mixerName, lines);
    PortHold hold(mixerName);
    NTSTATUS status = TopologyPort(hold);
    if (!NT_SUCCESS(status)) return status;
    PortBase* port = hold.get();

    // Which of the mixer's input pins the wave filter feeds: the playback paths start there.
    std::set<ULONG> fedByWave;
    for (const portcls::SubdeviceRecord& record : portcls::RegisteredSubdevices()) {
        if (record.name != port->Name() || !record.enabled) continue;
        for (const auto& c : portcls::PhysicalConnectionsOf(record.physicalDevice))
            if (c.toName == record.name) fedByWave.insert(c.toPin);
        break;
    }

    struct Found {
        int node;
        bool playback;
        bool hasMute;
    };
    std::vector<Found> found;
    if (!port->EnterMiniportCall()) return STATUS_DEVICE_REMOVED;
    const PCFILTER_DESCRIPTOR& filter = *port->Descriptor();
    for (ULONG node = 0; node < filter.NodeCount; ++node) {
        const auto* descriptor = reinterpret_cast<const PCNODE_DESCRIPTOR*>(
            reinterpret_cast<const UCHAR*>(filter.Nodes) + size_t(node) * filter.NodeSize);
        if (descriptor->Type == nullptr || !IsEqualGUID(*descriptor->Type, KSNODETYPE_MUTE))
            continue;
        const std::set<ULONG> sources = FilterPinsOnPath(filter, node, true);
        const bool playback = std::any_of(sources.begin(), sources.end(),
                                          [&](ULONG pin) { return fedByWave.count(pin) != 0; });
        const bool hasMute = portcls::FindPropertyItem(filter, node, KSPROPSETID_Audio,
                                                       KSPROPERTY_AUDIO_MUTE) != nullptr;
        found.push_back({static_cast<int>(node), playback, hasMute});
    }
    port->LeaveMiniportCall();

    for (const Found& f : found) {
        MixerLine line{f.node, f.playback, f.hasMute, false};
        if (f.hasMute) {
            BOOL muted = FALSE;
            status = MuteRequest(port, f.node, KSPROPERTY_TYPE_GET, &muted);
            if (!NT_SUCCESS(status)) {
                lines->clear();
                return status;
            }
            line.muted = muted != FALSE;
        }
        lines->push_back(line);
    }
    return STATUS_SUCCESS;
}

int32_t SetMute(const std::wstring& mixerName, int node, bool mute) {
    if (linked::Active()) return linked::SetMute(mixerName, node, mute);
    PortHold hold(mixerName);
    const NTSTATUS status = TopologyPort(hold);
    if (!NT_SUCCESS(status)) return status;
    BOOL value = mute ? TRUE : FALSE;
    return MuteRequest(hold.get(), node, KSPROPERTY_TYPE_SET, &value);
}

int32_t GetMute(const std::wstring& mixerName, int node, bool* mute) {
    if (linked::Active()) return linked::GetMute(mixerName, node, mute);
    PortHold hold(mixerName);
    NTSTATUS status = TopologyPort(hold);
    if (!NT_SUCCESS(status)) return status;
    BOOL value = FALSE;
    status = MuteRequest(hold.get(), node, KSPROPERTY_TYPE_GET, &value);
    if (NT_SUCCESS(status)) *mute = value != FALSE;
    return status;
}

}  // namespace q407::sim::audio
