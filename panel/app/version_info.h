// The version record the panel keeps for the About box: the numbers of the driver or the
// firmware and their texts. It is stored inside the panel's settings record, so its layout is a
// storage format.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q407::panel {

enum VersionKind : int32_t {
    kVersionAlpha = 1,
    kVersionBeta = 2,
    kVersionCandidate = 3,
    kVersionRelease = 4,
};

struct VersionInfo {
    int32_t major;
    int32_t minor;
    int32_t kind;  // VersionKind; any other value is a development build
    int32_t build;
    char letter;         // one-character tag shown in brackets
    char text[64];       // formatted version, NUL-terminated
    char shortText[16];  // "major.minor  (letter)", firmware only
    uint8_t padding[3];
};

static_assert(sizeof(VersionInfo) == 100);
static_assert(offsetof(VersionInfo, major) == 0);
static_assert(offsetof(VersionInfo, minor) == 4);
static_assert(offsetof(VersionInfo, kind) == 8);
static_assert(offsetof(VersionInfo, build) == 12);
static_assert(offsetof(VersionInfo, letter) == 16);
static_assert(offsetof(VersionInfo, text) == 17);
static_assert(offsetof(VersionInfo, shortText) == 81);
static_assert(offsetof(VersionInfo, padding) == 97);

// Fills `text`: "1.4" for a plain release, "1.04b2" style (major, two-digit minor, suffix a, b,
// rc or d, build) for anything else.
void FormatVersionText(VersionInfo* info);
// Fills `shortText` as the firmware shows it: "1.3  (B)".
void FormatShortText(VersionInfo* info);

}  // namespace q407::panel
