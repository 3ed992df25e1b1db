// What mingw-w64's C++ run time would give a driver image that constructs objects of classes with
// abstract bases: the handler their vtables name for a pure virtual slot. The kernel has no C++
// run time, and a pure call means a broken object, so it stops the system as the Microsoft kit's
// handler does.
#include <bugcodes.h>
#include <ntddk.h>

extern "C" void __cxa_pure_virtual() {
    KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG_PTR>(STATUS_NOT_IMPLEMENTED), 0, 0,
                 0);
}
