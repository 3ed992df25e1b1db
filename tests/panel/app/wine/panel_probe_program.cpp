// Looks at and drives a running control panel from outside, as the shell and a person would: finds
// its dialog, reads titles, menus and window state, sends the notification-area messages and
// commands. Commands on standard input, one answer line each on standard output.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

std::string Utf8(const WCHAR* text) {
    char out[512];
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return n > 0 ? std::string(out) : std::string();
}

std::string TitleOf(HWND window) {
    WCHAR text[256] = {};
    GetWindowTextW(window, text, 256);
    return Utf8(text);
}

struct Search {
    const char* prefix;
    HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    WCHAR className[64] = {};
    GetClassNameW(window, className, 64);
    if (lstrcmpW(className, L"#32770") != 0) return TRUE;
    if (TitleOf(window).rfind(search->prefix, 0) != 0) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindByTitle(const char* prefix) {
    Search search{prefix, nullptr};
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND Panel() {
    return FindByTitle("ZEL");
}

void Answer(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string Describe(HWND window) {
    if (window == nullptr) return "none";
    RECT rect{};
    GetWindowRect(window, &rect);
    const LONG exStyle = GetWindowLongW(window, GWL_EXSTYLE);
    char text[128];
    std::snprintf(text, sizeof text, "visible %d topmost %d rect %ld %ld %ld %ld",
                  IsWindowVisible(window) ? 1 : 0, (exStyle & WS_EX_TOPMOST) != 0 ? 1 : 0,
                  static_cast<long>(rect.left), static_cast<long>(rect.top),
                  static_cast<long>(rect.right - rect.left),
                  static_cast<long>(rect.bottom - rect.top));
    return text;
}

// Polls for up to 20 s until check holds.
template <typename Check>
bool Within(Check check) {
    for (int i = 0; i < 200; ++i) {
        if (check()) return true;
        Sleep(100);
    }
    return false;
}

// The panel's saved settings record (the registry value its profile keeps).
constexpr WCHAR kProfileKey[] = L"Software\\ZEL\\Q407Pan\\Q407LXPan";
constexpr WCHAR kConfigValue[] = L"Q407LXConfig";

struct MenuCount {
    DWORD process;
    int count;
};

BOOL CALLBACK CountMenu(HWND window, LPARAM context) {
    auto* menus = reinterpret_cast<MenuCount*>(context);
    WCHAR className[16] = {};
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == menus->process && IsWindowVisible(window) &&
        GetClassNameW(window, className, 16) > 0 && lstrcmpW(className, L"#32768") == 0)
        ++menus->count;
    return TRUE;
}

// The popup menus of owner's process on screen.
int OpenMenus(HWND owner) {
    MenuCount menus{0, 0};
    if (owner == nullptr || GetWindowThreadProcessId(owner, &menus.process) == 0) return -1;
    EnumWindows(CountMenu, reinterpret_cast<LPARAM>(&menus));
    return menus.count;
}

// The device-related commands; false when command is none of them.
bool RunDeviceCommand(const std::string& command, const char* rest) {
    if (command == "profile-clear") {
        HKEY key = nullptr;
        LONG status = RegOpenKeyExW(HKEY_CURRENT_USER, kProfileKey, 0, KEY_SET_VALUE, &key);
        if (status == ERROR_SUCCESS) {
            status = RegDeleteValueW(key, kConfigValue);
            RegCloseKey(key);
        }
        Answer(std::string("profile-clear ") + (status == ERROR_SUCCESS ? "1" : "0"));
    } else if (command == "profile") {
        // "profile SIZE rate RATE", or "profile none" without the value.
        BYTE data[512] = {};
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegGetValueW(HKEY_CURRENT_USER, kProfileKey, kConfigValue, RRF_RT_REG_BINARY, &type,
                         data, &size) != ERROR_SUCCESS) {
            Answer("profile none");
            return true;
        }
        int32_t rate = 0;
        if (size >= 32) std::memcpy(&rate, data + 28, sizeof rate);
        Answer("profile " + std::to_string(size) + " rate " + std::to_string(rate));
    } else if (command == "timer") {
        // "timer ID": the panel's timer ID comes due now.
        const BOOL posted = PostMessageW(Panel(), WM_TIMER, std::strtoul(rest, nullptr, 10), 0);
        Answer(std::string("timer ") + (posted ? "1" : "0"));
    } else if (command == "menu-keys") {
        // "menu-keys C VK...": the menu bar's item with mnemonic C opened from the keyboard, then
        // the virtual keys pressed one after another, as a person walks through the menus. Each
        // key waits for the menus the one before opened or closed: the menu loop posts its own
        // key to open the first menu, and ours must come after it.
        HWND panel = Panel();
        // A busy machine can drop a step of the walk; the menus are then closed and the walk
        // made again from the start.
        bool sent = false;
        for (int attempt = 0; attempt < 2 && !sent && panel != nullptr; ++attempt) {
            std::istringstream keys(rest);
            std::string mnemonic;
            keys >> mnemonic;
            sent = !mnemonic.empty() &&
                   PostMessageW(panel, WM_SYSCOMMAND, SC_KEYMENU, mnemonic[0]) != 0;
            int open = 1;
            sent = sent && Within([&] { return OpenMenus(panel) == open; });
            for (unsigned key = 0; sent && keys >> key;) {
                sent = PostMessageW(panel, WM_KEYDOWN, key, 1) != 0 &&
                       PostMessageW(panel, WM_KEYUP, key, 0xC0000001) != 0;
                if (key == VK_RIGHT) ++open;
                if (key == VK_LEFT || key == VK_ESCAPE) --open;
                sent = sent && Within([&] { return OpenMenus(panel) == (open < 0 ? 0 : open); });
            }
            for (int i = 0; i < 4 && !sent && OpenMenus(panel) > 0; ++i) {
                PostMessageW(panel, WM_KEYDOWN, VK_ESCAPE, 1);
                PostMessageW(panel, WM_KEYUP, VK_ESCAPE, 0xC0000001);
                Sleep(300);
            }
        }
        Answer(std::string("menu-keys ") + (sent ? "1" : "0"));
    } else {
        return false;
    }
    return true;
}

// A message box of the panel: a dialog titled with the panel's caption alone; a hidden one too
// when `shown` is false (a box being destroyed is hidden first).
HWND MessageBoxWindow(bool shown = true) {
    const char* const caption = "ZEL Q407 LX Control Panel";
    HWND found = nullptr;
    for (HWND window = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, L"#32770", nullptr)) {
        if ((!shown || IsWindowVisible(window)) && TitleOf(window) == caption) found = window;
    }
    return found;
}

