// The frame every control class of the panel shares. A control keeps its state in a record that
// the window procedure allocates on WM_CREATE (creation fails with -1 when it cannot) and frees on
// WM_DESTROY, reachable through GWLP_USERDATA; the creator fills the record right after creating
// the window. Each message is handed to a short-lived control object that holds the window and
// its record. No exception leaves the window procedure: Win32 cannot unwind through it.
//
// A control class provides:
//   using Record = ...;                       // value-initialised on WM_CREATE
//   Control(HWND window, Record& record);
//   LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);   // DefWindowProcW otherwise
//   void Destroy();                           // releases what the record owns
#pragma once

#include <windows.h>

#include <new>

template <typename Record>
Record* ControlRecordOf(HWND window) {
    if (window == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Record*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

template <typename Control>
LRESULT CALLBACK ControlWindowProc(HWND window, UINT message, WPARAM wParam,
                                   LPARAM lParam) noexcept {
    using Record = typename Control::Record;
    try {
        if (message == WM_CREATE) {
            Record* record = new (std::nothrow) Record{};
            if (record == nullptr) {
                return -1;
            }
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(record));
            return 0;
        }
        Record* record = ControlRecordOf<Record>(window);
        if (record == nullptr) {
            // Before WM_CREATE (or after WM_DESTROY) there is nothing of ours to act on.
            return DefWindowProcW(window, message, wParam, lParam);
        }
        if (message == WM_DESTROY) {
            Control(window, *record).Destroy();
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            delete record;
            return 0;
        }
        return Control(window, *record).Handle(message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}
