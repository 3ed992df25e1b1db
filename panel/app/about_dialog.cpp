#include "panel/app/about_dialog.h"

#include "panel/app/resource.h"
#include "panel/widgets/paint_buffer.h"
// After windows.h (through the dialog header).
#include <shellapi.h>

namespace q407::panel {
namespace {

constexpr COLORREF kTextColour = 0x8F8F8E;
constexpr COLORREF kBackColour = 0x1A1816;

template <size_t N>
void CopyAscii(WCHAR (&out)[N], const char* text) {
    size_t i = 0;
    if (text != nullptr)
        for (; i + 1 < N && text[i] != '\0'; ++i)
            out[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
    out[i] = 0;
}

bool Inside(const RECT& area, int x, int y) {
    return x >= area.left && x <= area.right && y >= area.top && y <= area.bottom;
}

}  // namespace

int AboutAreaAt(int x, int y) {
    if (Inside(kAboutCloseArea, x, y)) return 1;
    if (Inside(kAboutSupportArea, x, y)) return 2;
    return 0;
}

CAboutDlg::CAboutDlg(HINSTANCE instance, HICON icon, const char* driverText,
                     const char* firmwareText, const wchar_t* supportAddress)
    : Dialog(IDD_ABOUTBOX), instance_(instance), icon_(icon), supportAddress_(supportAddress) {
    CopyAscii(driver_, driverText);
    CopyAscii(firmware_, firmwareText);
}

CAboutDlg::~CAboutDlg() {
    if (textBrush_ != nullptr) DeleteObject(textBrush_);
}

bool CAboutDlg::OnInitDialog() {
    const HWND window = Handle();
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
    textBrush_ = CreateSolidBrush(kBackColour);
    // The version fields sit on the picture's read-outs, in pixels.
    MoveWindow(GetDlgItem(window, IDC_ABOUT_DRIVER), 209, 78, 69, 12, FALSE);
    MoveWindow(GetDlgItem(window, IDC_ABOUT_FIRMWARE), 209, 91, 69, 12, FALSE);
    SetDlgItemTextW(window, IDC_ABOUT_DRIVER, driver_);
    SetDlgItemTextW(window, IDC_ABOUT_FIRMWARE, firmware_);
    return true;
}

void CAboutDlg::Paint() {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(Handle(), &paint);
    DrawResourceBitmap(dc, instance_, L"ABOUT_BACKGROUND");
    EndPaint(Handle(), &paint);
}

bool CAboutDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    switch (message) {
        case WM_PAINT:
            Paint();
            *result = 0;
            return true;
        case WM_CTLCOLORSTATIC: {
            const HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, kTextColour);
            SetBkColor(dc, kBackColour);
            *result = reinterpret_cast<LRESULT>(textBrush_);
            return true;
        }
        case WM_LBUTTONDOWN:
            pressedArea_ =
                AboutAreaAt(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
            *result = 0;
            return true;
        case WM_LBUTTONUP: {
            const int area =
                AboutAreaAt(static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
            const int pressed = pressedArea_;
            pressedArea_ = 0;
            *result = 0;
            if (area == 0 || area != pressed) return true;
            if (area == 1) {
                EndDialog(IDOK);
            } else {
                ShellExecuteW(Handle(), L"open", supportAddress_, nullptr, nullptr, SW_SHOWNORMAL);
            }
            return true;
        }
        default:
            return Dialog::HandleMessage(message, wParam, lParam, result);
    }
}

}  // namespace q407::panel
