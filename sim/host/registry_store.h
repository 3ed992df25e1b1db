// The machine's registry: keys by path, each with named, typed values. Kept in memory; saved to
// and loaded from a file so that settings survive a simulated restart.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/wdk.h"

namespace q407::sim {

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};

class RegistryStore {
  public:
    static RegistryStore& Instance();

    // Paths and value names are case-insensitive ("\Registry\Machine\System\...").
    void SetValue(const std::wstring& keyPath, const std::wstring& name, ULONG type,
                  std::vector<UCHAR> data);
    std::optional<RegistryValue> QueryValue(const std::wstring& keyPath,
                                            const std::wstring& name) const;
    bool KeyExists(const std::wstring& keyPath) const;
    void CreateKey(const std::wstring& keyPath);
    bool DeleteValue(const std::wstring& keyPath, const std::wstring& name);
    std::vector<std::wstring> ValueNames(const std::wstring& keyPath) const;
    void Clear();

    // False when the file cannot be written or read (or is not a registry file); loading replaces
    // the whole contents.
    bool SaveToFile(const std::string& path) const;
    bool LoadFromFile(const std::string& path);

  private:
    RegistryStore() = default;
    struct Value {
        std::wstring name;
        RegistryValue value;
    };
    struct Key {
        std::wstring path;
        std::map<std::wstring, Value> values;  // by lower-case name
    };
    mutable std::mutex mutex_;
    std::map<std::wstring, Key> keys_;  // by lower-case path
};

// The key that IoOpenDeviceRegistryKey opens for a physical device (PLUGPLAY_REGKEY_* flags);
// empty for an invalid combination.
std::wstring DeviceRegistryKeyPath(PDEVICE_OBJECT physicalDevice, ULONG devInstKeyType);

}  // namespace q407::sim
