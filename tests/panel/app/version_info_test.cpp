// The version texts of the About box, for every kind, and their bounds.
#include "panel/app/version_info.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace q407::panel {
namespace {

VersionInfo Make(int32_t major, int32_t minor, int32_t kind, int32_t build, char letter = 'x') {
    VersionInfo v{};
    v.major = major;
    v.minor = minor;
    v.kind = kind;
    v.build = build;
    v.letter = letter;
    return v;
}

TEST(VersionTextTest, ReleasesShowTwoNumbersOthersASuffixAndTheBuild) {
    const struct {
        VersionInfo info;
        const char* text;
    } cases[] = {
        {Make(1, 4, kVersionRelease, 7), "1.4"},
        {Make(1, 4, kVersionAlpha, 7), "1.04a7"},
        {Make(2, 15, kVersionBeta, 3), "2.15b3"},
        {Make(3, 0, kVersionCandidate, 12), "3.00rc12"},
        {Make(3, 1, 0, 5), "3.01d5"},
        {Make(3, 1, 99, 5), "3.01d5"},
        {Make(3, 1, -1, 5), "3.01d5"},
    };
    for (auto c : cases) {
        std::memset(c.info.text, 'Z', sizeof(c.info.text));
        FormatVersionText(&c.info);
        EXPECT_STREQ(c.info.text, c.text);
    }
}

TEST(VersionTextTest, ShortTextHasTwoSpacesBeforeTheBracketedLetter) {
    VersionInfo v = Make(1, 3, kVersionRelease, 9, 'B');
    FormatShortText(&v);
    EXPECT_STREQ(v.shortText, "1.3  (B)");
}

TEST(VersionTextTest, ExtremeNumbersStayInsideTheirFields) {
    VersionInfo v = Make(INT_MIN, INT_MIN, kVersionCandidate, INT_MIN, 'Q');
    std::memset(v.padding, 0xA5, sizeof(v.padding));
    FormatVersionText(&v);
    FormatShortText(&v);
    EXPECT_EQ(std::string(v.text), "-2147483648.-2147483648rc-2147483648");
    // 16 bytes hold 15 characters and the terminator.
    EXPECT_EQ(std::strlen(v.shortText), sizeof(v.shortText) - 1);
    EXPECT_EQ(std::string(v.shortText), std::string("-2147483648.-21"));
    for (uint8_t b : v.padding) EXPECT_EQ(b, 0xA5);
}

}  // namespace
}  // namespace q407::panel
