// The program object: its instance, and its settings profile in the current user's registry,
// HKCU\Software\<company>\<program>\<section>, each setting a binary value. The program's name
// is its executable's base name unless set otherwise (tests use their own).
#pragma once

#include <string>

#include "platform/framework/profile_store.h"
#include "platform/framework/window.h"

namespace q407::framework {

class Application : public ProfileStore {
  public:
    explicit Application(HINSTANCE instance = nullptr);

    HINSTANCE Instance() const { return instance_; }
    // The company key under Software; the profile is not used until one is set.
    void SetRegistryKey(const wchar_t* company);
    // Overrides the program name of the profile's key.
    void SetProfileName(const wchar_t* name);
    const std::wstring& ProfileName() const { return program_; }
    // "Software\<company>\<program>", or empty without a company.
    std::wstring ProfileKeyPath() const;

    bool ReadBinary(const char* section, const char* entry, std::vector<uint8_t>& value) override;
    bool WriteBinary(const char* section, const char* entry, const uint8_t* data,
                     size_t size) override;

    // The base name of a module path: "C:\Program Files\Q407\Q407Pan.exe" gives "Q407Pan"; a
    // winelib program's "Q407Pan.exe.so" too.
    static std::wstring BaseNameOf(const std::wstring& path);

  private:
    HKEY OpenSection(const char* section, bool create) const;

    HINSTANCE instance_;
    std::wstring company_;
    std::wstring program_;
};

}  // namespace q407::framework