struct StaticTexts {
    std::string text;
};

BOOL CALLBACK CollectStatic(HWND child, LPARAM context) {
    WCHAR className[64] = {};
    GetClassNameW(child, className, 64);
    if (lstrcmpiW(className, L"Static") != 0) return TRUE;
    std::string text = TitleOf(child);
    if (text.empty()) return TRUE;
    for (char& c : text)
        if (c == '\n') c = '|';
    auto* texts = reinterpret_cast<StaticTexts*>(context);
    texts->text += text;
    return TRUE;
}

// The controls and boxes a person sees and clicks, with their screen places; true when the
// command was one of them.
bool RunOnScreen(const std::string& command, const char* rest) {
    if (command == "client") {
        // Where the panel's client area starts on the screen.
        HWND panel = Panel();
        POINT origin{0, 0};
        if (panel == nullptr || !ClientToScreen(panel, &origin)) {
            Answer("client none");
        } else {
            Answer("client " + std::to_string(origin.x) + " " + std::to_string(origin.y));
        }
        return true;
    }
    if (command == "message") {
        // "message X Y TEXT": the centre of its first button on the screen and its text with
        // line ends as '|'.
        HWND box = nullptr;
        Within([&] { return (box = MessageBoxWindow()) != nullptr; });
        if (box == nullptr) {
            Answer("message none");
            return true;
        }
        StaticTexts texts;
        EnumChildWindows(box, CollectStatic, reinterpret_cast<LPARAM>(&texts));
        RECT button{};
        HWND ok = GetDlgItem(box, IDOK);
        if (ok != nullptr) GetWindowRect(ok, &button);
        Answer("message " + std::to_string((button.left + button.right) / 2) + " " +
               std::to_string((button.top + button.bottom) / 2) + " " + texts.text);
        return true;
    }
    if (command == "message-gone") {
        const bool gone = Within([] { return MessageBoxWindow(false) == nullptr; });
        Answer(std::string("message-gone ") + (gone ? "1" : "0"));
        return true;
    }
    if (command == "child-at") {
        // The identifier of the shown child that a click at a client point of the panel reaches.
        int x = 0;
        int y = 0;
        std::sscanf(rest, "%d %d", &x, &y);
        const POINT point{x, y};
        HWND panel = Panel();
        HWND child =
            panel != nullptr ? ChildWindowFromPointEx(panel, point, CWP_SKIPINVISIBLE) : nullptr;
        Answer("child-at " + (child == nullptr || child == panel
                                  ? std::string("none")
                                  : std::to_string(GetDlgCtrlID(child))));
        return true;
    }
    if (command == "page") {
        // Whether the mixer page (the panel's child dialog) is shown, and its client size.
        HWND panel = Panel();
        HWND page = panel != nullptr ? FindWindowExW(panel, nullptr, L"#32770", nullptr) : nullptr;
        RECT rect{};
        if (page != nullptr) GetClientRect(page, &rect);
        Answer(page == nullptr
                   ? std::string("page none")
                   : "page visible " + std::to_string(IsWindowVisible(page) ? 1 : 0) + " size " +
                         std::to_string(rect.right) + " " + std::to_string(rect.bottom));
        return true;
    }
    return false;
}

