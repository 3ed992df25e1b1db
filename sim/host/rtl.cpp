// Run-time library: counted strings, bounded formatting, the version query and debug print.
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <mutex>
#include <string>

#include "platform/kernel/wdk.h"
#include "sim/host/trace_log.h"
#include "sim/host/verifier.h"
#include "sim/host/windows_version.h"

namespace q407::sim {
namespace {
std::mutex g_versionMutex;
WindowsVersion g_version;
}  // namespace

void SetWindowsVersion(const WindowsVersion& version) {
    std::lock_guard lock(g_versionMutex);
    g_version = version;
}

WindowsVersion CurrentWindowsVersion() {
    std::lock_guard lock(g_versionMutex);
    return g_version;
}

}  // namespace q407::sim

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = wcslen(SourceString) * sizeof(WCHAR);
    const size_t limit = 0xFFFC - sizeof(WCHAR);
    if (bytes > limit) bytes = limit / sizeof(WCHAR) * sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength;
    bytes = static_cast<USHORT>(bytes / sizeof(WCHAR) * sizeof(WCHAR));
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    const size_t n1 = String1->Length / sizeof(WCHAR);
    const size_t n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        wint_t c1 = static_cast<wint_t>(String1->Buffer[i]);
        wint_t c2 = static_cast<wint_t>(String2->Buffer[i]);
        if (CaseInSensitive) {
            c1 = towupper(c1);
            c2 = towupper(c2);
        }
        if (c1 != c2) return c1 < c2 ? -1 : 1;
    }
    if (n1 == n2) return 0;
    return n1 < n2 ? -1 : 1;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

namespace {

// Windows spellings that the host's printf lacks: %ws and %hs.
std::wstring HostFormat(PCWSTR format) {
    std::wstring out;
    for (const WCHAR* p = format; *p != 0; ++p) {
        out += *p;
        if (*p != L'%') continue;
        ++p;
        if (*p == 0) break;
        if (*p == L'%') {
            out += *p;
            continue;
        }
        while (*p != 0 && wcschr(L"-+ #0123456789.*", *p) != nullptr) out += *p++;
        if (p[0] == L'w' && p[1] == L's') {
            out += L"ls";
            ++p;
        } else if (p[0] == L'h' && p[1] == L's') {
            out += L"s";
            ++p;
        } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            out += L"ll";
            p += 2;
        } else if (*p != 0) {
            out += *p;
        } else {
            break;
        }
    }
    return out;
}

NTSTATUS FormatWide(PWSTR destination, SIZE_T cch, PCWSTR format, va_list args) {
    if (destination == nullptr || cch == 0) return STATUS_INVALID_PARAMETER;
    const std::wstring hostFormat = HostFormat(format);
    std::wstring buffer(256, L'\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int n = vswprintf(buffer.data(), buffer.size(), hostFormat.c_str(), copy);
        va_end(copy);
        if (n >= 0) {
            buffer.resize(size_t(n));
            break;
        }
        if (buffer.size() >= 65536) return STATUS_INVALID_PARAMETER;
        buffer.resize(buffer.size() * 4);
    }
    if (buffer.size() < cch) {
        wmemcpy(destination, buffer.c_str(), buffer.size() + 1);
        return STATUS_SUCCESS;
    }
    wmemcpy(destination, buffer.c_str(), cch - 1);
    destination[cch - 1] = 0;
    return STATUS_BUFFER_OVERFLOW;
}

}  // namespace

NTSTATUS RtlStringCchPrintfW(PWSTR Destination, SIZE_T CchDestination, PCWSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    const NTSTATUS s = FormatWide(Destination, CchDestination, Format, args);
    va_end(args);
    return s;
}

NTSTATUS RtlStringCchPrintfA(char* Destination, SIZE_T CchDestination, PCSTR Format, ...) {
    if (Destination == nullptr || CchDestination == 0) return STATUS_INVALID_PARAMETER;
    va_list args;
    va_start(args, Format);
    const int n = vsnprintf(Destination, CchDestination, Format, args);
    va_end(args);
    if (n < 0) return STATUS_INVALID_PARAMETER;
    return size_t(n) < CchDestination ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR Format, ...) {
    const SIZE_T cch = DestinationString->MaximumLength / sizeof(WCHAR);
    if (cch == 0) return STATUS_BUFFER_OVERFLOW;
    // The counted string needs no terminator, so format into one more character and count.
    std::wstring scratch(cch + 1, L'\0');
    va_list args;
    va_start(args, Format);
    NTSTATUS s = FormatWide(scratch.data(), cch + 1, Format, args);
    va_end(args);
    if (s == STATUS_INVALID_PARAMETER) return s;
    size_t length = wcslen(scratch.c_str());
    if (length > cch) {
        length = cch;
        s = STATUS_BUFFER_OVERFLOW;
    }
    wmemcpy(DestinationString->Buffer, scratch.c_str(), length);
    DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    return s;
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation) {
    if (VersionInformation == nullptr ||
        VersionInformation->dwOSVersionInfoSize < sizeof(RTL_OSVERSIONINFOW))
        return STATUS_INVALID_PARAMETER;
    const auto v = q407::sim::CurrentWindowsVersion();
    VersionInformation->dwMajorVersion = v.major;
    VersionInformation->dwMinorVersion = v.minor;
    VersionInformation->dwBuildNumber = v.build;
    VersionInformation->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
    VersionInformation->szCSDVersion[0] = 0;
    return STATUS_SUCCESS;
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    // The WDM version that each Windows version provides.
    const auto v = q407::sim::CurrentWindowsVersion();
    unsigned wdm;  // major << 8 | minor
    if (v.major >= 10)
        wdm = 0x0604;
    else if (v.major == 6)
        wdm = 0x0600 + (v.minor >= 2 ? v.minor : 0);
    else if (v.major == 5 && v.minor >= 2)
        wdm = 0x0130;
    else if (v.major == 5 && v.minor == 1)
        wdm = 0x0120;
    else if (v.major == 5)
        wdm = 0x0110;
    else
        wdm = 0x0100;
    return (unsigned(MajorVersion) << 8 | MinorVersion) <= wdm ? TRUE : FALSE;
}

// --- Debug output ---------------------------------------------------------------------------

static ULONG Print(ULONG component, ULONG level, PCSTR format, va_list args) {
    char buffer[512];  // the kernel's limit for one debug print
    vsnprintf(buffer, sizeof buffer, format, args);
    q407::sim::TraceLog::Instance().AppendKernel(component, level, buffer);
    return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    const ULONG r = Print(ComponentId, Level, Format, args);
    va_end(args);
    return r;
}

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    const ULONG r = Print(101 /* DPFLTR_DEFAULT_ID */, DPFLTR_INFO_LEVEL, Format, args);
    va_end(args);
    return r;
}
