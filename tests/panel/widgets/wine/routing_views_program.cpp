// A small winelib program that shows both routing views (with the argument "compact", the compact
// twin of the FlexPATH view instead of the full one) over one MixerSettings block, as the main
// dialog does, so that tests can drive them with the mouse. It speaks a line protocol:
//   out:  "ready flexpath X Y W H", "ready output X Y W H" (client areas in screen pixels),
//         "messagebox CAPTION", and for "dump": "route I F0..F6" (64 lines), "map E0..E7",
//         "notify FLEXPATH OUTPUT" (WM_COMMAND counts received by the owner), "visible LIST"
//         (which output rows show their buttons), "labels LIST" (the number labels' texts),
//         "checks MME WDM ASIO LINK", "menus FLEXPATH OUTPUT" (1 where the view has a menu bar),
//         "end"; and on each notification the owner receives,
//         "notice ID COUNT SENDER" (SENDER 1 when lParam is the low word of that view's handle).
//   in:   "dump", "answer ok" / "answer cancel" (the next confirmations), "reload E0..E7" (the
//         map changes under the output view, which is then hidden and shown again, as the dialog
//         does when it re-reads the map from the driver), "quit".
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "panel/widgets/control_classes.h"
#include "panel/widgets/flexpath_view.h"
#include "panel/widgets/output_routing_view.h"
#include "panel/widgets/panel_message.h"
#include "panel/widgets/small_text_control.h"
#include "shared/mixer_settings.h"

namespace {

constexpr UINT kLineMessage = WM_APP + 1;

q407::MixerSettings g_settings{};
HWND g_flexPath = nullptr;
HWND g_output = nullptr;
int g_flexPathNotices = 0;
int g_outputNotices = 0;
int g_answer = IDOK;

void Say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void AnnounceClient(const char* name, HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    char line[128];
    std::snprintf(line, sizeof line, "ready %s %ld %ld %ld %ld", name, static_cast<long>(origin.x),
                  static_cast<long>(origin.y), static_cast<long>(client.right),
                  static_cast<long>(client.bottom));
    Say(line);
}

int Answer(HWND, const wchar_t*, const wchar_t* caption, UINT) {
    char narrow[128] = {};
    WideCharToMultiByte(CP_UTF8, 0, caption, -1, narrow, sizeof narrow - 1, nullptr, nullptr);
    Say(std::string("messagebox ") + narrow);
    return g_answer;
}

int Checked(HWND parent, int id) {
    HWND child = GetDlgItem(parent, id);
    return child != nullptr ? static_cast<int>(SendMessageW(child, BM_GETCHECK, 0, 0)) : -1;
}

void Dump() {
    // Pending paints first, so that a screenshot taken after "end" shows the state dumped.
    UpdateWindow(g_flexPath);
    UpdateWindow(g_output);
    char line[256];
    for (int i = 0; i < q407::kRouteRecordCount; ++i) {
        const q407::RouteRecord& r = g_settings.routeTable.records[i];
        std::snprintf(line, sizeof line, "route %d %d %d %d %d %d %d %d", i, r.routeOut, r.routeIn,
                      r.targetKind, r.targetSide, r.targetChannel, r.kindMute, r.inputSource);
        Say(line);
    }
    std::string map = "map";
    for (int32_t e : g_settings.outputMap.entries) {
        map += " " + std::to_string(e);
    }
    Say(map);
    Say("notify " + std::to_string(g_flexPathNotices) + " " + std::to_string(g_outputNotices));
    std::string visible = "visible";
    for (int row = 0; row < 8; ++row) {
        HWND plus = GetDlgItem(g_output, q407::panel::kOutputPlusFirst + row);
        HWND minus = GetDlgItem(g_output, q407::panel::kOutputMinusFirst + row);
        visible += (IsWindowVisible(plus) && IsWindowVisible(minus)) ? " 1" : " 0";
    }
    Say(visible);
    std::string labels = "labels";
    for (int row = 0; row < 8; ++row) {
        const SmallTextRecord* label =
            SmallTextRecordOf(GetDlgItem(g_output, q407::panel::kOutputLabelFirst + row));
        char text[64] = {};
        if (label != nullptr) {
            WideCharToMultiByte(CP_UTF8, 0, label->text, -1, text, sizeof text - 1, nullptr,
                                nullptr);
        }
        labels += std::string(" ") + (text[0] != 0 ? text : "-");
    }
    Say(labels);
    std::snprintf(line, sizeof line, "checks %d %d %d %d", Checked(g_flexPath, 6272),
                  Checked(g_flexPath, 6273), Checked(g_flexPath, 6274),
                  Checked(g_output, q407::panel::kOutputLinkButton));
    Say(line);
    std::snprintf(line, sizeof line, "menus %d %d", GetMenu(g_flexPath) != nullptr ? 1 : 0,
                  GetMenu(g_output) != nullptr ? 1 : 0);
    Say(line);
    Say("end");
}

void Command(HWND owner, const std::string& line) {
    if (line == "dump") {
        Dump();
    } else if (line == "answer ok") {
        g_answer = IDOK;
    } else if (line == "answer cancel") {
        g_answer = IDCANCEL;
    } else if (line.rfind("reload ", 0) == 0) {
        int e[8] = {};
        if (std::sscanf(line.c_str() + 7, "%d %d %d %d %d %d %d %d", &e[0], &e[1], &e[2], &e[3],
                        &e[4], &e[5], &e[6], &e[7]) == 8) {
            std::memcpy(g_settings.outputMap.entries, e, sizeof e);
            ShowWindow(g_output, SW_HIDE);
            ShowWindow(g_output, SW_SHOW);
        }
        Say("reloaded");
    } else if (line == "quit") {
        DestroyWindow(owner);
    }
}

LRESULT CALLBACK OwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    try {
        switch (message) {
            case WM_COMMAND:
                if (HIWORD(wParam) == 0 &&
                    (LOWORD(wParam) == q407::panel::kFlexPathNotifyId ||
                     LOWORD(wParam) == q407::panel::kOutputRoutingNotifyId)) {
                    const bool flexPath = LOWORD(wParam) == q407::panel::kFlexPathNotifyId;
                    const int count = flexPath ? ++g_flexPathNotices : ++g_outputNotices;
                    HWND view = flexPath ? g_flexPath : g_output;
                    const bool sender =
                        static_cast<UINT_PTR>(lParam) == LOWORD(reinterpret_cast<UINT_PTR>(view));
                    Say("notice " + std::to_string(LOWORD(wParam)) + " " + std::to_string(count) +
                        " " + (sender ? "1" : "0"));
                }
                return 0;
            case kLineMessage: {
                auto* line = reinterpret_cast<std::string*>(lParam);
                Command(window, *line);
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

// A thread Wine knows (CreateThread), so that it may post to the window.
DWORD WINAPI ReadLines(void* owner) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        PostMessageW(static_cast<HWND>(owner), kLineMessage, 0,
                     reinterpret_cast<LPARAM>(new std::string(line)));
    }
    PostMessageW(static_cast<HWND>(owner), kLineMessage, 0,
                 reinterpret_cast<LPARAM>(new std::string("quit")));
    return 0;
}

}  // namespace

bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
    if (text == nullptr) {
        return false;
    }
    for (; *prefix != 0; ++text, ++prefix) {
        if (*text != *prefix) {
            return false;
        }
    }
    return true;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
    const bool compact = StartsWith(commandLine, L"compact");
    RegisterControlClasses(instance);
    SetPanelMessageHook(Answer);

