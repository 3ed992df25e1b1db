// A small winelib program that hosts the mixer page in a window, as the main dialog does, with
// an owner that reports every change passed to it, so that tests can drive the page with the
// mouse. Line protocol:
//   out: "ready page X Y W H" (the page's client area on the screen);
//        "levels DELAY RECORD" and "digital RECORD" for each owner call, RECORD being
//        "V0..V7 M0..M7 L0..L3 SOURCE CLOCK";
//        for "dump": "faders P0..P7", "labels T0..T7", "buttons" with the on flag of mute 1..8,
//        link 1..4, analog, S/PDIF, INTERNAL, AUTO and S/PDIF's disabled flag, "visible" with
//        the page, fader 1, mute 1, link 1 and AUTO, "hold H0..H23", "bar B0..B23", "end".
//   in:  "meters B0..B23", "apply RECORD", "show FLAG", "wheel K DELTA" (a wheel turn over
//        fader K), "dump", "quit".
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "panel/widgets/mixer_page_layout.h"
#include "panel/widgets/panel_control.h"
#include "panel/widgets/panel_message.h"

using q407::panel::CPanelControl;
using q407::panel::PanelConfig;

namespace {

constexpr UINT kLineMessage = WM_APP + 1;

CPanelControl* g_page = nullptr;

void Say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Record(const PanelConfig& c) {
    std::string text;
    for (uint8_t v : c.volume) text += std::to_string(v) + " ";
    for (uint8_t m : c.mute) text += std::to_string(m) + " ";
    for (uint8_t l : c.pairLink) text += std::to_string(l) + " ";
    return text + std::to_string(c.spdifInput) + " " + std::to_string(c.autoClock);
}

class ReportingOwner : public q407::panel::PanelOwner {
  public:
    void applyOutputLevels(PanelConfig config, int delayMs) override {
        Say("levels " + std::to_string(delayMs) + " " + Record(config));
    }
    void applyDigitalSettings(PanelConfig config) override { Say("digital " + Record(config)); }
};

ReportingOwner g_owner;

int Flag(HWND page, int id, bool disabled = false) {
    auto* button = dynamic_cast<q407::panel::CZELBitmapButton*>(
        q407::framework::Window::FromHandle(GetDlgItem(page, id)));
    if (button == nullptr) return -1;
    return (disabled ? button->Disabled() : button->On()) ? 1 : 0;
}

int Visible(HWND window) {
    return window != nullptr && (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0 ? 1 : 0;
}

// Meters share identifiers: found by class and position among the page's children.
struct MeterScan {
    std::string hold;
    std::string bar;
};
BOOL CALLBACK ScanMeter(HWND child, LPARAM data) {
    auto* scan = reinterpret_cast<MeterScan*>(data);
    auto* window = q407::framework::Window::FromHandle(child);
    if (auto* marker = dynamic_cast<q407::panel::CPeakMaxCtl*>(window)) {
        scan->hold += " " + std::to_string(marker->Marker().hold);
    } else if (auto* bar = dynamic_cast<q407::panel::CPeakCtl*>(window)) {
        scan->bar += " " + std::to_string(bar->Level());
    }
    return TRUE;
}

void Dump() {
    HWND page = g_page->Handle();
    UpdateWindow(page);
    std::string faders = "faders", labels = "labels";
    for (int k = 0; k < 8; ++k) {
        auto* fader = dynamic_cast<q407::panel::CFaderCtl*>(
            q407::framework::Window::FromHandle(GetDlgItem(page, q407::panel::kFaderFirstId + k)));
        faders += " " + std::to_string(fader != nullptr ? fader->Position() : -1);
        auto* label = dynamic_cast<q407::panel::CZELStatic*>(q407::framework::Window::FromHandle(
            GetDlgItem(page, q407::panel::kDbLabelFirstId + k)));
        char text[32] = "-";
        if (label != nullptr) {
            WideCharToMultiByte(CP_UTF8, 0, label->Text(), -1, text, sizeof text - 1, nullptr,
                                nullptr);
        }
        labels += std::string(" ") + text;
    }
    Say(faders);
    Say(labels);
    std::string buttons = "buttons";
    for (int k = 0; k < 8; ++k) buttons += " " + std::to_string(Flag(page, 12304 + k));
    for (int p = 0; p < 4; ++p) buttons += " " + std::to_string(Flag(page, 12320 + p));
    for (int id : {12336, 12337, 16400, 16401}) buttons += " " + std::to_string(Flag(page, id));
    buttons += " " + std::to_string(Flag(page, 12337, true));
    Say(buttons);
    Say("visible " + std::to_string(Visible(page)) + " " +
        std::to_string(Visible(GetDlgItem(page, 12384))) + " " +
        std::to_string(Visible(GetDlgItem(page, 12304))) + " " +
        std::to_string(Visible(GetDlgItem(page, 12320))) + " " +
        std::to_string(Visible(GetDlgItem(page, 16401))));
    MeterScan scan;
    EnumChildWindows(page, ScanMeter, reinterpret_cast<LPARAM>(&scan));
    Say("hold" + scan.hold);
    Say("bar" + scan.bar);
    Say("end");
}

void Command(HWND host, const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    if (verb == "meters") {
        uint8_t peaks[24] = {};
        for (uint8_t& p : peaks) {
            int value = 0;
            words >> value;
            p = static_cast<uint8_t>(value);
        }
        g_page->UpdateMeters(peaks);
        Say("metered");
    } else if (verb == "apply") {
        PanelConfig config;
        std::memset(&config, 0, sizeof config);
        int value = 0;
        for (uint8_t& v : config.volume) v = static_cast<uint8_t>((words >> value, value));
        for (uint8_t& m : config.mute) m = static_cast<uint8_t>((words >> value, value));
        for (uint8_t& l : config.pairLink) l = static_cast<uint8_t>((words >> value, value));
        words >> config.spdifInput >> config.autoClock;
        g_page->ApplyConfig(config);
        Say("applied");
    } else if (verb == "show") {
        int flag = 0;
        words >> flag;
        g_page->Show(flag);
        Say("shown");
    } else if (verb == "dump") {
        Dump();
    } else if (verb == "wheel") {
        int k = 0, delta = 0;
        words >> k >> delta;
        HWND fader = GetDlgItem(g_page->Handle(), q407::panel::kFaderFirstId + k);
        // A drag just made may still have mouse input on its way: let it land first, or its
        // last moves would undo the wheel's step.
        for (int i = 0; i < 200; ++i) {
            MSG pending;
            while (PeekMessageW(&pending, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE) != 0)
                DispatchMessageW(&pending);
            if (GetCapture() == nullptr) break;
            Sleep(10);
        }
        SendMessageW(fader, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(delta)), 0);
        Say("wheeled");
    } else if (verb == "quit") {
        DestroyWindow(host);
    }
}

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    try {
        switch (message) {
            case kLineMessage: {
                auto* line = reinterpret_cast<std::string*>(lParam);
                if (g_page != nullptr) Command(window, *line);
                delete line;
                return 0;
            }
            case WM_DESTROY:
                PostQuitMessage(0);
                return 0;
            default:
                return DefWindowProcW(window, message, wParam, lParam);
        }
    } catch (...) {
        return 0;
    }
}

