// A console host that loads Q407Asio.dll as ASIO hosts do (LoadLibrary, DllGetClassObject, the
// class factory, the driver's class identifier as the interface) and checks that init fails
// cleanly where no device is present: ASIOFalse, the open-failure text, the object released and
// the module unloadable. Exit status 0 when all of that holds.
//   Q407AsioSmoke.exe [PATH\Q407Asio.dll]
#include <cstdio>
#include <cstring>

#include "asio/driver_identity.h"
#include "platform/asio/asio_interface.h"

namespace {

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();

int Fail(const char* what) {
    std::printf("Q407Asio smoke FAILED: %s\n", what);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* path = argc > 1 ? argv[1] : L"Q407Asio.dll";
    HMODULE module = LoadLibraryW(path);
    if (module == nullptr) return Fail("LoadLibrary");
    auto getClassObject = reinterpret_cast<GetClassObjectFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    auto canUnloadNow = reinterpret_cast<CanUnloadNowFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    if (getClassObject == nullptr || canUnloadNow == nullptr) return Fail("exports");

    void* out = nullptr;
    if (getClassObject(q407::asio::kDriverClassId, IID_IClassFactory, &out) != S_OK)
        return Fail("DllGetClassObject");
    auto* factory = static_cast<IClassFactory*>(out);
    void* object = nullptr;
    const HRESULT created = factory->CreateInstance(nullptr, q407::asio::kDriverClassId, &object);
    factory->Release();
    if (created != S_OK || object == nullptr) return Fail("CreateInstance");
    auto* driver = static_cast<IASIO*>(object);

    char name[32] = {};
    driver->getDriverName(name);
    if (driver->init(nullptr) != ASIOFalse) return Fail("init succeeded without a device");
    char text[124] = {};
    driver->getErrorMessage(text);
    if (std::strcmp(text, "ZEL Q407LX ASIO DRIVERASIO Open Fails") != 0) return Fail("error text");
    long inputs = 0;
    long outputs = 0;
    if (driver->getChannels(&inputs, &outputs) != ASE_NotPresent) return Fail("getChannels");
    if (canUnloadNow() != S_FALSE) return Fail("unloadable while the driver lives");
    driver->Release();
    if (canUnloadNow() != S_OK) return Fail("not unloadable after the release");
    FreeLibrary(module);
    std::printf("Q407Asio smoke: %s loaded, init failed cleanly: %s\n", name, text);
    return 0;
}
