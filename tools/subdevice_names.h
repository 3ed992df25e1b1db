// The names the installation gives Q407WDM's subdevices and mixer lines: the kernel-streaming
// name each subdevice registers under, and the display name a user sees for it. The Windows
// install file (windows/install/Q407WDM.inf) carries the same table; the install checks compare
// the two, so that the bench's listings and an installed system agree.
#pragma once

#include <string_view>

namespace q407::tools {

struct SubdeviceName {
    std::wstring_view ksName;      // the reference string the driver registers
    std::string_view displayName;  // the interface's FriendlyName
};

inline constexpr SubdeviceName kSubdeviceNames[] = {
    {L"ZEL_Wave1", "ZEL Q407 LX Out/In 1/2"},
    {L"ZEL_Mixer1", "ZEL Q407 LX Mixer 1/2"},
    {L"ZEL_Wave2", "ZEL Q407 LX Out/In 3/4"},
    {L"ZEL_Mixer2", "ZEL Q407 LX Mixer 3/4"},
    {L"ZEL_Wave3", "ZEL Q407 LX Out/In 5/6"},
    {L"ZEL_Mixer3", "ZEL Q407 LX Mixer 5/6"},
    {L"ZEL_Wave4", "ZEL Q407 LX Out/In 7/8"},
    {L"ZEL_Mixer4", "ZEL Q407 LX Mixer 7/8"},
    {L"ZEL_Wave5", "ZEL Q407 LX In 9/10"},
    {L"ZEL_Mixer5", "ZEL Q407 LX Mixer In 9/10"},
    {L"ZEL_Wave6", "ZEL Q407 LX In 11/12"},
    {L"ZEL_Mixer6", "ZEL Q407 LX Mixer In 11/12"},
    {L"ZEL_Wave7", "ZEL Q407 LX In 13/14"},
    {L"ZEL_Mixer7", "ZEL Q407 LX Mixer In 13/14"},
    {L"ZEL_Wave8", "ZEL Q407 LX In 15/16"},
    {L"ZEL_Mixer8", "ZEL Q407 LX Mixer In 15/16"},
    {L"ZEL_Wave9", "ZEL Q407 LX Multichannel Out 1-8"},
    {L"ZEL_Mixer9", "ZEL Q407 LX Mixer Multichannel"},
    {L"ZEL_Midi1", "ZEL Q407 LX MIDI"},
};

// The mixer lines' name GUIDs (one per wave/mixer pair, in subdevice order) and what the
// installation names them.
struct LineName {
    std::string_view nameGuid;
    std::string_view displayName;
};

inline constexpr LineName kLineNames[] = {
    {"{83207A80-3144-40FB-8F8D-2FF67CA62F73}", "Q407 LX Line 1/2"},
    {"{BEDCB5D1-A663-47D5-80EE-D1813A622ED3}", "Q407 LX Line 3/4"},
    {"{54298883-557C-4846-AB7E-7D65E109BFA3}", "Q407 LX Line 5/6"},
    {"{A5BA3BA4-2A2E-48D6-83B4-5D810DB25564}", "Q407 LX Line 7/8"},
    {"{EAD27079-38FE-4994-B7AD-FB4163E8E9CD}", "Q407 LX Line In 9/10"},
    {"{DA1DC178-D4B0-4F8B-A47D-ACE6F785CDC5}", "Q407 LX Line In 11/12"},
    {"{ED24B2D1-53D1-43B7-9000-485444B3D2DB}", "Q407 LX Line In 13/14"},
    {"{0A1BDD7C-0C3C-419A-936E-64C9318EEA3A}", "Q407 LX Line In 15/16"},
    {"{766EB1BE-84F1-4F65-AB21-34C6A9C9E4F5}", "Q407 LX Multichannel Out"},
};

// The display name of a subdevice, or empty when the installation does not name it.
constexpr std::string_view DisplayNameOf(std::wstring_view ksName) {
    for (const SubdeviceName& n : kSubdeviceNames)
        if (n.ksName == ksName) return n.displayName;
    return {};
}

}  // namespace q407::tools
