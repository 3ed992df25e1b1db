#include "panel/widgets/bitmap_cache_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Table = q407::panel::BitmapCacheTable<char16_t, int>;
using Outcome = Table::Outcome;

// A resource loader that knows a few names, counting its loads.
struct Loader {
    std::vector<std::u16string> loads;
    int next = 100;
    std::u16string missing = u"MISSING";

    auto For(const char16_t* name) {
        return [this, name] {
            loads.emplace_back(name);
            return loads.back() == missing ? 0 : next++;
        };
    }
};

std::u16string Name(int i) {
    return u"PIC" + std::u16string(1, char16_t(u'A' + i / 26)) +
           std::u16string(1, char16_t(u'a' + i % 26));
}

TEST(BitmapCacheTable, LoadsEachNameOnceAndMatchesCaseSensitively) {
    Table table;
    Loader loader;
    Table::Result first = table.Lookup(u"FP_JAK_N", loader.For(u"FP_JAK_N"));
    Table::Result again = table.Lookup(u"FP_JAK_N", loader.For(u"FP_JAK_N"));
    Table::Result other = table.Lookup(u"fp_jak_n", loader.For(u"fp_jak_n"));
    EXPECT_EQ(first.outcome, Outcome::kLoaded);
    EXPECT_EQ(again.outcome, Outcome::kFound);
    EXPECT_EQ(again.handle, first.handle);
    EXPECT_EQ(other.outcome, Outcome::kLoaded);
    EXPECT_NE(other.handle, first.handle);
    EXPECT_EQ(loader.loads, (std::vector<std::u16string>{u"FP_JAK_N", u"fp_jak_n"}));
    // A name that only starts like a kept one is another name.
    EXPECT_EQ(table.Lookup(u"FP_JAK", loader.For(u"FP_JAK")).outcome, Outcome::kLoaded);
}

TEST(BitmapCacheTable, MissingNameFailsOnceUntilItsEntryIsReused) {
    Table table;
    Loader loader;
    EXPECT_EQ(table.Lookup(u"MISSING", loader.For(u"MISSING")).outcome, Outcome::kLoadFailed);
    Table::Result second = table.Lookup(u"MISSING", loader.For(u"MISSING"));
    EXPECT_EQ(second.outcome, Outcome::kFound);
    EXPECT_EQ(second.handle, 0);
    EXPECT_EQ(loader.loads.size(), 1u);
    // The failed name's entry is the first free one: the next new name takes it over, after which
    // the missing name is loaded (and reported) again.
    EXPECT_EQ(table.Lookup(u"BAK", loader.For(u"BAK")).outcome, Outcome::kLoaded);
    EXPECT_EQ(table.NamedEntries(), 1u);
    EXPECT_EQ(table.Lookup(u"MISSING", loader.For(u"MISSING")).outcome, Outcome::kLoadFailed);
    EXPECT_EQ(loader.loads.size(), 3u);
}

TEST(BitmapCacheTable, RefusesNullAndOverlongNamesWithoutLoading) {
    Table table;
    Loader loader;
    EXPECT_EQ(table.Lookup(nullptr, loader.For(u"")).outcome, Outcome::kRefused);
    std::u16string longest(31, u'X');
    std::u16string tooLong(32, u'X');
    EXPECT_EQ(table.Lookup(tooLong.c_str(), loader.For(tooLong.c_str())).outcome,
              Outcome::kRefused);
    EXPECT_TRUE(loader.loads.empty());
    Table::Result kept = table.Lookup(longest.c_str(), loader.For(longest.c_str()));
    EXPECT_EQ(kept.outcome, Outcome::kLoaded);
    EXPECT_EQ(table.Lookup(longest.c_str(), loader.For(longest.c_str())).handle, kept.handle);
    EXPECT_EQ(loader.loads.size(), 1u);
}

TEST(BitmapCacheTable, FullTableRefusesNewNamesAndKeepsItsBitmaps) {
    Table table;
    Loader loader;
    std::vector<int> handles;
    for (int i = 0; i < 256; ++i) {
        std::u16string name = Name(i);
        Table::Result result = table.Lookup(name.c_str(), loader.For(name.c_str()));
        ASSERT_EQ(result.outcome, Outcome::kLoaded) << i;
        handles.push_back(result.handle);
    }
    Table::Result refused = table.Lookup(u"ONE_MORE", loader.For(u"ONE_MORE"));
    EXPECT_EQ(refused.outcome, Outcome::kRefused);
    EXPECT_EQ(refused.handle, 0);
    EXPECT_EQ(loader.loads.size(), 256u);
    for (int i = 0; i < 256; ++i) {
        std::u16string name = Name(i);
        EXPECT_EQ(table.Lookup(name.c_str(), loader.For(name.c_str())).handle, handles[i]);
    }
    table.Clear();
    EXPECT_EQ(table.NamedEntries(), 0u);
    EXPECT_EQ(table.Lookup(u"ONE_MORE", loader.For(u"ONE_MORE")).outcome, Outcome::kLoaded);
}

}  // namespace
