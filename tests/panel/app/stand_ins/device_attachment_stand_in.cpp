// Placeholder device attachment for builds that do not have the real one yet: it keeps the
// device reference, the status record and the title as the real one does, and nothing more.
#include <cwchar>

#include "panel/app/device_attachment.h"
#include "panel/app/usb_device.h"
#include "panel/app/zel_controller.h"

namespace q407::panel {
namespace {

void Title(PanelView& view, const wchar_t* suffix) {
    wchar_t title[128];
    FormatPanelTitle(title, 128, suffix);
    view.SetTitle(title);
}

}  // namespace

void FormatPanelTitle(wchar_t* out, unsigned capacity, const wchar_t* suffix) {
    const wchar_t prefix[] = L"ZEL Q407 LX Control Panel - Ver 1.4";
    unsigned pos = 0;
    for (const wchar_t* p = prefix; *p != 0 && pos + 1 < capacity; ++p) out[pos++] = *p;
    for (const wchar_t* p = suffix; p != nullptr && *p != 0 && pos + 1 < capacity; ++p)
        out[pos++] = *p;
    if (capacity > 0) out[pos] = 0;
}

void DeviceAttachment::attach(USBDevice* device) {
    if (s_.device != nullptr || device == nullptr) return;
    s_.device = device;
    device->addRef();
    Title(s_.view, L" -  No Device");
    s_.view.PagesShowAll(0);
    if (!device->open()) return;
    device->selectUnit(0);
    device->mapPanelStatus(1, &s_.statusKey, &s_.statusRecord);
    s_.port.setSink(&SendCodecBytesToDevice, device);
    s_.view.PagesSetDevice(device);
    s_.view.PagesShowAll(1);
    s_.view.ShowLevelAndFormatButtons(true);
    Title(s_.view, L"");
    s_.view.ReAddTrayIcon();
    s_.view.StartTimers();
}

void DeviceAttachment::detach(USBDevice* device) {
    if (s_.device != nullptr && (device == nullptr || device == s_.device)) {
        s_.device->mapPanelStatus(0, &s_.statusKey, &s_.statusRecord);
        s_.statusRecord = nullptr;
        s_.statusKey = 0;
        s_.view.PagesShowAll(0);
        s_.view.ShowLevelAndFormatButtons(false);
        s_.view.StopMeterTimer();
        USBDevice* old = s_.device;
        s_.device = nullptr;
        old->closeAll();
        old->release();
        Title(s_.view, L" - No Device");
        s_.port.setSink(nullptr, nullptr);
    }
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
