// A Win32 program that shows the panel's controls on one window for the Wine tests: three
// toggles (the second created checked), a label, a slider and a stereo level meter. It prints its
// ready line
// ("ready controls X Y W H", the client area on the screen, then a line per child:
// "child ID X Y W H" in client coordinates), reports what its children tell it, and answers
// commands read from standard input, one per line:
//   check ID                 -> "check ID STATE"                      (BM_GETCHECK)
//   setcheck ID V            -> "setcheck ID STATE INVALID"           (BM_SETCHECK V; INVALID is
//                                                                      1 when a repaint is due)
//   text ID WORDS...         -> "text ID LENGTH TEXT"                  (WM_SETTEXT, read back)
//   bitmap NAME              -> "bitmap NAME HANDLE"                   (the bitmap cache)
//   classes                  -> "class NAME STYLE EXTRA ARROW MODULE BACKGROUND" x 16, "classes"
//   pos ID                   -> "pos ID POSITION"                      (SBM_GETPOS)
//   level ID LEFT RIGHT      -> "level ID"                             (WM_USER + 1)
//   messages                 -> "messages COMMANDS SCROLLS BOXES"
//   extra                    -> the classes the panel never creates, then "child ID X Y W H"
//                               for each: counter 500, three-state 501, text button 502,
//                               rotary 503, dial 504, double slider 505
//   send ID MSG WPARAM LPARAM -> "result ID VALUE"                    (SendMessageW)
//   frame                    -> "frame REFUSED ANSWER DESTROYED"       (the shared control frame:
//                               1 when a record that cannot be allocated fails the creation;
//                               the answer of a handler that threw; 1 when the window and its
//                               record were then destroyed normally)
//   quit
// Reports: "command ID CODE STATE" for each WM_COMMAND (the toggle's state as the parent reads it,
// which it then shows with BM_SETCHECK, as the panel's views do), "vscroll ID CODE POSITION",
// "hscroll CODE POSITION", "box CAPTION TEXT" for each message box (answered IDOK without showing
// it).
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <stdexcept>

#include "panel/widgets/bitmap_cache.h"
#include "panel/widgets/control_classes.h"
#include "panel/widgets/control_window.h"
#include "panel/widgets/dial_control.h"
#include "panel/widgets/digit_control.h"
#include "panel/widgets/double_slider_control.h"
#include "panel/widgets/knob_control.h"
#include "panel/widgets/panel_message.h"
#include "panel/widgets/peak_control.h"
#include "panel/widgets/slider_control.h"
#include "panel/widgets/small_text_control.h"
#include "panel/widgets/state3_control.h"
#include "panel/widgets/text_button_control.h"
#include "panel/widgets/toggle_control.h"

namespace {

const UINT kCommandMessage = WM_APP + 1;
const int kToggleId = 100;
const int kCheckedToggleId = 101;
const int kLinkToggleId = 102;
const int kLabelId = 200;
const int kSliderId = 300;
const int kPeakId = 400;
const int kDigitId = 500;
const int kState3Id = 501;
const int kTextButtonId = 502;
const int kKnobId = 503;
const int kDialId = 504;
const int kDoubleSliderId = 505;

HINSTANCE g_instance = nullptr;
int g_commands = 0;
int g_scrolls = 0;
int g_boxes = 0;

void Utf8(const wchar_t* text, char* out, int size) {
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, nullptr, nullptr) == 0) {
        out[0] = '\0';
    }
}

void Say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int RecordBox(HWND, const wchar_t* text, const wchar_t* caption, UINT) {
    char textUtf8[256];
    char captionUtf8[256];
    Utf8(text != nullptr ? text : L"", textUtf8, sizeof textUtf8);
    Utf8(caption != nullptr ? caption : L"", captionUtf8, sizeof captionUtf8);
    ++g_boxes;
    Say("box %s %s", captionUtf8, textUtf8);
    return IDOK;
}

