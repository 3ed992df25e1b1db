// A Win32 program over the framework classes, for the tests that run it under Wine:
//   profile write   writes two binary values into the program's profile, reads them back
//   profile read    reads them again (a later run of the program)
//   profile as N    the profile under another program name
//   dialog          a modal dialog from a template with a bitmap button and a child window of a
//                   registered class; commands on standard input: disable, enable, throw, quit
// Results are lines on standard output.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/framework/application.h"
#include "platform/framework/bitmap_button.h"
#include "platform/framework/dialog.h"

using q407::framework::Application;
using q407::framework::BitmapButton;
using q407::framework::Dialog;
using q407::framework::Window;

namespace {

const UINT kCommandMessage = WM_APP + 1;
const UINT kThrowMessage = WM_APP + 2;
const int kButtonId = 1001;
const int kChildId = 1002;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// ASCII of a wide text (std::wstring assumes 4-byte characters, which winelib code has not).
std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; *text != L'\0'; ++text) out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
    return out;
}

unsigned Sum(const std::vector<uint8_t>& bytes) {
    unsigned sum = 0;
    for (size_t i = 0; i < bytes.size(); ++i) sum = sum * 31u + bytes[i];
    return sum;
}

std::vector<uint8_t> Pattern(size_t size, unsigned seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * seed + 3) & 0xFF);
    return bytes;
}

void ReportValue(Application& app, const char* entry) {
    std::vector<uint8_t> value;
    if (app.ReadBinary("Q407LXPan", entry, value)) {
        Say("%s %zu %u", entry, value.size(), Sum(value));
    } else {
        Say("%s missing", entry);
    }
}

int RunProfile(int argc, wchar_t** argv) {
    Application app;
    app.SetRegistryKey(L"ZEL");
    const WCHAR* mode = argc > 2 ? argv[2] : L"";
    const bool as = lstrcmpW(mode, L"as") == 0;
    if (as && argc > 3) Say("renamed %d", app.SetProfileName(argv[3]) ? 1 : 0);
    // Names that would make another key are refused.
    Say("refused %d %d %d", app.SetProfileName(L"a\\b") ? 0 : 1, app.SetProfileName(L"") ? 0 : 1,
        app.SetRegistryKey(nullptr) ? 0 : 1);
    Say("name %s", Narrow(app.ProfileName()).c_str());
    WCHAR path[q407::framework::kProfileKeyChars];
    Say("path %s", app.ProfileKeyPath(path) ? Narrow(path).c_str() : "none");
    if (lstrcmpW(mode, L"write") == 0 || as) {
        const std::vector<uint8_t> config = Pattern(360, 7);
        const std::vector<uint8_t> mixer = Pattern(1868, 13);
        Say("wrote %d %d",
            app.WriteBinary("Q407LXPan", "Q407LXConfig", config.data(), config.size()) ? 1 : 0,
            app.WriteBinary("Q407LXPan", "Q407LXMixer", mixer.data(), mixer.size()) ? 1 : 0);
        Say("expect %u %u", Sum(config), Sum(mixer));
    }
    ReportValue(app, "Q407LXConfig");
    ReportValue(app, "Q407LXMixer");
    ReportValue(app, "NoSuchValue");
    // Without a company there is no profile: nothing is read or written.
    Application bare;
    const uint8_t byte = 1;
    std::vector<uint8_t> value;
    Say("bare %d %d", bare.WriteBinary("Q407LXPan", "Q407LXConfig", &byte, 1) ? 1 : 0,
        bare.ReadBinary("Q407LXPan", "Q407LXConfig", value) ? 1 : 0);
    return 0;
}

HBITMAP SolidPicture(HDC reference, int width, int height, COLORREF colour) {
    HDC dc = CreateCompatibleDC(reference);
    HBITMAP picture = CreateCompatibleBitmap(reference, width, height);
    HGDIOBJ old = SelectObject(dc, picture);
    RECT all = {0, 0, width, height};
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    SelectObject(dc, old);
    DeleteDC(dc);
    return picture;
}

// A child window of a registered class: paints itself grey, reports presses, and throws on
// request (the framework must keep that inside its window procedure).
class ProbeChild : public Window {
  protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override {
        switch (message) {
            case WM_LBUTTONDOWN:
                Say("child press %d %d", static_cast<short>(LOWORD(lParam)),
                    static_cast<short>(HIWORD(lParam)));
                *result = 0;
                return true;
            case kThrowMessage:
                throw std::runtime_error("from a handler");
            default:
                return Window::HandleMessage(message, wParam, lParam, result);
        }
    }
};