DWORD WINAPI ReadLines(void* host) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        PostMessageW(static_cast<HWND>(host), kLineMessage, 0,
                     reinterpret_cast<LPARAM>(new std::string(line)));
    }
    PostMessageW(static_cast<HWND>(host), kLineMessage, 0,
                 reinterpret_cast<LPARAM>(new std::string("quit")));
    return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    SetPanelMessageHook([](HWND, const wchar_t*, const wchar_t*, UINT) { return IDOK; });
    WNDCLASSW hostClass{};
    hostClass.lpfnWndProc = HostProc;
    hostClass.hInstance = instance;
    hostClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    hostClass.lpszClassName = L"MixerPageHost";
    RegisterClassW(&hostClass);
    RECT frame{0, 0, 742, 263};
    AdjustWindowRect(&frame, WS_OVERLAPPED | WS_CAPTION, FALSE);
    HWND host = CreateWindowExW(
        0, L"MixerPageHost", L"mixer page", WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN, 20, 20,
        frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    g_page = new CPanelControl(&g_owner);
    if (host == nullptr || !g_page->Create(instance, host)) {
        Say("failed to create the page");
        return 1;
    }
    ShowWindow(host, SW_SHOW);
    UpdateWindow(host);
    RECT client{};
    GetClientRect(g_page->Handle(), &client);
    POINT origin{0, 0};
    ClientToScreen(g_page->Handle(), &origin);
    Say("ready page " + std::to_string(origin.x) + " " + std::to_string(origin.y) + " " +
        std::to_string(client.right) + " " + std::to_string(client.bottom));

    HANDLE reader = CreateThread(nullptr, 0, ReadLines, host, 0, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (reader != nullptr) CloseHandle(reader);
    if (g_page != nullptr) g_page->Release();
    return 0;
}