void Run(const std::string& line) {
    char word[32] = {};
    char rest[256] = {};
    std::sscanf(line.c_str(), "%31s %255[^\n]", word, rest);
    const std::string command = word;
    if (command == "find") {
        HWND panel = Panel();
        Answer("panel " + Describe(panel) + (panel ? " title " + TitleOf(panel) : ""));
    } else if (command == "wait-title") {
        // The title ending with rest.
        const std::string suffix = rest;
        std::string title;
        Within([&] {
            HWND panel = Panel();
            title = panel ? TitleOf(panel) : "";
            return title.size() >= suffix.size() &&
                   title.compare(title.size() - suffix.size(), suffix.size(), suffix) == 0;
        });
        Answer("title " + title);
    } else if (command == "wait-visible") {
        const bool wanted = std::atoi(rest) != 0;
        Within([&] {
            HWND panel = Panel();
            return panel != nullptr && (IsWindowVisible(panel) != 0) == wanted;
        });
        Answer("panel " + Describe(Panel()));
    } else if (command == "tray") {
        // "tray ID MOUSE": the shell's notification for icon ID.
        unsigned id = 0;
        unsigned mouse = 0;
        std::sscanf(rest, "%u %u", &id, &mouse);
        const LRESULT result = SendMessageW(Panel(), 0x464, id, mouse);
        Answer("tray " + std::to_string(result));
    } else if (command == "command") {
        const BOOL posted = PostMessageW(Panel(), WM_COMMAND, std::strtoul(rest, nullptr, 10), 0);
        Answer(std::string("posted ") + (posted ? "1" : "0"));
    } else if (command == "close") {
        Answer(std::string("posted ") + (PostMessageW(Panel(), WM_CLOSE, 0, 0) ? "1" : "0"));
    } else if (command == "wait-topmost") {
        const bool wanted = std::atoi(rest) != 0;
        bool topmost = false;
        Within([&] {
            topmost = (GetWindowLongW(Panel(), GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
            return topmost == wanted;
        });
        Answer(std::string("topmost ") + (topmost ? "1" : "0"));
    } else if (command == "about") {
        HWND about = nullptr;
        Within([&] { return (about = FindByTitle("ZELPanel")) != nullptr; });
        if (about == nullptr) {
            Answer("about none");
            return;
        }
        POINT origin{0, 0};
        ClientToScreen(about, &origin);
        WCHAR driver[64] = {};
        WCHAR firmware[64] = {};
        GetDlgItemTextW(about, 1009, driver, 64);
        GetDlgItemTextW(about, 1008, firmware, 64);
        Answer("about " + std::to_string(origin.x) + " " + std::to_string(origin.y) + " driver " +
               Utf8(driver) + " firmware " + Utf8(firmware));
    } else if (command == "about-click") {
        // A left button press and release at a client point of the About box.
        int x = 0;
        int y = 0;
        std::sscanf(rest, "%d %d", &x, &y);
        HWND about = FindByTitle("ZELPanel");
        const LPARAM point = MAKELPARAM(x, y);
        // Both posted: a sent press would overtake the release of an earlier click still queued.
        const bool sent = about != nullptr &&
                          PostMessageW(about, WM_LBUTTONDOWN, MK_LBUTTON, point) != 0 &&
                          PostMessageW(about, WM_LBUTTONUP, 0, point) != 0;
        Answer(std::string("clicked ") + (sent ? "1" : "0"));
    } else if (command == "about-gone") {
        const bool gone = Within([] { return FindByTitle("ZELPanel") == nullptr; });
        Answer(std::string("about-gone ") + (gone ? "1" : "0"));
    } else if (command == "listener") {
        HWND listener = FindWindowW(L"DeviceListener", nullptr);
        if (listener != nullptr)
            SendMessageW(listener, WM_DEVICECHANGE, std::strtoul(rest, nullptr, 0), 0);
        Answer(std::string("listener ") + (listener ? "1" : "0"));
    } else if (RunDeviceCommand(command, rest) || RunOnScreen(command, rest)) {
    } else {
        Answer("unknown " + command);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    Answer("probe ready");
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line == "quit") break;
        Run(line);
    }
    return 0;
}
