#include "panel/app/panel_dialog.h"

#include <cstring>
#include <new>

#include "panel/app/about_dialog.h"
#include "panel/app/device_watcher.h"
#include "panel/app/resource.h"
#include "panel/app/version_info.h"
#include "panel/widgets/control_classes.h"
#include "panel/widgets/flexpath_view.h"
#include "panel/widgets/output_routing_view.h"
#include "panel/widgets/paint_buffer.h"
#include "panel/widgets/panel_control.h"
#include "panel/widgets/panel_message.h"
#include "platform/user/device_access.h"
#include "shared/device_interface.h"

namespace q407::panel {
namespace {

constexpr COLORREF kBackgroundColour = 0xDDDDDD;
constexpr COLORREF kBoldTextColour = 0x2F2F2F;
constexpr COLORREF kLabelTextColour = 0x989796;
constexpr COLORREF kLabelBackColour = 0x1A1816;
constexpr int kRateLabelId = 0x4F00;
constexpr wchar_t kTrayTip[] = L"ZEL Q407 LX Control Panel";
constexpr wchar_t kCaption[] = L"ZEL Q407 LX Control Panel";

constexpr unsigned kLevelFirst = 16416;
constexpr unsigned kProfessionalId = 16432;
constexpr unsigned kConsumerId = 16433;

SIZE BitmapSize(HINSTANCE instance, const wchar_t* name) {
    SIZE size{0, 0};
    HBITMAP picture = static_cast<HBITMAP>(LoadImageW(instance, name, IMAGE_BITMAP, 0, 0, 0));
    if (picture == nullptr) return size;
    BITMAP info{};
    if (GetObjectW(picture, sizeof(info), &info) != 0) size = {info.bmWidth, info.bmHeight};
    DeleteObject(picture);
    return size;
}

// The rate, latency and buffer commands with their values.
struct CommandValue {
    WORD command;
    uint32_t value;
};
constexpr CommandValue kRates[] = {
    {ID_RATE_44100, 44100}, {ID_RATE_48000, 48000}, {ID_RATE_88200, 88200}, {ID_RATE_96000, 96000}};
constexpr CommandValue kLatencies[] = {{ID_LATENCY_32, 32},   {ID_LATENCY_64, 64},
                                       {ID_LATENCY_128, 128}, {ID_LATENCY_256, 256},
                                       {ID_LATENCY_512, 512}, {ID_LATENCY_1024, 1024}};
constexpr CommandValue kUsbBuffers[] = {
    {ID_USB_BUFFER_2, 2}, {ID_USB_BUFFER_3, 3}, {ID_USB_BUFFER_4, 4}, {ID_USB_BUFFER_5, 5}};

template <size_t N>
const CommandValue* Find(const CommandValue (&table)[N], WORD command) {
    for (const CommandValue& entry : table)
        if (entry.command == command) return &entry;
    return nullptr;
}

}  // namespace

bool CopyMeters(const EngineStatus* status, uint8_t* meters32) {
    std::memset(meters32, 0, kMeterBytes);
    if (status == nullptr) return true;
    static_assert(kInputPeaksOffset + 16 <= sizeof(EngineStatus));
    static_assert(kOutputPeaksOffset + 16 <= sizeof(EngineStatus));
    const auto* bytes = reinterpret_cast<const uint8_t*>(status);
    // Read through the system rather than directly, so that pages already gone fail the call.
    uint8_t peaks[kMeterBytes];
    SIZE_T read = 0;
    const HANDLE self = GetCurrentProcess();
    if (!ReadProcessMemory(self, bytes + kInputPeaksOffset, peaks, 16, &read) || read != 16 ||
        !ReadProcessMemory(self, bytes + kOutputPeaksOffset, peaks + 16, 16, &read) || read != 16)
        return false;
    std::memcpy(meters32, peaks, kMeterBytes);
    return true;
}

CZELPanelDlg::CZELPanelDlg(HINSTANCE instance, framework::ProfileStore& profile,
                           bool defaultRequested)
    : Dialog(IDD_Q407PANEL_DIALOG),
      instance_(instance),
      profile_(profile),
      defaultRequested_(defaultRequested),
      applier_(current_, copy_, device_, port_, profile_, *this),
      attachment_(DeviceAttachmentState{current_, copy_, device_, port_, status_, statusKey_,
                                        profile_, *this, applier_, defaultRequested}) {
    fillInvalid(&current_);
    icon_ = LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
}

CZELPanelDlg::~CZELPanelDlg() {
    if (boldFont_ != nullptr) DeleteObject(boldFont_);
    if (background_ != nullptr) DeleteObject(background_);
}

void CZELPanelDlg::OnDeviceEvent(void* context, USBDevice* device, int event) {
    static_cast<CZELPanelDlg*>(context)->attachment_.onDeviceEvent(device, event);
}

bool CZELPanelDlg::OnInitDialog() {
    const HWND window = Handle();
    if (defaultRequested_) {
        makeDefaultConfig(&current_, device_);
        resetOutputMap(&copy_);
        clearRouteTable(&copy_);
        saveSettings(profile_, current_, copy_);
    }
    loadConfig(profile_, &current_);
    loadMixer(profile_, &copy_);

    if (HMENU menu = GetMenu(window); menu != nullptr) {
        for (UINT command : {ID_USB_BUFFER_6, ID_USB_BUFFER_7}) {
            EnableMenuItem(menu, command, MF_BYCOMMAND | MF_GRAYED);
            DeleteMenu(menu, command, MF_BYCOMMAND);
        }
    }
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
    SizeAndCentre();

    boldFont_ =
        CreateFontW(12, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                    CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Arial");
    RegisterControlClasses(instance_);
    CreateRoutingViews();

    background_ = CreateSolidBrush(kBackgroundColour);
    // The mixer page; without memory or its template the dialog goes on with no page.
    if (auto* mixer = new (std::nothrow) CPanelControl(this); mixer != nullptr) {
        if (mixer->Create(instance_, window)) {
            // The page reaches under the rate label and the format buttons' left edge: it must
            // not paint over them.
            const LONG style = GetWindowLongW(mixer->Handle(), GWL_STYLE);
            SetWindowLongW(mixer->Handle(), GWL_STYLE, style | static_cast<LONG>(WS_CLIPSIBLINGS));
            pages_.add(mixer);
        } else {
            mixer->Release();
        }
    }
    pages_.select(0);
    PagesShowAll(0);

    rateLabel_.Create(window, RECT{76, 235, 146, 247}, kRateLabelId, kLabelTextColour,
                      kLabelBackColour, L"KHz");
    CreateButtons();
    RaiseOwnControls();
    ShowLevelAndFormatButtons(false);

    if (!tray_.Create(instance_, window, kTrayCallbackMessage, kTrayTip, icon_, kTrayIconId,
                      IDR_TRAY_MENU))
        ShowPanelMessage(window, L"Create fail! : Tray", kCaption, MB_OK);

    status_ = nullptr;
    statusKey_ = 0;
    SetTimer(window, kMeterTimer, kMeterPeriodMs, nullptr);
    startWatcher(&CZELPanelDlg::OnDeviceEvent, this, InterfaceClass());
    PostMessageW(window, kHideMessage, 0, 0);
    return true;
}

void CZELPanelDlg::SizeAndCentre() {
    const SIZE picture = BitmapSize(instance_, L"BAK");
    const int width =
        picture.cx + 2 * GetSystemMetrics(SM_CXBORDER) + GetSystemMetrics(SM_CXFRAME) + 10;
    const int height = picture.cy + 2 * GetSystemMetrics(SM_CYBORDER) +
                       GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) +
                       GetSystemMetrics(SM_CYMENU) + 10;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - picture.cx) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - picture.cy) / 2;
    MoveWindow(Handle(), x, y, width, height, FALSE);
}

