#include "platform/framework/window.h"

namespace q407::framework {
namespace {
const wchar_t kObjectProperty[] = L"Q407.WindowObject";
}  // namespace

Window::~Window() {
    // A window outliving its object would dispatch into freed memory.
    if (hwnd_ != nullptr) {
        HWND window = hwnd_;
        Detach();
        DestroyWindow(window);
    }
}

bool Window::RegisterWindowClass(HINSTANCE instance, const wchar_t* className, UINT style,
                                 HBRUSH background, HCURSOR cursor) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = style;
    wc.lpfnWndProc = &Window::ClassProcedure;
    wc.hInstance = instance;
    wc.hCursor = cursor != nullptr ? cursor : LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = background;
    wc.lpszClassName = className;
    if (RegisterClassExW(&wc) != 0) return true;
    return GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

bool Window::Create(DWORD exStyle, const wchar_t* className, const wchar_t* title, DWORD style,
                    int x, int y, int width, int height, HWND parent, int id, HINSTANCE instance) {
    if (hwnd_ != nullptr) return false;
    HMENU menu =
        (style & WS_CHILD) != 0 ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)) : nullptr;
    // The object is attached on WM_NCCREATE, from the creation parameter.
    HWND window = CreateWindowExW(exStyle, className, title, style, x, y, width, height, parent,
                                  menu, instance, this);
    return window != nullptr;
}

bool Window::Subclass(HWND window) {
    if (hwnd_ != nullptr || window == nullptr || FromHandle(window) != nullptr) return false;
    Attach(window);
    previous_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Window::SubclassProcedure)));
    if (previous_ == nullptr) {
        Detach();
        return false;
    }
    return true;
}

Window* Window::FromHandle(HWND window) {
    if (window == nullptr) return nullptr;
    return static_cast<Window*>(GetPropW(window, kObjectProperty));
}

void Window::Attach(HWND window) {
    hwnd_ = window;
    SetPropW(window, kObjectProperty, this);
}

void Window::Detach() {
    if (hwnd_ == nullptr) return;
    RemovePropW(hwnd_, kObjectProperty);
    if (previous_ != nullptr) {
        SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
        previous_ = nullptr;
    }
    hwnd_ = nullptr;
}

void Window::Invalidate(bool erase) const {
    if (hwnd_ != nullptr) InvalidateRect(hwnd_, nullptr, erase ? TRUE : FALSE);
}

void Window::Show(int command) const {
    if (hwnd_ != nullptr) ShowWindow(hwnd_, command);
}

int Window::Id() const {
    return hwnd_ != nullptr ? GetDlgCtrlID(hwnd_) : 0;
}

void Window::Destroy() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

bool Window::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    (void)wParam;
    if (message == WM_DRAWITEM && ReflectDrawItem(lParam)) {
        *result = TRUE;
        return true;
    }
    return false;
}

bool Window::DrawItem(const DRAWITEMSTRUCT& item) {
    (void)item;
    return false;
}

bool Window::ReflectDrawItem(LPARAM lParam) {
    const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    if (item == nullptr || item->CtlType == ODT_MENU) return false;
    Window* control = FromHandle(item->hwndItem);
    return control != nullptr && control->DrawItem(*item);
}

LRESULT Window::DefaultProcedure(UINT message, WPARAM wParam, LPARAM lParam) {
    if (previous_ != nullptr) return CallWindowProcW(previous_, hwnd_, message, wParam, lParam);
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT Window::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    bool handled = false;
    try {
        handled = HandleMessage(message, wParam, lParam, &result);
    } catch (...) {
        // Wine's user32 cannot be unwound through: the message counts as not handled.
        handled = false;
    }
    if (!handled) result = DefaultProcedure(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        Detach();
        try {
            OnDestroyed();
        } catch (...) {
            // Nothing can be reported from here; the window is gone either way.
        }
    }
    return result;
}

LRESULT CALLBACK Window::ClassProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* self = FromHandle(window);
    if (self == nullptr && message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        self = static_cast<Window*>(create->lpCreateParams);
        if (self != nullptr) self->Attach(window);
    }
    if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    return self->Dispatch(message, wParam, lParam);
}

LRESULT CALLBACK Window::SubclassProcedure(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    Window* self = FromHandle(window);
    if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    return self->Dispatch(message, wParam, lParam);
}

}  // namespace q407::framework