DWORD WINAPI ReadCommands(void* parameter) {
    HWND window = static_cast<HWND>(parameter);
    char line[512];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
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

void ListClasses() {
    static const wchar_t* const kNames[] = {
        L"Oxa_DigitExClass", L"Oxa_State3Class",       L"Oxa_State4Class",
        L"Oxa_KnobClass",    L"Oxa_VSClass",           L"Oxa_SmallTextClass",
        L"Oxa_DBLVSClass",   L"Oxa_PeakClass",         L"Oxa_PeakMonoClass",
        L"Oxa_TextBtnClass", L"Oxa_TextBtnBmpClass",   L"Oxa_TogleClass",
        L"Oxa_FpathClass",   L"Oxa_FpathAdvanceClass", L"Oxa_OutputRoutingClass",
        L"Oxa_RoundVSClass"};
    HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    for (const wchar_t* name : kNames) {
        WNDCLASSEXW info{};
        info.cbSize = sizeof info;
        char nameUtf8[64];
        Utf8(name, nameUtf8, sizeof nameUtf8);
        if (GetClassInfoExW(g_instance, name, &info) == 0) {
            Say("class %s missing", nameUtf8);
            continue;
        }
        Say("class %s %u %d %d %d %d", nameUtf8, info.style, info.cbWndExtra,
            info.hCursor == arrow ? 1 : 0, info.hCursor == nullptr ? 1 : 0,
            static_cast<int>(reinterpret_cast<INT_PTR>(info.hbrBackground)));
    }
    Say("classes");
}

HWND CreateChild(const wchar_t* className, HWND parent, int id, int x, int y, int width,
                 int height);
void ReportChild(HWND parent, int id);

// The classes the panel registers but never creates, filled in as their creators would.
void CreateExtraControls(HWND window) {
    HWND digit = CreateChild(L"Oxa_DigitExClass", window, kDigitId, 150, 60, 30, 20);
    if (DigitRecord* record = DigitRecordOf(digit)) {
        record->textColour = RGB(255, 200, 0);
        record->fillColour = RGB(0, 0, 0);
        record->upperBound = 59;
        record->wrapValue = 1;
    }
    HWND state3 = CreateChild(L"Oxa_State3Class", window, kState3Id, 190, 60, 25, 14);
    if (State3Record* record = State3RecordOf(state3)) {
        record->stateOnePicture = GetCachedBitmap(g_instance, L"FP_BTN_F");
        record->stateTwoPicture = GetCachedBitmap(g_instance, L"FP_BTN_N");
        record->stateZeroPicture = GetCachedBitmap(g_instance, L"FP_BTN_N");
    }
    HWND button = CreateChild(L"Oxa_TextBtnClass", window, kTextButtonId, 225, 60, 60, 18);
    if (TextButtonRecord* record = TextButtonRecordOf(button)) {
        record->uncheckedTextColour = RGB(220, 220, 220);
        record->uncheckedFillColour = RGB(60, 60, 60);
        record->checkedTextColour = RGB(0, 0, 0);
        record->checkedFillColour = RGB(255, 140, 0);
        SetWindowTextW(button, L"MUTE");
    }
    HWND knob = CreateChild(L"Oxa_KnobClass", window, kKnobId, 150, 90, 40, 40);
    if (KnobRecord* record = KnobRecordOf(knob)) {
        record->minimumAngle = -2.3f;
        record->maximumAngle = 2.3f;
        record->steps = 64;
        record->radius = 12;
        record->focusedPointer = GetCachedBitmap(g_instance, L"FP_JAK_N");
        record->unfocusedPointer = GetCachedBitmap(g_instance, L"FP_JAK_F");
        SendMessageW(knob, SBM_SETPOS, 32, 0);
    }
    HWND dial = CreateChild(L"Oxa_RoundVSClass", window, kDialId, 200, 90, 40, 40);
    if (DialRecord* record = DialRecordOf(dial)) {
        record->centreX = 20;
        record->centreY = 20;
        record->startAngle = 90;
        record->minimum = 0;
        record->maximum = 100;
        record->enabledPicture = GetCachedBitmap(g_instance, L"FP_JAK_N");
    }
    HWND pair = CreateChild(L"Oxa_DBLVSClass", window, kDoubleSliderId, 250, 90, 40, 110);
    if (DoubleSliderRecord* record = DoubleSliderRecordOf(pair)) {
        record->bottom = 100;
        record->top = 10;
        record->maximum = 90;
        record->minimum = 0;
        record->focus = -1;
        record->activePart = -1;
        record->firstSplit = 15;
        record->secondSplit = 25;
        record->unfocusedThumb = GetCachedBitmap(g_instance, L"FP_JAK_F");
        record->focusedThumb = GetCachedBitmap(g_instance, L"FP_JAK_N");
        record->meterPicture = GetCachedBitmap(g_instance, L"PEAK_FORE");
    }
    for (int id : {kDigitId, kState3Id, kTextButtonId, kKnobId, kDialId, kDoubleSliderId}) {
        ReportChild(window, id);
    }
}

// A control whose record can never be allocated, and one whose handler throws.
struct UnallocatableRecord {
    int unused;
    static void* operator new(std::size_t, const std::nothrow_t&) noexcept { return nullptr; }
};
class Unallocatable {
  public:
    using Record = UnallocatableRecord;
    Unallocatable(HWND, Record&) {}
    LRESULT Handle(UINT, WPARAM, LPARAM) { return 0; }
    void Destroy() {}
};

int g_destroyedRecords = 0;
struct ThrowingRecord {
    int unused;
};
class Throwing {
  public:
    using Record = ThrowingRecord;
    Throwing(HWND window, Record&) : window_(window) {}
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_APP + 7) throw std::runtime_error("handler failed");
        return DefWindowProcW(window_, message, wParam, lParam);
    }
    void Destroy() { ++g_destroyedRecords; }

  private:
    HWND window_;
};

