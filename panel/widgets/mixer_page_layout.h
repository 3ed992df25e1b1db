// Where the mixer page's controls sit (client pixels of the page), their identifiers and
// pictures. Pairs of outputs repeat every 81 pixels; the tables give the first pair.
#pragma once

namespace q407::panel {

struct PageRect {
    int left;
    int top;
    int width;
    int height;
};

inline constexpr int kPageWidth = 657;  // the background less the dialog's 85 right columns
inline constexpr int kPageHeight = 263;
inline constexpr int kPairPitch = 81;

inline constexpr int kMuteFirstId = 12304;
inline constexpr int kLinkFirstId = 12320;
inline constexpr int kAnalogId = 12336;
inline constexpr int kDigitalId = 12337;
inline constexpr int kInternalClockId = 16400;
inline constexpr int kAutoClockId = 16401;
inline constexpr int kInputMeterId = 12352;
inline constexpr int kOutputMeterId = 12368;
inline constexpr int kFaderFirstId = 12384;
inline constexpr int kDbLabelFirstId = 12400;
inline constexpr int kCtlColorFirstId = 12336;
inline constexpr int kCtlColorLastId = 12351;

// Left edges of the left and right channel of the first pair, and the row of each kind.
struct PairColumns {
    int left;
    int right;
    int top;
    int width;
    int height;
};
inline constexpr PairColumns kMuteColumns{319, 375, 233, 23, 16};
inline constexpr PairColumns kOutputMeterColumns{333, 375, 55, 9, 145};
inline constexpr PairColumns kFaderColumns{345, 363, 47, 11, 161};
inline constexpr PairColumns kDbLabelColumns{321, 360, 213, 36, 12};
inline constexpr PageRect kFirstLink{342, 233, 33, 16};

// Output k's rectangle in a column table: even k on the left, odd on the right, pair k / 2.
constexpr PageRect OutputRect(const PairColumns& c, int k) {
    const int columns[2] = {c.left, c.right};
    return {columns[k % 2] + kPairPitch * (k / 2), c.top, c.width, c.height};
}
constexpr PageRect LinkRect(int pair) {
    return {kFirstLink.left + kPairPitch * pair, kFirstLink.top, kFirstLink.width,
            kFirstLink.height};
}
// Input meter i: 17 pixels apart, one more between pairs.
constexpr PageRect InputMeterRect(int i) {
    return {17 * i + 18 + i / 2, 55, 9, 145};
}

struct SourceButton {
    int id;
    PageRect rect;
    const wchar_t* normal;
    const wchar_t* selected;
    const wchar_t* disabled;
};
// Analog, S/PDIF, INTERNAL, AUTO, in creation order.
inline constexpr SourceButton kSourceButtons[4] = {
    {kAnalogId, {260, 219, 32, 14}, L"ANALOG_OFF", L"ANALOG_ON", nullptr},
    {kDigitalId, {260, 234, 32, 14}, L"DIGITAL_OFF", L"DIGITAL_ON", L"DIGITAL_DISABLED"},
    {kInternalClockId, {159, 234, 44, 14}, L"DIGITAL_INTERN_OFF", L"DIGITAL_INTERN_ON", nullptr},
    {kAutoClockId, {204, 234, 44, 14}, L"DIGITAL_AUTO_OFF", L"DIGITAL_AUTO_ON", nullptr},
};
// Mute pictures for even (left) and odd (right) outputs: off, on.
inline constexpr const wchar_t* kMutePictures[2][2] = {
    {L"BTN_MUTELEFT_OFF", L"BTN_MUTELEFT_ON"},
    {L"BTN_MUTERIGHT_OFF", L"BTN_MUTERIGHT_ON"},
};

}  // namespace q407::panel
