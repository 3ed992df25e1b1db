// The behaviour the two text button classes share: the texts (the one when not checked is the
// window text), the state, the click's notification and the text's placement. Each class gives
// its background and the form of the handle it notifies.
#pragma once

#include <windows.h>

#include "panel/widgets/control_font.h"
#include "panel/widgets/paint_buffer.h"
#include "panel/widgets/record_text.h"

template <typename RecordType>
class TextButtonBase {
  public:
    using Record = RecordType;

    TextButtonBase(HWND window, Record& record) : window_(window), record_(record) {}

    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
        switch (message) {
            case WM_SETTEXT:
                CopyRecordText(record_.uncheckedText, reinterpret_cast<const wchar_t*>(lParam));
                InvalidateRect(window_, nullptr, FALSE);
                return TRUE;
            case WM_PAINT:
                Paint();
                return 0;
            case WM_ERASEBKGND:
                return 1;
            case BM_GETCHECK:
                return record_.state == 1 ? 1 : 0;
            case BM_SETCHECK:
                if (wParam == 0 || wParam == 1) {
                    record_.state = static_cast<LONG>(wParam);
                }
                InvalidateRect(window_, nullptr, FALSE);
                return 0;
            case WM_LBUTTONDOWN:
                SetFocus(window_);
                SetCapture(window_);
                return 0;
            case WM_LBUTTONUP:
                ReleaseCapture();
                PostMessageW(GetParent(window_), WM_COMMAND,
                             MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(window_)), 1),
                             NotifiedHandle());
                return 0;
            default:
                return DefWindowProcW(window_, message, wParam, lParam);
        }
    }

    void Destroy() {}

  private:
    bool Checked() const { return record_.state == 1; }

    void Paint() {
        PaintBuffer buffer(window_);
        HDC dc = buffer.dc();
        if (dc == nullptr) {
            return;
        }
        RECT client{0, 0, buffer.width(), buffer.height()};
        COLORREF textColour = DrawBackground(dc, client);
        const wchar_t* text = Checked() ? record_.checkedText : record_.uncheckedText;
        HGDIOBJ previousFont = SelectObject(dc, GetControlFont());
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, textColour);
        SetTextAlign(dc, TA_CENTER | TA_TOP);
        TextOutW(dc, client.right / 2, (client.bottom - 10) / 4, text,
                 static_cast<int>(Checked() ? RecordTextLength(record_.checkedText)
                                            : RecordTextLength(record_.uncheckedText)));
        SelectObject(dc, previousFont);
    }

    // Each button class gives these: the background, returning the state's text colour, and
    // the handle as its notification carries it.
    COLORREF DrawBackground(HDC dc, const RECT& client);
    LPARAM NotifiedHandle() const;

    HWND window_;
    Record& record_;
};
