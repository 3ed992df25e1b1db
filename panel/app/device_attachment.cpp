#include "panel/app/device_attachment.h"

#include <cstring>

#include "panel/app/settings_applier.h"
#include "panel/app/usb_device.h"
#include "panel/app/zel_controller.h"

namespace q407::panel {
namespace {

// Two spaces while a device is being attached, one after a removal: both are what users see.
constexpr wchar_t kAttachingSuffix[] = L" -  No Device";
constexpr wchar_t kRemovedSuffix[] = L" - No Device";

bool IsPanelRate(int32_t rate) {
    return rate == 44100 || rate == 48000 || rate == 88200 || rate == 96000;
}

void AppendText(wchar_t* out, unsigned capacity, unsigned* pos, const wchar_t* text) {
    for (; *text != 0 && *pos + 1 < capacity; ++text) out[(*pos)++] = *text;
    out[*pos] = 0;
}

void AppendNumber(wchar_t* out, unsigned capacity, unsigned* pos, int value) {
    wchar_t digits[12];
    unsigned n = 0;
    unsigned magnitude = value < 0 ? 0u : static_cast<unsigned>(value);
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    wchar_t text[12];
    unsigned t = 0;
    while (n > 0) text[t++] = digits[--n];
    text[t] = 0;
    AppendText(out, capacity, pos, text);
}

void SetTitle(PanelView& view, const wchar_t* suffix) {
    wchar_t title[96];
    FormatPanelTitle(title, sizeof(title) / sizeof(title[0]), suffix);
    view.SetTitle(title);
}

}  // namespace

void FormatPanelTitle(wchar_t* out, unsigned capacity, const wchar_t* suffix) {
    if (capacity == 0) return;
    unsigned pos = 0;
    out[0] = 0;
    AppendText(out, capacity, &pos, L"ZEL Q407 LX Control Panel - Ver ");
    AppendNumber(out, capacity, &pos, kPanelVersionMajor);
    AppendText(out, capacity, &pos, L".");
    AppendNumber(out, capacity, &pos, kPanelVersionMinor);
    AppendText(out, capacity, &pos, suffix);
}

void DeviceAttachment::attach(USBDevice* device) {
    if (s_.device != nullptr || device == nullptr) return;
    s_.device = device;
    (void)device->addRef();
    SetTitle(s_.view, kAttachingSuffix);
    s_.view.PagesShowAll(0);
    // Stays attached without handles: the next removal detaches it as usual.
    if (!device->open()) return;

    device->selectUnit(0);
    // Without the status record the meters read zero; nothing else depends on it.
    (void)device->mapPanelStatus(1, &s_.statusKey, &s_.statusRecord);
    s_.port.setSink(&SendCodecBytesToDevice, device);

    fillInvalid(&s_.current);
    PanelConfig cfg;
    makeDefaultConfig(&cfg, device);
    const bool loaded = loadConfig(s_.profile, &cfg);
    if (!(loaded && loadMixer(s_.profile, &s_.copy) && !s_.defaultRequested)) {
        makeDefaultConfig(&cfg, device);
        resetOutputMap(&s_.copy);
        clearRouteTable(&s_.copy);
        s_.view.SaveSettings();
        s_.applier.factoryDefault();
    }
    // A record saved without a device holds no rate: start over from the factory settings.
    if (!IsPanelRate(cfg.sampleRate)) {
        makeDefaultConfig(&cfg, device);
        s_.applier.factoryDefault();
        (void)device->writeSettings(&s_.copy);
    }
    validateConfig(&cfg);
    (void)device->getDriverVersion(&cfg.driverVersion);
    (void)device->getFirmwareVersion(&cfg.firmwareVersion);

    s_.view.PagesSetDevice(device);
    s_.view.PagesShowAll(1);
    s_.view.ShowLevelAndFormatButtons(true);
    if (cfg.latency != s_.current.latency) {
        // Refused while another application records; the refresh below shows what holds.
        (void)device->setLatency(static_cast<uint32_t>(cfg.latency), 0);
        s_.current.latency = cfg.latency;
    }
    s_.applier.applyOutputLevels(cfg, 0);
    s_.applier.applyDigitalSettings(cfg);
    s_.applier.showSettings(s_.current);

    MixerSettings block = s_.copy;
    if (device->readSettings(&block)) s_.copy = block;
    (void)device->writeSettings(&s_.copy);

    SetTitle(s_.view, L"");
    s_.view.ReAddTrayIcon();
    s_.view.StartTimers();
}

void DeviceAttachment::detach(USBDevice* device) {
    if (s_.device != nullptr && (device == nullptr || device == s_.device)) {
        USBDevice* attached = s_.device;
        (void)attached->mapPanelStatus(0, &s_.statusKey, &s_.statusRecord);
        s_.statusRecord = nullptr;
        s_.statusKey = 0;
        s_.view.PagesShowAll(0);
        s_.view.ShowLevelAndFormatButtons(false);
        s_.view.StopMeterTimer();

        attached->closeAll();
        s_.device = nullptr;
        (void)attached->release();

        SetTitle(s_.view, kRemovedSuffix);
        s_.port.setSink(nullptr, nullptr);
        s_.view.PagesShowAll(0);
    }
    // A second removal report finds the record already forgotten and saves nothing.
    if (holdsSettings(s_.current)) s_.view.SaveSettings();
    fillInvalid(&s_.current);
}

void DeviceAttachment::onDeviceEvent(USBDevice* device, int event) {
    if (event == kDeviceArrived) {
        attach(device);
    } else if (event == kDeviceRemoved) {
        detach(device);
    } else {
        s_.view.PagesShowAll(s_.device != nullptr ? 1 : 0);
    }
}

}  // namespace q407::panel