class ProbeDialog : public Dialog {
  public:
    ProbeDialog() : Dialog(102) {}

  protected:
    bool OnInitDialog() override {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        if (!button_.Create(Handle(), kButtonId, L"", WS_VISIBLE, 10, 10, 40, 20, instance))
            Say("error button");
        HDC screen = GetDC(Handle());
        button_.SetBitmaps(SolidPicture(screen, 40, 20, RGB(220, 0, 0)),
                           SolidPicture(screen, 40, 20, RGB(0, 200, 0)), nullptr,
                           SolidPicture(screen, 40, 20, RGB(0, 0, 210)));
        ReleaseDC(Handle(), screen);
        if (!Window::RegisterWindowClass(instance, L"Q407FrameworkProbeChild", CS_HREDRAW,
                                         static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH))) ||
            !child_.Create(0, L"Q407FrameworkProbeChild", L"", WS_CHILD | WS_VISIBLE, 80, 10, 50,
                           30, Handle(), kChildId, instance))
            Say("error child");
        // Registering the class again is accepted.
        if (!Window::RegisterWindowClass(instance, L"Q407FrameworkProbeChild", CS_HREDRAW, nullptr))
            Say("error second registration");
        PostMessageW(Handle(), WM_APP, 0, 0);  // report once shown
        return true;
    }

    bool OnCommand(WORD id, WORD code, HWND control) override {
        if (id == kButtonId && code == BN_CLICKED && control == button_.Handle()) {
            Say("clicked %d", id);
            return true;
        }
        return Dialog::OnCommand(id, code, control);
    }

    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override {
        if (message == WM_APP) {
            RECT client;
            GetClientRect(Handle(), &client);
            POINT origin = {0, 0};
            ClientToScreen(Handle(), &origin);
            Say("ready dialog %ld %ld %ld %ld", static_cast<long>(origin.x),
                static_cast<long>(origin.y), static_cast<long>(client.right),
                static_cast<long>(client.bottom));
            StartReader();
            *result = 0;
            return true;
        }
        if (message == kCommandMessage) {
            char* line = reinterpret_cast<char*>(lParam);
            RunCommand(line);
            std::free(line);
            *result = 0;
            return true;
        }
        return Dialog::HandleMessage(message, wParam, lParam, result);
    }

  private:
    void RunCommand(const char* line) {
        if (std::strncmp(line, "disable", 7) == 0) {
            EnableWindow(button_.Handle(), FALSE);
            UpdateWindow(button_.Handle());
            Say("disabled");
        } else if (std::strncmp(line, "enable", 6) == 0) {
            EnableWindow(button_.Handle(), TRUE);
            UpdateWindow(button_.Handle());
            Say("enabled");
        } else if (std::strncmp(line, "throw", 5) == 0) {
            SendMessageW(child_.Handle(), kThrowMessage, 0, 0);
            Say("survived %d", Window::FromHandle(child_.Handle()) == &child_ ? 1 : 0);
        } else if (std::strncmp(line, "quit", 4) == 0) {
            EndDialog(7);
        } else {
            Say("unknown command");
        }
    }

    static DWORD WINAPI ReadCommands(void* parameter) {
        HWND window = static_cast<HWND>(parameter);
        char line[256];
        while (std::fgets(line, sizeof line, stdin) != nullptr) {
            char* copy = static_cast<char*>(std::malloc(std::strlen(line) + 1));
            if (copy == nullptr) break;
            std::strcpy(copy, line);
            if (!PostMessageW(window, kCommandMessage, 0, reinterpret_cast<LPARAM>(copy))) {
                std::free(copy);
                break;
            }
        }
        return 0;
    }

    void StartReader() {
        HANDLE reader = CreateThread(nullptr, 0, &ReadCommands, Handle(), 0, nullptr);
        if (reader != nullptr) CloseHandle(reader);
    }

    BitmapButton button_;
    ProbeChild child_;
};

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return 2;
    int code = 3;
    if (argc > 1 && lstrcmpW(argv[1], L"profile") == 0) {
        code = RunProfile(argc, argv);
    } else if (argc > 1 && lstrcmpW(argv[1], L"dialog") == 0) {
        ProbeDialog dialog;
        const INT_PTR result = dialog.DoModal(instance, nullptr);
        Say("ended %ld", static_cast<long>(result));
        code = static_cast<int>(result);
    }
    LocalFree(argv);
    return code;
}
