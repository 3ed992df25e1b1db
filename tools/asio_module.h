// An in-process COM server loaded the way the bench's hosts load the ASIO driver: the shared
// library opened, its DllMain told of the process attach (as the Windows loader would), its
// exports looked up; the driver object created through DllGetClassObject and the class factory,
// with the driver's class identifier as the interface identifier.
#pragma once

#include <string>

#include "platform/asio/asio_interface.h"

namespace q407::tools {

class AsioModule {
  public:
    // Loads the library at `path`; Loaded() tells whether that worked, Error() why not.
    explicit AsioModule(const std::string& path);
    // Tells DllMain of the detach and closes the library.
    ~AsioModule();
    AsioModule(const AsioModule&) = delete;
    AsioModule& operator=(const AsioModule&) = delete;

    bool Loaded() const { return library_ != nullptr; }
    const std::string& Error() const { return error_; }

    HRESULT GetClassObject(REFCLSID classId, REFIID iid, void** out) const;
    HRESULT CanUnloadNow() const;
    // The driver object's IASIO (one reference), or null with the failing HRESULT in *result.
    IASIO* CreateDriver(REFCLSID classId, HRESULT* result = nullptr) const;

  private:
    using DllMainFunction = BOOL (*)(HINSTANCE, DWORD, LPVOID);
    using GetClassObjectFunction = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
    using CanUnloadNowFunction = HRESULT (*)();

    void* library_ = nullptr;
    std::string error_;
    DllMainFunction dllMain_ = nullptr;
    GetClassObjectFunction getClassObject_ = nullptr;
    CanUnloadNowFunction canUnloadNow_ = nullptr;
};

// The bench's Q407Asio library beside the q407 program and the tests (set at build time).
std::string DefaultAsioModulePath();

}  // namespace q407::tools