void CZELPanelDlg::CreateRoutingViews() {
    FlexPathCreateParams flex;
    flex.module = instance_;
    flex.owner = Handle();
    flex.table = &copy_.routeTable;
    flexPath_ = CreateFlexPathView(flex);

    for (int i = 0; i < kOutputChannelCount; ++i)
        if (copy_.outputMap.entries[i] > 8) copy_.outputMap.entries[i] = i;
    OutputRoutingCreateParams routing;
    routing.module = instance_;
    routing.owner = Handle();
    routing.map = &copy_.outputMap;
    outputRouting_ = CreateOutputRoutingView(routing);
}

void CZELPanelDlg::CreateButtons() {
    for (int pair = 0; pair < 4; ++pair) {
        const int top = 72 + 15 * pair;
        CZELBitmapButton& balanced = levelButtons_[2 * pair];
        CZELBitmapButton& unbalanced = levelButtons_[2 * pair + 1];
        if (balanced.Create(Handle(), static_cast<int>(kLevelFirst) + 2 * pair, L"",
                            WS_CHILD | WS_VISIBLE, 673, top, 26, 15, instance_))
            balanced.LoadBitmaps(instance_, L"BTN_BAL_OFF", L"BTN_BAL_ON");
        if (unbalanced.Create(Handle(), static_cast<int>(kLevelFirst) + 2 * pair + 1, L"",
                              WS_CHILD | WS_VISIBLE, 699, top, 26, 15, instance_))
            unbalanced.LoadBitmaps(instance_, L"BTN_UNBAL_OFF", L"BTN_UNBAL_ON");
    }
    CZELBitmapButton& professional = formatButtons_[1];
    CZELBitmapButton& consumer = formatButtons_[0];
    if (professional.Create(Handle(), kProfessionalId, L"", WS_CHILD | WS_VISIBLE, 653, 166, 72, 14,
                            instance_))
        professional.LoadBitmaps(instance_, L"BTN_DIGI_FORMAT_PRO_OFF", L"BTN_DIGI_FORMAT_PRO_ON");
    if (consumer.Create(Handle(), kConsumerId, L"", WS_CHILD | WS_VISIBLE, 653, 181, 72, 14,
                        instance_))
        consumer.LoadBitmaps(instance_, L"BTN_DIGI_FORMAT_CON_OFF", L"BTN_DIGI_FORMAT_CON_ON");
}

