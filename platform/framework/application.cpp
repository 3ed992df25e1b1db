#include "platform/framework/application.h"

namespace q407::framework {
namespace {

// Section and entry names are plain ASCII/UTF-8 in the program; the registry wants wide ones.
bool Widen(const char* text, WCHAR* wide, int capacity) {
    if (text == nullptr || text[0] == '\0') return false;
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, capacity) > 0;
}

bool EndsWith(const WCHAR* text, int length, const WCHAR* suffix) {
    const int n = lstrlenW(suffix);
    if (length < n) return false;
    return CompareStringOrdinal(text + (length - n), n, suffix, n, TRUE) == CSTR_EQUAL;
}

// A key name: not empty, no backslash, short enough.
bool CopyName(const WCHAR* name, WCHAR* into) {
    if (name == nullptr) return false;
    const int length = lstrlenW(name);
    if (length == 0 || length >= kProfileNameChars) return false;
    for (int i = 0; i < length; ++i) {
        if (name[i] == L'\\') return false;
    }
    lstrcpynW(into, name, kProfileNameChars);
    return true;
}

bool Append(WCHAR* path, const WCHAR* part) {
    if (lstrlenW(path) + lstrlenW(part) >= kProfileKeyChars) return false;
    lstrcatW(path, part);
    return true;
}

}  // namespace

Application::Application(HINSTANCE instance)
    : instance_(instance != nullptr ? instance : GetModuleHandleW(nullptr)) {
    WCHAR path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) BaseNameOf(path, program_);
}

bool Application::SetRegistryKey(const WCHAR* company) {
    return CopyName(company, company_);
}

bool Application::SetProfileName(const WCHAR* name) {
    return CopyName(name, program_);
}

bool Application::ProfileKeyPath(WCHAR* path) const {
    path[0] = L'\0';
    if (company_[0] == L'\0' || program_[0] == L'\0') return false;
    return Append(path, L"Software\\") && Append(path, company_) && Append(path, L"\\") &&
           Append(path, program_);
}

void Application::BaseNameOf(const WCHAR* path, WCHAR* name) {
    const WCHAR* start = path;
    for (const WCHAR* p = path; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'/') start = p + 1;
    }
    lstrcpynW(name, start, kProfileNameChars);
    int length = lstrlenW(name);
    if (EndsWith(name, length, L".so")) length -= 3;
    name[length] = L'\0';
    if (EndsWith(name, length, L".exe")) length -= 4;
    name[length] = L'\0';
}

HKEY Application::OpenSection(const char* section, bool create) const {
    WCHAR path[kProfileKeyChars];
    WCHAR name[kProfileNameChars];
    if (!ProfileKeyPath(path) || !Widen(section, name, kProfileNameChars) || !Append(path, L"\\") ||
        !Append(path, name))
        return nullptr;
    HKEY key = nullptr;
    LONG status;
    if (create) {
        status = RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    } else {
        status = RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key);
    }
    return status == ERROR_SUCCESS ? key : nullptr;
}

bool Application::ReadBinary(const char* section, const char* entry, std::vector<uint8_t>& value) {
    value.clear();
    WCHAR name[kProfileNameChars];
    if (!Widen(entry, name, kProfileNameChars)) return false;
    HKEY key = OpenSection(section, false);
    if (key == nullptr) return false;
    DWORD type = 0;
    DWORD size = 0;
    bool ok = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
              type == REG_BINARY;
    if (ok && size > 0) {
        value.assign(size, 0);
        DWORD got = size;
        // The value may change between the two queries: only what fits is taken.
        ok = RegQueryValueExW(key, name, nullptr, &type, value.data(), &got) == ERROR_SUCCESS &&
             type == REG_BINARY && got <= size;
        if (ok) value.resize(got);
    }
    RegCloseKey(key);
    if (!ok) value.clear();
    return ok;
}

bool Application::WriteBinary(const char* section, const char* entry, const uint8_t* data,
                              size_t size) {
    WCHAR name[kProfileNameChars];
    if (size > 0xFFFFFFFFu || (data == nullptr && size != 0) ||
        !Widen(entry, name, kProfileNameChars))
        return false;
    HKEY key = OpenSection(section, true);
    if (key == nullptr) return false;
    const bool ok =
        RegSetValueExW(key, name, 0, REG_BINARY, data, static_cast<DWORD>(size)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

}  // namespace q407::framework
