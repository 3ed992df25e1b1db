#include "tools/asio_module.h"

#include <dlfcn.h>

namespace q407::tools {

AsioModule::AsioModule(const std::string& path) {
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* why = dlerror();
        error_ = why != nullptr ? why : "the library did not load";
        return;
    }
    dllMain_ = reinterpret_cast<DllMainFunction>(dlsym(library_, "DllMain"));
    getClassObject_ =
        reinterpret_cast<GetClassObjectFunction>(dlsym(library_, "DllGetClassObject"));
    canUnloadNow_ = reinterpret_cast<CanUnloadNowFunction>(dlsym(library_, "DllCanUnloadNow"));
    if (dllMain_ == nullptr || getClassObject_ == nullptr || canUnloadNow_ == nullptr) {
        error_ = path + " lacks DllMain, DllGetClassObject or DllCanUnloadNow";
        dlclose(library_);
        library_ = nullptr;
        return;
    }
    if (dllMain_(reinterpret_cast<HINSTANCE>(library_), DLL_PROCESS_ATTACH, nullptr) == FALSE) {
        error_ = path + " refused the process attach";
        dlclose(library_);
        library_ = nullptr;
    }
}

AsioModule::~AsioModule() {
    if (library_ == nullptr) return;
    (void)dllMain_(reinterpret_cast<HINSTANCE>(library_), DLL_PROCESS_DETACH, nullptr);
    dlclose(library_);
}

HRESULT AsioModule::GetClassObject(REFCLSID classId, REFIID iid, void** out) const {
    if (getClassObject_ == nullptr) return E_FAIL;
    return getClassObject_(classId, iid, out);
}

HRESULT AsioModule::CanUnloadNow() const {
    if (canUnloadNow_ == nullptr) return S_OK;
    return canUnloadNow_();
}

IASIO* AsioModule::CreateDriver(REFCLSID classId, HRESULT* result) const {
    void* out = nullptr;
    HRESULT hr = GetClassObject(classId, IID_IClassFactory, &out);
    if (FAILED(hr) || out == nullptr) {
        if (result != nullptr) *result = FAILED(hr) ? hr : E_FAIL;
        return nullptr;
    }
    auto* factory = static_cast<IClassFactory*>(out);
    void* driver = nullptr;
    // ASIO hosts ask for the class identifier itself as the interface.
    hr = factory->CreateInstance(nullptr, classId, &driver);
    factory->Release();
    if (result != nullptr) *result = hr;
    return SUCCEEDED(hr) ? static_cast<IASIO*>(driver) : nullptr;
}

std::string DefaultAsioModulePath() {
    return Q407_ASIO_MODULE_PATH;
}

}  // namespace q407::tools
