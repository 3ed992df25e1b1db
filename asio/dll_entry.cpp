// The module's three exports: loading and unloading, the class object for the driver's class
// identifier, and whether the module may be unloaded.
#include <new>

#include "asio/class_factory.h"
#include "asio/com_unknown.h"
#include "platform/com/com_base.h"
#include "platform/user/device_access.h"

namespace {

HMODULE g_module = nullptr;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        // No per-thread work: the host's threads need not call in.
        DisableThreadLibraryCalls(module);
        g_module = module;
        // The buffer-switch time stamps read the millisecond clock; ask for it at 1 ms.
        (void)timeBeginPeriod(1);  // without it the stamps are only coarser
    } else if (reason == DLL_PROCESS_DETACH) {
        (void)timeEndPeriod(1);  // pairs the request at attach; nothing to do if it fails
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory))
        return E_NOINTERFACE;
    const q407::asio::ClassTemplate* entry = q407::asio::FindClassTemplate(rclsid);
    if (entry == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) q407::asio::CClassFactory(entry);
    if (factory == nullptr) return E_OUTOFMEMORY;
    factory->AddRef();
    *ppv = static_cast<IClassFactory*>(factory);
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    if (q407::asio::CClassFactory::Locks() > 0 || q407::asio::CBaseObject::ObjectsActive() != 0)
        return S_FALSE;
    return S_OK;
}
