#include "platform/framework/dialog.h"

namespace q407::framework {
namespace {

// Messages whose result a dialog procedure returns itself instead of through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
    switch (message) {
        case WM_INITDIALOG:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
            return true;
        default:
            return false;
    }
}

}  // namespace

INT_PTR Dialog::DoModal(HINSTANCE instance, HWND parent) {
    if (Handle() != nullptr) return -1;
    modal_ = true;
    const INT_PTR result =
        DialogBoxParamW(instance, MAKEINTRESOURCEW(templateId_), parent, &Dialog::DialogProcedure,
                        reinterpret_cast<LPARAM>(this));
    modal_ = false;
    return result;
}

bool Dialog::CreateModeless(HINSTANCE instance, HWND parent) {
    if (Handle() != nullptr) return false;
    modal_ = false;
    return CreateDialogParamW(instance, MAKEINTRESOURCEW(templateId_), parent,
                              &Dialog::DialogProcedure, reinterpret_cast<LPARAM>(this)) != nullptr;
}

void Dialog::EndDialog(INT_PTR result) {
    if (Handle() == nullptr) return;
    if (modal_) {
        ::EndDialog(Handle(), result);
    } else {
        Destroy();
    }
}

bool Dialog::OnCommand(WORD id, WORD code, HWND control) {
    (void)code;
    (void)control;
    if (modal_ && (id == IDOK || id == IDCANCEL)) {
        EndDialog(id);
        return true;
    }
    return false;
}

bool Dialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    switch (message) {
        case WM_INITDIALOG:
            *result = OnInitDialog() ? TRUE : FALSE;
            return true;
        case WM_COMMAND:
            *result = 0;
            return OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        default:
            return Window::HandleMessage(message, wParam, lParam, result);
    }
}

INT_PTR Dialog::DispatchDialog(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    bool handled = false;
    try {
        handled = HandleMessage(message, wParam, lParam, &result);
    } catch (...) {
        // Wine's user32 cannot be unwound through: the message counts as not handled.
        handled = false;
    }
    if (message == WM_NCDESTROY) {
        Detach();
        try {
            OnDestroyed();
        } catch (...) {
            // Nothing can be reported from here; the window is gone either way.
        }
    }
    if (!handled) return FALSE;
    if (ReturnsResultDirectly(message)) return static_cast<INT_PTR>(result);
    if (Handle() != nullptr) SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, result);
    return TRUE;
}

INT_PTR CALLBACK Dialog::DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<Dialog*>(FromHandle(window));
    if (self == nullptr && message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        if (self != nullptr) self->Attach(window);
    }
    if (self == nullptr) return FALSE;
    return self->DispatchDialog(message, wParam, lParam);
}

}  // namespace q407::framework
