#include "tonepresets.h"

#include <gtest/gtest.h>

TEST(TonePresets, Zvei2DiffersFromZvei1OnlyInRepeatDigit)
{
    const auto zvei1 = TonePreset(0), zvei2 = TonePreset(1);
    ASSERT_TRUE(zvei1 && zvei2);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ((*zvei1)[i], (*zvei2)[i]) << i;
    EXPECT_EQ((*zvei1)[10], "2600");
    EXPECT_EQ((*zvei2)[10], "970");
}

TEST(TonePresets, EeaAndCcirAreEqualAndOwnIsEmpty)
{
    EXPECT_EQ(*TonePreset(2), *TonePreset(3));
    EXPECT_EQ((*TonePreset(2))[0], "1124");
    EXPECT_EQ((*TonePreset(2))[10], "2110");
    const auto own = TonePreset(4);
    ASSERT_TRUE(own);
    for (const auto &text : *own)
        EXPECT_TRUE(text.empty());
}

TEST(TonePresets, NoSelectionHasNoPreset)
{
    EXPECT_FALSE(TonePreset(-1));
    EXPECT_FALSE(TonePreset(5));
}
