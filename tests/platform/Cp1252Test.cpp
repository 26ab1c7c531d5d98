#include "platform/Cp1252.h"

#include <gtest/gtest.h>

TEST(Cp1252, RoundTripsEveryByte) {
    std::string all;
    for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
    EXPECT_EQ(plat::Utf16ToCp1252(plat::Cp1252ToUtf16(all)), all);
}

TEST(Cp1252, MapsTheWindowsRangeAndReplacesWhatItCannotHold) {
    EXPECT_EQ(plat::Cp1252ToUtf16("\x80\xE4"), u"\u20AC\u00E4");
    EXPECT_EQ(plat::Utf16ToCp1252(u"\u20AC\u00DF\u4E2D"), "\x80\xDF?");
    EXPECT_EQ(plat::Utf16ToCp1252(u"a\U0001F600b"), "a?b");
}
