#include "sim/host/registry_store.h"

#include <cwctype>
#include <fstream>
#include <sstream>

#include "sim/host/io_internal.h"
#include "sim/host/io_manager.h"
#include "sim/host/object_manager.h"
#include "sim/host/verifier.h"

namespace q407::sim {
namespace {

std::wstring Lower(const std::wstring& s) {
    std::wstring r = s;
    for (auto& c : r) c = static_cast<wchar_t>(towlower(static_cast<wint_t>(c)));
    return r;
}

std::string HexOfWide(const std::wstring& s) {
    std::ostringstream out;
    out << std::hex;
    for (wchar_t c : s) {
        out.width(8);
        out.fill('0');
        out << static_cast<uint32_t>(c);
    }
    return s.empty() ? "-" : out.str();
}

bool WideOfHex(const std::string& hex, std::wstring* s) {
    s->clear();
    if (hex == "-") return true;
    if (hex.size() % 8 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 8) {
        try {
            s->push_back(static_cast<wchar_t>(std::stoul(hex.substr(i, 8), nullptr, 16)));
        } catch (...) {
            return false;
        }
    }
    return true;
}

std::string HexOfBytes(const std::vector<UCHAR>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (UCHAR b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return bytes.empty() ? "-" : out;
}

bool BytesOfHex(const std::string& hex, std::vector<UCHAR>* bytes) {
    bytes->clear();
    if (hex == "-") return true;
    if (hex.size() % 2 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            return -1;
        };
        const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes->push_back(static_cast<UCHAR>(hi << 4 | lo));
    }
    return true;
}

constexpr const char* kFileHeader = "Q407-REGISTRY 1";

// --- Key handles --------------------------------------------------------------------------

struct KeyObject {
    std::wstring* path;
    ACCESS_MASK access;
};

void DestroyKey(void* body) {
    delete static_cast<KeyObject*>(body)->path;
}

const ObjectOps kKeyOps{&kKeyType, POOL_TAG("Key "), nullptr, DestroyKey};

NTSTATUS ReferenceKey(HANDLE handle, ACCESS_MASK needed, KeyObject** key) {
    PVOID object;
    if (handle == nullptr) return STATUS_INVALID_HANDLE;
    void* body;
    if (!HandlesFor(handle).Reference(handle, &body, nullptr)) return STATUS_INVALID_HANDLE;
    object = body;
    if (ObjectType(object) != &kKeyType) {
        ObDereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto* k = static_cast<KeyObject*>(object);
    if ((k->access & needed) != needed) {
        ObDereferenceObject(object);
        return STATUS_ACCESS_DENIED;
    }
    *key = k;
    return STATUS_SUCCESS;
}

std::wstring NameOf(PUNICODE_STRING name) {
    if (name == nullptr || name->Buffer == nullptr) return std::wstring();
    return std::wstring(name->Buffer, name->Length / sizeof(WCHAR));
}

}  // namespace

RegistryStore& RegistryStore::Instance() {
    static auto* store = new RegistryStore();
    return *store;
}

void RegistryStore::SetValue(const std::wstring& keyPath, const std::wstring& name, ULONG type,
                             std::vector<UCHAR> data) {
    std::lock_guard lock(mutex_);
    Key& key = keys_[Lower(keyPath)];
    if (key.path.empty()) key.path = keyPath;
    Value& v = key.values[Lower(name)];
    v.name = name;
    v.value.type = type;
    v.value.data = std::move(data);
}

std::optional<RegistryValue> RegistryStore::QueryValue(const std::wstring& keyPath,
                                                       const std::wstring& name) const {
    std::lock_guard lock(mutex_);
    auto key = keys_.find(Lower(keyPath));
    if (key == keys_.end()) return std::nullopt;
    auto v = key->second.values.find(Lower(name));
    if (v == key->second.values.end()) return std::nullopt;
    return v->second.value;
}

bool RegistryStore::KeyExists(const std::wstring& keyPath) const {
    std::lock_guard lock(mutex_);
    return keys_.count(Lower(keyPath)) != 0;
}

void RegistryStore::CreateKey(const std::wstring& keyPath) {
    std::lock_guard lock(mutex_);
    Key& key = keys_[Lower(keyPath)];
    if (key.path.empty()) key.path = keyPath;
}

bool RegistryStore::DeleteValue(const std::wstring& keyPath, const std::wstring& name) {
    std::lock_guard lock(mutex_);
    auto key = keys_.find(Lower(keyPath));
    return key != keys_.end() && key->second.values.erase(Lower(name)) != 0;
}

std::vector<std::wstring> RegistryStore::ValueNames(const std::wstring& keyPath) const {
    std::lock_guard lock(mutex_);
    std::vector<std::wstring> names;
    auto key = keys_.find(Lower(keyPath));
    if (key != keys_.end())
        for (auto& [lower, v] : key->second.values) names.push_back(v.name);
    return names;
}

void RegistryStore::Clear() {
    std::lock_guard lock(mutex_);
    keys_.clear();
}

bool RegistryStore::SaveToFile(const std::string& path) const {
    std::ofstream out(path, std::ios::trunc);
    if (!out) return false;
    std::lock_guard lock(mutex_);
    out << kFileHeader << "\n";
    for (auto& [lower, key] : keys_) {
        out << "K " << HexOfWide(key.path) << "\n";
        for (auto& [n, v] : key.values)
            out << "V " << HexOfWide(v.name) << " " << v.value.type << " "
                << HexOfBytes(v.value.data) << "\n";
    }
    out.flush();
    return static_cast<bool>(out);
}

bool RegistryStore::LoadFromFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    if (!std::getline(in, line) || line != kFileHeader) return false;
    std::map<std::wstring, Key> keys;
    Key* current = nullptr;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind;
        if (kind == "K") {
            std::string hex;
            std::wstring keyPath;
            if (!(fields >> hex) || !WideOfHex(hex, &keyPath)) return false;
            current = &keys[Lower(keyPath)];
            current->path = keyPath;
        } else if (kind == "V" && current != nullptr) {
            std::string nameHex, dataHex;
            ULONG type;
            Value v;
            if (!(fields >> nameHex >> type >> dataHex) || !WideOfHex(nameHex, &v.name) ||
                !BytesOfHex(dataHex, &v.value.data))
                return false;
            v.value.type = type;
            current->values[Lower(v.name)] = std::move(v);
        } else if (!kind.empty()) {
            return false;
        }
    }
    std::lock_guard lock(mutex_);
    keys_ = std::move(keys);
    return true;
}

