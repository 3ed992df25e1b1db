// Basic NT kernel types with the widths Windows gives them (LLP64), independent of the host ABI.
#pragma once

#include <cstddef>
#include <cstdint>

using VOID = void;
using PVOID = void*;
using CHAR = char;
using UCHAR = std::uint8_t;
using PUCHAR = UCHAR*;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using PUSHORT = USHORT*;
using LONG = std::int32_t;
using PLONG = LONG*;
using ULONG = std::uint32_t;
using PULONG = ULONG*;
using LONG64 = std::int64_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG64 = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using PULONG_PTR = ULONG_PTR*;
using LONG_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using BOOLEAN = UCHAR;
using PBOOLEAN = BOOLEAN*;
using WCHAR = wchar_t;  // 16-bit on Windows; only ever used for names, never in shared records
using PWCH = WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using PCSTR = const char*;
using NTSTATUS = LONG;
using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using KPRIORITY = LONG;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using ACCESS_MASK = ULONG;
using KPROCESSOR_MODE = CHAR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

// One GUID record for kernel and user-mode declarations, guarded as guiddef.h guards it.
#ifndef GUID_DEFINED
#define GUID_DEFINED
struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
#endif
using LPGUID = GUID*;
using LPCGUID = const GUID*;
inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

enum MODE : CHAR { KernelMode = 0, UserMode = 1 };

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define PAGE_SIZE 0x1000
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

#define UNREFERENCED_PARAMETER(P) ((void)(P))