// Children come into the dialog beneath the ones made before them, so the page made first
// would lie over the dialog's own controls where they share pixels.
void CZELPanelDlg::RaiseOwnControls() {
    const UINT flags = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
    if (rateLabel_.Handle() != nullptr)
        SetWindowPos(rateLabel_.Handle(), HWND_TOP, 0, 0, 0, 0, flags);
    for (CZELBitmapButton& button : levelButtons_)
        if (button.Handle() != nullptr) SetWindowPos(button.Handle(), HWND_TOP, 0, 0, 0, 0, flags);
    for (CZELBitmapButton& button : formatButtons_)
        if (button.Handle() != nullptr) SetWindowPos(button.Handle(), HWND_TOP, 0, 0, 0, 0, flags);
}

void CZELPanelDlg::OnMeterTimer() {
    uint8_t meters[kMeterBytes];
    // A record that went with the device is not read again: its address may be reused.
    if (!CopyMeters(device_ != nullptr ? status_ : nullptr, meters)) status_ = nullptr;
    pages_.UpdateMeters(meters);
}

void CZELPanelDlg::OnPaint() {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(Handle(), &paint);
    if (IsIconic(Handle())) {
        RECT client{};
        GetClientRect(Handle(), &client);
        const int x = (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2;
        const int y = (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2;
        DrawIcon(dc, x, y, icon_);
    } else {
        DrawResourceBitmap(dc, instance_, L"baK");
    }
    EndPaint(Handle(), &paint);
}

void CZELPanelDlg::ShowFromTray() {
    pages_.select(0);
    mayShow_ = true;
    ShowWindow(Handle(), SW_SHOW);
}

void CZELPanelDlg::ShowPanel() {
    if (Handle() == nullptr) return;
    mayShow_ = true;
    SetForegroundWindow(Handle());
    ShowWindow(Handle(), SW_SHOWNORMAL);
}

void CZELPanelDlg::ToggleAlwaysOnTop() {
    alwaysOnTop_ = !alwaysOnTop_;
    SetWindowPos(Handle(), alwaysOnTop_ ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE);
    SetMenuCheck(ID_ALWAYS_ON_TOP, alwaysOnTop_);
}

void CZELPanelDlg::SetLatency(uint32_t samples) {
    if (device_ == nullptr) return;
    if (device_->setLatency(samples, 0)) return;
    WCHAR text[256] = {};
    LoadStringW(instance_, IDS_INPUT_IN_USE, text, 256);
    ShowPanelMessage(Handle(), text, kCaption, MB_OK | MB_ICONQUESTION);
}

bool CZELPanelDlg::OnCommand(WORD id, WORD code, HWND control) {
    (void)code;
    (void)control;
    if (id >= kLevelFirst && id < kLevelFirst + 8) {
        applier_.levelButtonClicked(id);
        return true;
    }
    if (id == kProfessionalId || id == kConsumerId) {
        applier_.digitalFormatClicked(id);
        return true;
    }
    if (const CommandValue* rate = Find(kRates, id)) {
        if (device_ != nullptr) device_->setConfiguration(rate->value);
        return true;
    }
    if (const CommandValue* buffers = Find(kUsbBuffers, id)) {
        if (device_ != nullptr) device_->setUsbBuffer(buffers->value);
        return true;
    }
    if (const CommandValue* latency = Find(kLatencies, id)) {
        SetLatency(latency->value);
        return true;
    }
    switch (id) {
        case kFlexPathNotifyId:
            applier_.sendRouteTable();
            return true;
        case kOutputRoutingNotifyId:
            applier_.sendOutputMap();
            return true;
        case ID_TRAY_OPEN:
            ShowFromTray();
            return true;
        case ID_APP_EXIT_PANEL:
            PostQuitMessage(0);
            return true;
        case ID_ALWAYS_ON_TOP:
            ToggleAlwaysOnTop();
            return true;
        case ID_WINDOWS_AUDIO_SETTINGS:
            ShellExecuteW(Handle(), nullptr, L"rundll32.exe",
                          L"shell32.dll,Control_RunDLL mmsys.cpl", nullptr, SW_SHOWNORMAL);
            return true;
        case ID_CONFIG_FACTORY_DEFAULT:
            applier_.factoryDefault();
            return true;
        case ID_FLEXPATH_DEVICE_ROUTING:
            if (flexPath_ != nullptr) ShowWindow(flexPath_, SW_SHOW);
            return true;
        case ID_FLEXPATH_OUTPUT_CHANNELS:
            applier_.loadOutputMap();
            if (outputRouting_ != nullptr) ShowWindow(outputRouting_, SW_SHOW);
            return true;
        case ID_HELP_ABOUT:
            ShowAbout();
            return true;
        case IDCANCEL:
        case IDOK:
            // Escape and Enter hide the window like its close box; the program keeps running.
            ShowWindow(Handle(), SW_HIDE);
            return true;
        default:
            return false;
    }
}

bool CZELPanelDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    switch (message) {
        case WM_PAINT:
            OnPaint();
            *result = 0;
            return true;
        case WM_QUERYDRAGICON:
            *result = reinterpret_cast<LRESULT>(icon_);
            return true;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG: {
            const HWND control = reinterpret_cast<HWND>(lParam);
            const HDC dc = reinterpret_cast<HDC>(wParam);
            const int id = GetDlgCtrlID(control);
            if ((id & 0xF000) == 0x4000) {
                SelectObject(dc, boldFont_);
                SetTextColor(dc, kBoldTextColour);
                SetBkMode(dc, TRANSPARENT);
                *result = reinterpret_cast<LRESULT>(background_);
                return true;
            }
            return Dialog::HandleMessage(message, wParam, lParam, result);
        }
        case WM_WINDOWPOSCHANGING:
            if (!mayShow_) {
                auto* position = reinterpret_cast<WINDOWPOS*>(lParam);
                position->flags &= ~static_cast<UINT>(SWP_SHOWWINDOW);
            }
            return Dialog::HandleMessage(message, wParam, lParam, result);
        case WM_MOUSEMOVE:
            SetFocus(Handle());
            return Dialog::HandleMessage(message, wParam, lParam, result);
        case WM_CLOSE:
            ShowWindow(Handle(), SW_HIDE);
            *result = 0;
            return true;
        case kHideMessage:
            ShowWindow(Handle(), SW_HIDE);
            *result = 0;
            return true;
        case kTrayCallbackMessage:
            *result = tray_.OnTrayNotification(wParam, lParam);
            return true;
        case WM_TIMER:
            if (wParam == kMeterTimer) {
                OnMeterTimer();
            } else if (wParam == kRefreshTimer) {
                if (device_ != nullptr) applier_.refreshFromDevice(current_);
            } else {
                return Dialog::HandleMessage(message, wParam, lParam, result);
            }
            *result = 0;
            return true;
        case WM_DESTROY:
            OnDestroy();
            return Dialog::HandleMessage(message, wParam, lParam, result);
        default:
            return Dialog::HandleMessage(message, wParam, lParam, result);
    }
}

void CZELPanelDlg::OnDestroy() {
    KillTimer(Handle(), kMeterTimer);
    KillTimer(Handle(), kRefreshTimer);
    saveSettings(profile_, current_, copy_);
    port_.setSink(nullptr, nullptr);
    if (device_ != nullptr) {
        USBDevice* device = device_;
        device_ = nullptr;
        device->closeAll();
        device->release();
    }
    stopWatcher();
    pages_.release();
    tray_.Remove();
}

void CZELPanelDlg::ShowAbout() {
    VersionInfo driver{};
    VersionInfo firmware{};
    if (device_ != nullptr) {
        device_->getDriverVersion(&current_.driverVersion);
        device_->getFirmwareVersion(&current_.firmwareVersion);
        driver = current_.driverVersion;
        firmware = current_.firmwareVersion;
    } else {
        // Without a device: "0.00d0" and "0.0  (2)".
        FormatVersionText(&driver);
        firmware.letter = '2';
        FormatShortText(&firmware);
    }
    CAboutDlg about(instance_, icon_, driver.text, firmware.shortText, kSupportAddress);
    about.DoModal(instance_, Handle());
}

void CZELPanelDlg::ApplyConfigToPages(const PanelConfig& config) {
    pages_.ApplyConfig(config);
}

void CZELPanelDlg::ShowDigitalFormat(bool professional) {
    formatButtons_[1].SetOn(professional);
    formatButtons_[0].SetOn(!professional);
}

void CZELPanelDlg::ShowLevelMode(int pair, bool unbalanced) {
    if (pair < 0 || pair >= 4) return;
    levelButtons_[2 * pair].SetOn(!unbalanced);
    levelButtons_[2 * pair + 1].SetOn(unbalanced);
}

void CZELPanelDlg::ShowLevelAndFormatButtons(bool visible) {
    const int command = visible ? SW_SHOW : SW_HIDE;
    for (CZELBitmapButton& button : levelButtons_)
        if (button.Handle() != nullptr) ShowWindow(button.Handle(), command);
    for (CZELBitmapButton& button : formatButtons_)
        if (button.Handle() != nullptr) ShowWindow(button.Handle(), command);
}

void CZELPanelDlg::SetRateLabel(const wchar_t* text) {
    if (rateLabel_.Handle() != nullptr) rateLabel_.SetText(text);
}

void CZELPanelDlg::SetMenuCheck(unsigned command, bool checked) {
    if (HMENU menu = GetMenu(Handle()); menu != nullptr)
        CheckMenuItem(menu, command, MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

void CZELPanelDlg::ShowError(const wchar_t* text) {
    ShowPanelMessage(Handle(), text, kCaption, MB_OK | MB_ICONERROR);
}

void CZELPanelDlg::SaveSettings() {
    saveSettings(profile_, current_, copy_);
}

void CZELPanelDlg::HideRoutingViews() {
    if (flexPath_ != nullptr) ShowWindow(flexPath_, SW_HIDE);
    if (outputRouting_ != nullptr) ShowWindow(outputRouting_, SW_HIDE);
}

void CZELPanelDlg::Wait(unsigned milliseconds) {
    Sleep(milliseconds);
}

void CZELPanelDlg::SetTitle(const wchar_t* text) {
    SetWindowTextW(Handle(), text);
}

void CZELPanelDlg::PagesShowAll(int flag) {
    pages_.ShowAll(flag);
}

void CZELPanelDlg::PagesSetDevice(USBDevice* device) {
    pages_.SetDevice(device);
}

void CZELPanelDlg::StartTimers() {
    SetTimer(Handle(), kMeterTimer, kMeterPeriodMs, nullptr);
    SetTimer(Handle(), kRefreshTimer, kRefreshPeriodMs, nullptr);
}

void CZELPanelDlg::StopMeterTimer() {
    KillTimer(Handle(), kMeterTimer);
}

void CZELPanelDlg::ReAddTrayIcon() {
    tray_.AddAgain();
}

void CZELPanelDlg::applyOutputLevels(PanelConfig config, int delayMs) {
    applier_.applyOutputLevels(config, static_cast<unsigned>(delayMs < 0 ? 0 : delayMs));
}

void CZELPanelDlg::applyDigitalSettings(PanelConfig config) {
    applier_.applyDigitalSettings(config);
}

}  // namespace q407::panel
