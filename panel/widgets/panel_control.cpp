#include "panel/widgets/panel_control.h"

#include "panel/widgets/bitmap_cache.h"
#include "panel/widgets/mixer_page_layout.h"
#include "panel/widgets/paint_buffer.h"

namespace q407::panel {
namespace {

constexpr int kDialogColumns = 85;  // the right of the background belongs to the dialog
constexpr COLORREF kLabelText = RGB(150, 151, 152);
constexpr COLORREF kLabelBack = RGB(22, 24, 26);
constexpr COLORREF kCtlText = RGB(47, 47, 47);
constexpr COLORREF kPageBrush = RGB(235, 235, 235);
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON;

void Place(CZELBitmapButton& button, HWND page, int id, const PageRect& r, const wchar_t* text,
           HINSTANCE instance, const wchar_t* normal, const wchar_t* selected,
           const wchar_t* disabled) {
    if (!button.Create(page, id, text, kButtonStyle, r.left, r.top, r.width, r.height, instance))
        return;
    button.LoadBitmaps(instance, normal, selected, nullptr, disabled);
}

void DbText(int position, wchar_t (&text)[16]) {
    char narrow[16];
    FaderDbText(position, narrow, sizeof narrow);
    int i = 0;
    for (; narrow[i] != 0 && i < 15; ++i) text[i] = static_cast<wchar_t>(narrow[i]);
    text[i] = 0;
}

}  // namespace

MeterHistory CPanelControl::history_;

CPanelControl::CPanelControl(PanelOwner* owner) : Dialog(kPageTemplateId), model_(owner) {}

CPanelControl::~CPanelControl() {
    if (Handle() != nullptr) Destroy();
    if (font_ != nullptr) DeleteObject(font_);
    if (brush_ != nullptr) DeleteObject(brush_);
}

bool CPanelControl::Create(HINSTANCE instance, HWND parentDialog) {
    instance_ = instance;
    background_ = GetCachedBitmap(instance, L"BAK_PAGE_CONTROL");
    if (!CreateModeless(instance, parentDialog)) return false;
    const SIZE size = BitmapSize(background_);
    SetWindowPos(Handle(), nullptr, 0, 0, size.cx - kDialogColumns, size.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    return true;
}

bool CPanelControl::OnInitDialog() {
    CreateControls();
    return true;
}

void CPanelControl::CreateControls() {
    HWND page = Handle();
    for (int k = 0; k < kPanelOutputs; ++k) {
        Place(mute_[k], page, kMuteFirstId + k, OutputRect(kMuteColumns, k), L"control button",
              instance_, kMutePictures[k % 2][0], kMutePictures[k % 2][1], nullptr);
    }
    for (int p = 0; p < kPanelOutputPairs; ++p) {
        Place(link_[p], page, kLinkFirstId + p, LinkRect(p), L"control button", instance_,
              L"BTN_LINK_OFF", L"BTN_LINK_ON", nullptr);
    }
    font_ = CreateFontW(10, 8, 0, 0, 300, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                        CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"System");
    brush_ = CreateSolidBrush(kPageBrush);
    for (int b = 0; b < 4; ++b) {
        const SourceButton& s = kSourceButtons[b];
        Place(source_[b], page, s.id, s.rect, L"", instance_, s.normal, s.selected, s.disabled);
    }
    source_[0].SetOn(true);  // analog and INTERNAL selected at start
    source_[2].SetOn(true);
    for (int i = 0; i < kMeterInputs; ++i) {
        const PageRect r = InputMeterRect(i);
        inputBar_[i].Create(page, r.left, r.top, kInputMeterId, instance_, L"PEAK_BACK",
                            L"PEAK_FORE");
        inputHold_[i].Create(page, r.left, r.top, kInputMeterId, instance_, L"PEAK_BACK",
                             L"PEAK_FORE");
        inputHold_[i].PairBar(&inputBar_[i]);
    }
    for (int k = 0; k < kMeterOutputs; ++k) {
        const PageRect r = OutputRect(kOutputMeterColumns, k);
        outputBar_[k].Create(page, r.left, r.top, kOutputMeterId, instance_, L"PEAK_BACK",
                             L"PEAK_FORE");
        outputHold_[k].Create(page, r.left, r.top, kOutputMeterId, instance_, L"PEAK_BACK",
                              L"PEAK_FORE");
        outputHold_[k].PairBar(&outputBar_[k]);
    }
    for (int k = 0; k < kPanelOutputs; ++k) {
        const PageRect r = OutputRect(kFaderColumns, k);
        fader_[k].Create(page, r.left, r.top, kFaderFirstId + k, instance_, L"FADER_BACK",
                         L"FADER_KNOB_OFF", L"FADER_KNOB_ON");
    }
    for (int k = 0; k < kPanelOutputs; ++k) {
        const PageRect r = OutputRect(kDbLabelColumns, k);
        const RECT rect{r.left, r.top, r.left + r.width, r.top + r.height};
        label_[k].Create(page, rect, kDbLabelFirstId + k, kLabelText, kLabelBack, L"0.0dB");
        label_[k].SetMode(CZELStatic::kCentred);
    }
    history_.Clear();
    // They appear with Show.
    for (CFaderCtl& f : fader_) f.Show(SW_HIDE);
    for (CZELBitmapButton& b : link_) b.Show(SW_HIDE);
    for (CZELBitmapButton& b : mute_) b.Show(SW_HIDE);
    for (CZELBitmapButton& b : source_) b.Show(SW_HIDE);
}

void CPanelControl::Show(int flag) {
    const int command = flag != 0 ? SW_SHOW : SW_HIDE;
    Window::Show(command);
    for (CFaderCtl& f : fader_) f.Show(command);
    for (CZELBitmapButton& b : link_) b.Show(command);
    for (CZELBitmapButton& b : mute_) b.Show(command);
    for (CZELBitmapButton& b : source_) b.Show(command);
}

void CPanelControl::UpdateMeters(const uint8_t* peaks24) {
    MeterUpdate updates[kMeterInputs + kMeterOutputs];
    UpdateMeterLevels(peaks24, history_, updates);
    for (int i = 0; i < kMeterInputs; ++i) {
        inputHold_[i].SetHold(updates[i].hold);
        inputBar_[i].SetLevel(updates[i].bar);
    }
    for (int k = 0; k < kMeterOutputs; ++k) {
        outputHold_[k].SetHold(updates[kMeterInputs + k].hold);
        outputBar_[k].SetLevel(updates[kMeterInputs + k].bar);
    }
}

void CPanelControl::ShowOutput(int k) {
    fader_[k].SetPosition(model_.FaderPosition(k));
    wchar_t text[16];
    DbText(model_.FaderPosition(k), text);
    label_[k].SetText(text);
}

void CPanelControl::ShowButtons() {
    const MixerButtons& b = model_.Buttons();
    for (int k = 0; k < kPanelOutputs; ++k) {
        if (mute_[k].On() != b.muteOn[k]) mute_[k].SetOn(b.muteOn[k]);
    }
    for (int p = 0; p < kPanelOutputPairs; ++p) {
        if (link_[p].On() != b.linkOn[p]) link_[p].SetOn(b.linkOn[p]);
    }
    const bool on[4] = {b.analogOn, b.digitalOn, b.internalOn, b.autoOn};
    for (int i = 0; i < 4; ++i) {
        if (source_[i].On() != on[i]) source_[i].SetOn(on[i]);
    }
    if (source_[1].Disabled() != b.digitalDisabled) source_[1].SetDisabled(b.digitalDisabled);
}

void CPanelControl::ApplyConfig(PanelConfig config) {
    model_.ApplyConfig(config);
    ShowButtons();
    for (int k = 0; k < kPanelOutputs; ++k) ShowOutput(k);
}

void CPanelControl::Release() {
    history_.Clear();
    if (Handle() != nullptr) Destroy();
    delete this;
}

void CPanelControl::FaderScrolled(LPARAM lParam) {
    for (int k = 0; k < kPanelOutputs; ++k) {
        if (fader_[k].Handle() == nullptr || HandleLowWord(fader_[k].Handle()) != lParam) continue;
        const int partner = model_.FaderMoved(k, fader_[k].Position());
        ShowOutput(k);
        if (partner >= 0) ShowOutput(partner);
        return;
    }
}

bool CPanelControl::OnCommand(WORD id, WORD code, HWND control) {
    if (code != BN_CLICKED) return Dialog::OnCommand(id, code, control);
    if (id >= kMuteFirstId && id < kMuteFirstId + kPanelOutputs) {
        model_.MuteClicked(id - kMuteFirstId);
    } else if (id >= kLinkFirstId && id < kLinkFirstId + kPanelOutputPairs) {
        model_.LinkClicked(id - kLinkFirstId);
    } else if (id == kAnalogId || id == kDigitalId) {
        model_.InputSourceClicked(id == kDigitalId);
    } else if (id == kInternalClockId || id == kAutoClockId) {
        model_.ClockSourceClicked(id == kAutoClockId);
    } else {
        return Dialog::OnCommand(id, code, control);
    }
    ShowButtons();
    return true;
}

void CPanelControl::Paint() {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(Handle(), &paint);
    const SIZE size = BitmapSize(background_);
    DrawBitmap(dc, background_, 0, 0, size.cx, size.cy);
    EndPaint(Handle(), &paint);
}

bool CPanelControl::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    switch (message) {
        case WM_VSCROLL:
            if (LOWORD(wParam) == SB_THUMBPOSITION) FaderScrolled(lParam);
            *result = 0;
            return true;
        case WM_PAINT:
            Paint();
            *result = 0;
            return true;
        case WM_ERASEBKGND:
            *result = 1;
            return true;
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN: {
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
            if (id < kCtlColorFirstId || id > kCtlColorLastId) break;
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, kCtlText);
            SetBkMode(dc, TRANSPARENT);
            *result = reinterpret_cast<LRESULT>(brush_);
            return true;
        }
        default:
            break;
    }
    return Dialog::HandleMessage(message, wParam, lParam, result);
}

}  // namespace q407::panel
