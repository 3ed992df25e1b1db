#include "panel/app/version_info.h"

#include <cstdio>

namespace q407::panel {

namespace {
const char* SuffixOf(int32_t kind) {
    switch (kind) {
        case kVersionAlpha:
            return "a";
        case kVersionBeta:
            return "b";
        case kVersionCandidate:
            return "rc";
        default:
            return "d";
    }
}
}  // namespace

void FormatVersionText(VersionInfo* info) {
    // snprintf bounds the text and always terminates it, whatever the numbers hold.
    if (info->kind == kVersionRelease) {
        std::snprintf(info->text, sizeof(info->text), "%d.%d", info->major, info->minor);
    } else {
        std::snprintf(info->text, sizeof(info->text), "%d.%02d%s%d", info->major, info->minor,
                      SuffixOf(info->kind), info->build);
    }
}

void FormatShortText(VersionInfo* info) {
    std::snprintf(info->shortText, sizeof(info->shortText), "%d.%d  (%c)", info->major, info->minor,
                  info->letter);
}

}  // namespace q407::panel