std::wstring DeviceRegistryKeyPath(PDEVICE_OBJECT physicalDevice, ULONG devInstKeyType) {
    std::wstring instance;
    if (!PhysicalInstancePath(physicalDevice, &instance)) return std::wstring();
    const ULONG kind = devInstKeyType & (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER);
    if (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER) return std::wstring();
    std::wstring path = L"\\Registry\\Machine\\System\\CurrentControlSet\\";
    if ((devInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0)
        path += L"Hardware Profiles\\Current\\System\\CurrentControlSet\\";
    if (kind == PLUGPLAY_REGKEY_DEVICE)
        path += L"Enum\\" + instance + L"\\Device Parameters";
    else
        path += L"Control\\Class\\" + instance;
    return path;
}

}  // namespace q407::sim

using namespace q407::sim;

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    RequirePassive("IoOpenDeviceRegistryKey");
    *DevInstRegKey = nullptr;
    std::wstring instance;
    if (!IsDeviceObject(DeviceObject) || !PhysicalInstancePath(DeviceObject, &instance))
        BugCheck("IoOpenDeviceRegistryKey", "not a physical device object");
    const std::wstring path = DeviceRegistryKeyPath(DeviceObject, DevInstKeyType);
    if (path.empty()) return STATUS_INVALID_PARAMETER;
    auto* key = static_cast<KeyObject*>(CreateObject(&kKeyOps, sizeof(KeyObject)));
    if (key == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    key->path = new std::wstring(path);
    key->access = DesiredAccess;
    RegistryStore::Instance().CreateKey(path);
    *DevInstRegKey = KernelHandles().Insert(key, DesiredAccess);
    ObDereferenceObject(key);
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
    (void)TitleIndex;
    RequirePassive("ZwSetValueKey");
    KeyObject* key;
    NTSTATUS status = ReferenceKey(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    if (Data == nullptr && DataSize != 0) {
        ObDereferenceObject(key);
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<UCHAR> bytes(static_cast<const UCHAR*>(Data),
                             static_cast<const UCHAR*>(Data) + (Data != nullptr ? DataSize : 0));
    RegistryStore::Instance().SetValue(*key->path, NameOf(ValueName), Type, std::move(bytes));
    ObDereferenceObject(key);
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    RequirePassive("ZwQueryValueKey");
    if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
    *ResultLength = 0;
    KeyObject* key;
    NTSTATUS status = ReferenceKey(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) return status;
    const std::wstring path = *key->path;
    ObDereferenceObject(key);
    if (KeyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
    auto value = RegistryStore::Instance().QueryValue(path, NameOf(ValueName));
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    const ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    const ULONG dataLength = static_cast<ULONG>(value->data.size());
    *ResultLength = fixed + dataLength;
    if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
    if (KeyValueInformation == nullptr) return STATUS_INVALID_PARAMETER;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
    info->TitleIndex = 0;
    info->Type = value->type;
    info->DataLength = dataLength;
    const ULONG room = Length - fixed;
    const ULONG copied = room < dataLength ? room : dataLength;
    if (copied != 0) memcpy(info->Data, value->data.data(), copied);
    return copied < dataLength ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}
