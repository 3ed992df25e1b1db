// The base of our window objects over Win32: one object per window, found again from the window
// handle through a window property, with a virtual message handler. A window is either created
// from a class the program registers (RegisterWindowClass) or an existing control subclassed
// (Subclass). No exception leaves a window procedure: one that escapes a handler is caught there
// and the message is given to the default procedure.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace q407::framework {

class Window {
  public:
    Window() = default;
    virtual ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Registers a class whose windows dispatch to their Window object; an existing class of that
    // name is accepted. False with the Win32 error otherwise.
    static bool RegisterWindowClass(HINSTANCE instance, const wchar_t* className, UINT style,
                                    HBRUSH background, HCURSOR cursor = nullptr);
    // Creates a window of a class registered with RegisterWindowClass, owned by this object.
    bool Create(DWORD exStyle, const wchar_t* className, const wchar_t* title, DWORD style, int x,
                int y, int width, int height, HWND parent, int id, HINSTANCE instance);
    // Takes over an existing window (a control of a dialog template, a button created with
    // CreateWindowExW): its messages reach HandleMessage first, then its own procedure.
    bool Subclass(HWND window);
    // The object of a window, if it has one.
    static Window* FromHandle(HWND window);

    HWND Handle() const { return hwnd_; }
    void Invalidate(bool erase = true) const;
    void Show(int command) const;
    int Id() const;
    // Destroys the window (the object stays).
    void Destroy();

  protected:
    // Return true and set *result when the message is handled; false passes it on.
    virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    // An owner-drawn control's WM_DRAWITEM, reflected to it by its parent's object.
    virtual bool DrawItem(const DRAWITEMSTRUCT& item);
    // After the window is gone (WM_NCDESTROY); the handle is already cleared.
    virtual void OnDestroyed() {}

    LRESULT DefaultProcedure(UINT message, WPARAM wParam, LPARAM lParam);
    // For a parent: WM_DRAWITEM goes to the control's object when it has one.
    static bool ReflectDrawItem(LPARAM lParam);

    friend class Dialog;

  private:
    static LRESULT CALLBACK ClassProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK SubclassProcedure(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam);
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);
    void Attach(HWND window);
    void Detach();

    HWND hwnd_ = nullptr;
    WNDPROC previous_ = nullptr;  // the subclassed window's own procedure
};

}  // namespace q407::framework
