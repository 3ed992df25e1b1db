// Run-time library: memory helpers, counted strings, version query, debug print.
#pragma once

#include <cstdarg>
#include <cstring>

#include "nt_types.h"
#include "ntstatus_values.h"

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
// Number of leading bytes that are equal.
SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length);

struct UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PWCH Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive);
// Frees a string whose buffer the system allocated (IoRegisterDeviceInterface and the like).
void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
// Bounded wide-string formatting (printf conventions: %ls, %d, %x, ...). Fails with
// STATUS_BUFFER_OVERFLOW when truncated; the result is always terminated.
NTSTATUS RtlStringCchPrintfW(PWSTR Destination, SIZE_T CchDestination, PCWSTR Format, ...);
NTSTATUS RtlStringCchPrintfA(char* Destination, SIZE_T CchDestination, PCSTR Format, ...);
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR Format, ...);

struct RTL_OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
};
using PRTL_OSVERSIONINFOW = RTL_OSVERSIONINFOW*;
NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation);

// --- Debug output -----------------------------------------------------------------------------
#define DPFLTR_IHVAUDIO_ID 79
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
    __attribute__((format(printf, 3, 4)));
ULONG DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));
