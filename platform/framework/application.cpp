#include "platform/framework/application.h"

#include <limits>

namespace q407::framework {
namespace {

// Section and entry names are plain ASCII/UTF-8 in the program; the registry wants wide ones.
std::wstring Widen(const char* text) {
    if (text == nullptr || text[0] == '\0') return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

bool EndsWith(const std::wstring& text, const wchar_t* suffix) {
    const std::wstring s(suffix);
    if (text.size() < s.size()) return false;
    return CompareStringOrdinal(text.c_str() + (text.size() - s.size()), static_cast<int>(s.size()),
                                s.c_str(), static_cast<int>(s.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

Application::Application(HINSTANCE instance)
    : instance_(instance != nullptr ? instance : GetModuleHandleW(nullptr)) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) program_ = BaseNameOf(std::wstring(path, length));
}

void Application::SetRegistryKey(const wchar_t* company) {
    company_ = company != nullptr ? company : L"";
}

void Application::SetProfileName(const wchar_t* name) {
    program_ = name != nullptr ? name : L"";
}

std::wstring Application::ProfileKeyPath() const {
    if (company_.empty() || program_.empty()) return std::wstring();
    return L"Software\\" + company_ + L"\\" + program_;
}

std::wstring Application::BaseNameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    if (EndsWith(name, L".so")) name.resize(name.size() - 3);
    if (EndsWith(name, L".exe")) name.resize(name.size() - 4);
    return name;
}

HKEY Application::OpenSection(const char* section, bool create) const {
    const std::wstring base = ProfileKeyPath();
    const std::wstring name = Widen(section);
    if (base.empty() || name.empty()) return nullptr;
    const std::wstring path = base + L"\\" + name;
    HKEY key = nullptr;
    LONG status;
    if (create) {
        status =
            RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    } else {
        status = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
    }
    return status == ERROR_SUCCESS ? key : nullptr;
}

bool Application::ReadBinary(const char* section, const char* entry, std::vector<uint8_t>& value) {
    HKEY key = OpenSection(section, false);
    if (key == nullptr) return false;
    const std::wstring name = Widen(entry);
    DWORD type = 0;
    DWORD size = 0;
    bool ok =
        RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_BINARY;
    if (ok) {
        value.assign(size, 0);
        DWORD got = size;
        ok = RegQueryValueExW(key, name.c_str(), nullptr, &type,
                              value.empty() ? nullptr : value.data(), &got) == ERROR_SUCCESS &&
             type == REG_BINARY && got <= size;
        if (ok) value.resize(got);
    }
    RegCloseKey(key);
    if (!ok) value.clear();
    return ok;
}

bool Application::WriteBinary(const char* section, const char* entry, const uint8_t* data,
                              size_t size) {
    if (size > std::numeric_limits<DWORD>::max() || (data == nullptr && size != 0)) return false;
    HKEY key = OpenSection(section, true);
    if (key == nullptr) return false;
    const std::wstring name = Widen(entry);
    const bool ok = RegSetValueExW(key, name.c_str(), 0, REG_BINARY, data,
                                   static_cast<DWORD>(size)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

}  // namespace q407::framework
