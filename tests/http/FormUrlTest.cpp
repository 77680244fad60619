#include <gtest/gtest.h>

#include "core/Text.h"
#include "http/FormUrl.h"

using namespace vx;

TEST(FormUrlEncode, ByteSets) {
    EXPECT_EQ(FormUrlEncode(""), "");
    EXPECT_EQ(FormUrlEncode("ShowForm?a"), "ShowForm%3Fa");
    EXPECT_EQ(FormUrlEncode("a b"), "a+b");
    EXPECT_EQ(FormUrlEncode("AZaz09!$'()*-.@_"), "AZaz09!$'()*-.@_");
    EXPECT_EQ(FormUrlEncode("/:?&=+%#~,;\"<>[]^`{|}"),
              "%2F%3A%3F%26%3D%2B%25%23%7E%2C%3B%22%3C%3E%5B%5D%5E%60%7B%7C%7D");
    EXPECT_EQ(FormUrlEncode("\x01\t\r\n\x7F\x80\xFF"), "%01%09%0D%0A%7F%80%FF");
    // Chinese text in GBK: two escapes per character, upper-case digits only.
    EXPECT_EQ(FormUrlEncode(toAnsi("完成")), "%CD%EA%B3%C9");
    // Encoding stops at the first NUL byte.
    EXPECT_EQ(FormUrlEncode(std::string("ab\0cd", 5)), "ab");
}

TEST(FormUrlEncode, EveryByteRoundTrips) {
    std::string all;
    for (int c = 1; c < 256; ++c)
        all += static_cast<char>(c);
    std::string enc = FormUrlEncode(all);
    EXPECT_LE(enc.size(), all.size() * 3);
    for (std::size_t i = 0; i < enc.size(); ++i)
        if (enc[i] == '%') {
            EXPECT_FALSE(std::islower(static_cast<unsigned char>(enc[i + 1])));
            EXPECT_FALSE(std::islower(static_cast<unsigned char>(enc[i + 2])));
        }
    EXPECT_EQ(*FormUrlDecode(enc), all);
}

TEST(FormUrlDecode, Vectors) {
    EXPECT_EQ(*FormUrlDecode("ShowForm%3Fa"), "ShowForm?a");
    EXPECT_EQ(*FormUrlDecode("ShowForm%3fa"), "ShowForm?a");
    EXPECT_EQ(*FormUrlDecode("a+b"), "a b");
    EXPECT_EQ(*FormUrlDecode("a%2Bb"), "a+b");
    EXPECT_EQ(*FormUrlDecode("100%%"), "100%");
    EXPECT_EQ(*FormUrlDecode("%%41"), "%41");
    EXPECT_EQ(*FormUrlDecode(""), "");
    EXPECT_EQ(fromAnsi(*FormUrlDecode("%CD%EA%B3%C9")), "完成");
    EXPECT_EQ(*FormUrlDecode("%00"), std::string(1, '\0'));
}

TEST(FormUrlDecode, ErrorMessagesAndOffsets) {
    auto e1 = FormUrlDecode("100%");
    ASSERT_FALSE(e1);
    EXPECT_EQ(e1.error(), "Error decoding URL style (%XX) encoded string at position 4");
    auto e2 = FormUrlDecode("ab%4");
    ASSERT_FALSE(e2);
    EXPECT_EQ(e2.error(), "Error decoding URL style (%XX) encoded string at position 3");
    auto e3 = FormUrlDecode("%zz");
    ASSERT_FALSE(e3);
    EXPECT_EQ(e3.error(), "Invalid URL encoded character (%zz) at position 1");
    auto e4 = FormUrlDecode("ok+%4g");
    ASSERT_FALSE(e4);
    EXPECT_EQ(e4.error(), "Invalid URL encoded character (%4g) at position 4");
}
