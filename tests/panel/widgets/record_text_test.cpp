#include "panel/widgets/record_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RecordText, CutsToTheFieldAndTerminates) {
    char16_t field[64];
    std::u16string hundred;
    for (int i = 0; i < 100; ++i) {
        hundred.push_back(char16_t(u'0' + i % 10));
    }
    CopyRecordText(field, hundred.c_str());
    EXPECT_EQ(RecordTextLength(field), 63u);
    EXPECT_EQ(std::u16string(field), hundred.substr(0, 63));

    CopyRecordText(field, u"7");
    EXPECT_EQ(std::u16string(field), u"7");
    CopyRecordText(field, static_cast<const char16_t*>(nullptr));
    EXPECT_EQ(RecordTextLength(field), 0u);
}

TEST(RecordText, LengthOfAnUnterminatedFieldStopsAtItsEnd) {
    char field[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(RecordTextLength(field), 4u);
}

}  // namespace