    WNDCLASSW ownerClass{};
    ownerClass.lpfnWndProc = OwnerProc;
    ownerClass.hInstance = instance;
    ownerClass.lpszClassName = L"RoutingViewsOwner";
    RegisterClassW(&ownerClass);
    HWND owner = CreateWindowExW(0, L"RoutingViewsOwner", L"owner", WS_OVERLAPPED, 0, 0, 10, 10,
                                 nullptr, nullptr, instance, nullptr);

    // Output 6 as found in storage with an entry out of range; output 2 plays channel 4.
    for (int i = 0; i < 8; ++i) {
        g_settings.outputMap.entries[i] = i;
    }
    g_settings.outputMap.entries[1] = 3;
    g_settings.outputMap.entries[5] = 11;

    q407::panel::FlexPathCreateParams flexPath;
    flexPath.module = instance;
    flexPath.owner = owner;
    flexPath.table = &g_settings.routeTable;
    g_flexPath = compact ? q407::panel::CreateFlexPathCompactView(flexPath)
                         : q407::panel::CreateFlexPathView(flexPath);

    q407::panel::OutputRoutingCreateParams output;
    output.module = instance;
    output.owner = owner;
    output.x = 400;  // beside the FlexPATH view rather than over it
    output.map = &g_settings.outputMap;
    g_output = q407::panel::CreateOutputRoutingView(output);
    if (g_flexPath == nullptr || g_output == nullptr) {
        Say("failed to create the views");
        return 1;
    }
    ShowWindow(g_flexPath, SW_SHOW);
    ShowWindow(g_output, SW_SHOW);
    UpdateWindow(g_flexPath);
    UpdateWindow(g_output);
    AnnounceClient("flexpath", g_flexPath);
    AnnounceClient("output", g_output);

    HANDLE reader = CreateThread(nullptr, 0, ReadLines, owner, 0, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (reader != nullptr) {
        CloseHandle(reader);
    }
    return 0;
}
