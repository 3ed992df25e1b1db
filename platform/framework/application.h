// The program object: its instance, and its settings profile in the current user's registry,
// HKCU\Software\<company>\<program>\<section>, each setting a binary value. The program's name
// is its executable's base name unless set otherwise (tests use their own).
//
// Wide texts are kept in plain WCHAR arrays: in a winelib build WCHAR is 2 bytes while the C++
// library's wide strings assume 4, so std::wstring is not used.
#pragma once

#include "platform/framework/profile_store.h"
#include "platform/framework/window.h"

namespace q407::framework {

inline constexpr int kProfileNameChars = 128;
// Software\company\program\section fits a registry key path (255 characters).
inline constexpr int kProfileKeyChars = 256;

class Application : public ProfileStore {
  public:
    explicit Application(HINSTANCE instance = nullptr);

    HINSTANCE Instance() const { return instance_; }
    // The company key under Software; the profile is not used until one is set. False (nothing
    // changed) for a name that is empty, too long or holds a backslash.
    bool SetRegistryKey(const WCHAR* company);
    // Overrides the program name of the profile's key; the same rules.
    bool SetProfileName(const WCHAR* name);
    const WCHAR* ProfileName() const { return program_; }
    // "Software\<company>\<program>" into path (kProfileKeyChars); false without a company or
    // a program name.
    bool ProfileKeyPath(WCHAR* path) const;

    bool ReadBinary(const char* section, const char* entry, std::vector<uint8_t>& value) override;
    bool WriteBinary(const char* section, const char* entry, const uint8_t* data,
                     size_t size) override;

    // The base name of a module path into name (kProfileNameChars): "C:\Program
    // Files\Q407\Q407Pan.exe" gives "Q407Pan", a winelib program's "Q407Pan.exe.so" too.
    static void BaseNameOf(const WCHAR* path, WCHAR* name);

  private:
    HKEY OpenSection(const char* section, bool create) const;

    HINSTANCE instance_;
    WCHAR company_[kProfileNameChars] = {};
    WCHAR program_[kProfileNameChars] = {};
};

}  // namespace q407::framework