void TryFrame(HWND parent) {
    WNDCLASSW info{};
    info.hInstance = g_instance;
    info.lpfnWndProc = ControlWindowProc<Unallocatable>;
    info.lpszClassName = L"Q407Unallocatable";
    RegisterClassW(&info);
    info.lpfnWndProc = ControlWindowProc<Throwing>;
    info.lpszClassName = L"Q407Throwing";
    RegisterClassW(&info);
    HWND refused = CreateChild(L"Q407Unallocatable", parent, 900, 0, 0, 10, 10);
    HWND throwing = CreateChild(L"Q407Throwing", parent, 901, 0, 0, 10, 10);
    LRESULT answer = throwing != nullptr ? SendMessageW(throwing, WM_APP + 7, 0, 0) : -1;
    int before = g_destroyedRecords;
    BOOL destroyed = throwing != nullptr && DestroyWindow(throwing);
    Say("frame %d %d %d", refused == nullptr ? 1 : 0, static_cast<int>(answer),
        destroyed && g_destroyedRecords == before + 1 ? 1 : 0);
}

void RunCommand(HWND window, char* line) {
    int id = 0;
    int value = 0;
    int right = 0;
    char word[256];
    if (std::strcmp(line, "quit") == 0) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    } else if (std::sscanf(line, "check %d", &id) == 1) {
        Say("check %d %d", id,
            static_cast<int>(SendDlgItemMessageW(window, id, BM_GETCHECK, 0, 0)));
    } else if (std::sscanf(line, "setcheck %d %d", &id, &value) == 2) {
        HWND child = GetDlgItem(window, id);
        UpdateWindow(child);  // nothing pending before the message
        SendMessageW(child, BM_SETCHECK, static_cast<WPARAM>(value), 0);
        RECT due{};
        BOOL invalid = GetUpdateRect(child, &due, FALSE);
        Say("setcheck %d %d %d", id, static_cast<int>(SendMessageW(child, BM_GETCHECK, 0, 0)),
            invalid ? 1 : 0);
    } else if (std::sscanf(line, "text %d", &id) == 1) {
        const char* text = std::strchr(line + 5, ' ');
        text = text != nullptr ? text + 1 : "";
        wchar_t wide[256];
        if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 256) == 0) wide[0] = L'\0';
        HWND child = GetDlgItem(window, id);
        SetWindowTextW(child, wide);
        wchar_t back[256];
        int length = GetWindowTextW(child, back, 256);
        char backUtf8[512];
        Utf8(back, backUtf8, sizeof backUtf8);
        Say("text %d %d %s", id, length, backUtf8);
    } else if (std::sscanf(line, "bitmap %255s", word) == 1) {
        wchar_t wide[256];
        if (MultiByteToWideChar(CP_UTF8, 0, word, -1, wide, 256) == 0) wide[0] = L'\0';
        HBITMAP bitmap = GetCachedBitmap(g_instance, wide);
        Say("bitmap %s %llx", word,
            static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(bitmap)));
    } else if (std::strcmp(line, "classes") == 0) {
        ListClasses();
    } else if (std::sscanf(line, "pos %d", &id) == 1) {
        Say("pos %d %d", id, static_cast<int>(SendDlgItemMessageW(window, id, SBM_GETPOS, 0, 0)));
    } else if (std::sscanf(line, "level %d %d %d", &id, &value, &right) == 3) {
        SendDlgItemMessageW(window, id, kSetLevelsMessage, 0,
                            MAKELPARAM(static_cast<WORD>(value), static_cast<WORD>(right)));
        Say("level %d", id);
    } else if (std::strcmp(line, "frame") == 0) {
        TryFrame(window);
    } else if (std::strcmp(line, "extra") == 0) {
        CreateExtraControls(window);
    } else if (long long w = 0, l = 0;
               std::sscanf(line, "send %d %d %lld %lld", &id, &value, &w, &l) == 4) {
        LRESULT result = SendDlgItemMessageW(window, id, static_cast<UINT>(value),
                                             static_cast<WPARAM>(w), static_cast<LPARAM>(l));
        Say("result %d %lld", id, static_cast<long long>(result));
    } else if (std::strcmp(line, "messages") == 0) {
        Say("messages %d %d %d", g_commands, g_scrolls, g_boxes);
    } else {
        Say("unknown %s", line);
    }
}

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND: {
            ++g_commands;
            HWND child = reinterpret_cast<HWND>(lParam);
            LRESULT state = SendMessageW(child, BM_GETCHECK, 0, 0);
            Say("command %d %d %d", LOWORD(wParam), HIWORD(wParam), static_cast<int>(state));
            SendMessageW(child, BM_SETCHECK, static_cast<WPARAM>(state), 0);
            return 0;
        }
        case WM_VSCROLL:
            ++g_scrolls;
            Say("vscroll %d %d %d", GetDlgCtrlID(reinterpret_cast<HWND>(lParam)), LOWORD(wParam),
                static_cast<int>(SendMessageW(reinterpret_cast<HWND>(lParam), SBM_GETPOS, 0, 0)));
            return 0;
        case WM_HSCROLL:
            ++g_scrolls;
            Say("hscroll %d %d", LOWORD(wParam), static_cast<short>(HIWORD(wParam)));
            return 0;
        case kCommandMessage: {
            char* line = reinterpret_cast<char*>(lParam);
            RunCommand(window, line);
            std::free(line);
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND CreateChild(const wchar_t* className, HWND parent, int id, int x, int y, int width,
                 int height) {
    return CreateWindowExW(0, className, L"", WS_CHILD | WS_VISIBLE, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g_instance, nullptr);
}

void ReportChild(HWND parent, int id) {
    HWND child = GetDlgItem(parent, id);
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    Say("child %d %ld %ld %ld %ld", id, static_cast<long>(rect.left), static_cast<long>(rect.top),
        static_cast<long>(rect.right - rect.left), static_cast<long>(rect.bottom - rect.top));
}

bool CreateControls(HWND window) {
    if (CreateToggle(g_instance, window, kToggleId, 20, 20, L"FP_BTN_F", L"FP_BTN_N") == nullptr)
        return false;
    HWND checked =
        CreateToggle(g_instance, window, kCheckedToggleId, 55, 20, L"FP_BTN_F", L"FP_BTN_N");
    if (checked == nullptr) return false;
    SendMessageW(checked, BM_SETCHECK, 1, 0);
    if (CreateToggle(g_instance, window, kLinkToggleId, 20, 50, L"OUTPUT_ROUTING_LINK_OFF",
                     L"OUTPUT_ROUTING_LINK_ON") == nullptr)
        return false;

    HWND label = CreateChild(L"Oxa_SmallTextClass", window, kLabelId, 120, 20, 160, 23);
    SmallTextRecord* text = SmallTextRecordOf(label);
    if (text == nullptr) return false;
    text->textColour = RGB(150, 151, 152);
    text->fillColour = RGB(22, 24, 26);
    SetWindowTextW(label, L"Output 3");

    // The slider and the meter own their unlit pictures (deleted with them): their own copies.
    HBITMAP faderBack = LoadBitmapW(g_instance, L"FADER_BACK");
    BITMAP backInfo{};
    GetObjectW(faderBack, sizeof backInfo, &backInfo);
    HWND slider =
        CreateChild(L"Oxa_VSClass", window, kSliderId, 20, 90, backInfo.bmWidth, backInfo.bmHeight);
    SliderRecord* fader = SliderRecordOf(slider);
    if (fader == nullptr) return false;
    fader->bottom = backInfo.bmHeight - 12;
    fader->top = 12;
    fader->maximum = 100;
    fader->minimum = 0;
    fader->position = 25;
    fader->focus = -1;
    fader->background = faderBack;
    fader->focusedThumb = GetCachedBitmap(g_instance, L"FADER_KNOB_ON");
    fader->unfocusedThumb = GetCachedBitmap(g_instance, L"FADER_KNOB_OFF");
    InvalidateRect(slider, nullptr, FALSE);

    HBITMAP lit = GetCachedBitmap(g_instance, L"PEAK_FORE");
    BITMAP litInfo{};
    GetObjectW(lit, sizeof litInfo, &litInfo);
    HWND peak = CreateChild(L"Oxa_PeakClass", window, kPeakId, 90, 90, 2 * litInfo.bmWidth + 8,
                            litInfo.bmHeight);
    PeakRecord* meter = PeakRecordOf(peak);
    if (meter == nullptr) return false;
    meter->litPicture = lit;
    meter->unlitPicture = LoadBitmapW(g_instance, L"PEAK_BACK");
    SendMessageW(peak, kSetLevelsMessage, 0, MAKELPARAM(70, 40));
    return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    g_instance = instance;
    SetPanelMessageHook(RecordBox);
    RegisterControlClasses(instance);

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = MainProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = L"Q407ControlsTest";
    if (RegisterClassW(&windowClass) == 0) return 2;
    HWND window = CreateWindowExW(0, L"Q407ControlsTest", L"Controls", WS_OVERLAPPEDWINDOW, 40, 60,
                                  320, 300, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 3;
    if (!CreateControls(window)) return 4;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);

    RECT client;
    GetClientRect(window, &client);
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    Say("ready controls %ld %ld %ld %ld", static_cast<long>(origin.x), static_cast<long>(origin.y),
        static_cast<long>(client.right), static_cast<long>(client.bottom));
    for (int id : {kToggleId, kCheckedToggleId, kLinkToggleId, kLabelId, kSliderId, kPeakId}) {
        ReportChild(window, id);
    }

    HANDLE reader = CreateThread(nullptr, 0, ReadCommands, window, 0, nullptr);
    if (reader == nullptr) return 5;
    CloseHandle(reader);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
