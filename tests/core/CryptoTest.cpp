#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/Crypto.h"
#include "support/TempDir.h"

using namespace vx;

TEST(Base64Encode, KnownAnswersAndPadding) {
    struct Row {
        const char* in;
        const char* out;
    } rows[] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
        // Chinese text goes through GBK first.
        {"完成测试", "zeqzybLiytQ="},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Base64Encode(r.in), r.out) << r.in;
}

TEST(Base64Encode, CharactersOutsideTheCodePageBecomeTheDefaultCharacter) {
    // U+263A has no GBK form: it is encoded as "?" like Windows' default character.
    EXPECT_EQ(Base64Encode("\xE2\x98\xBA"), Base64Encode("?"));
    // The NUL character is a byte like any other.
    EXPECT_EQ(Base64Encode(std::string("a\0b", 3)), "YQBi");
}

TEST(Base64Encode, LongInputMatchesBlockwiseRule) {
    // 511 ANSI bytes: 170 full groups and one byte left over.
    std::string in(511, 'x');
    std::string out = Base64Encode(in);
    ASSERT_EQ(out.size(), 684u);
    EXPECT_TRUE(out.ends_with("=="));
    // 510 is a multiple of 3: no padding in the middle of longer inputs.
    std::string big(510 * 3 + 2, 'y');
    std::string enc = Base64Encode(big);
    EXPECT_EQ(enc.find('='), enc.size() - 1);
    EXPECT_EQ(*base64Decode(enc), big);
}

TEST(Base64Decode, RefusesMalformedText) {
    EXPECT_FALSE(base64Decode("abc"));
    EXPECT_FALSE(base64Decode("ab=c"));
    EXPECT_FALSE(base64Decode("a*cd"));
    EXPECT_EQ(*base64Decode("Zm8="), "fo");
    EXPECT_EQ(*base64Decode(""), "");
}

TEST(ScrambleParam, KnownAnswers) {
    EXPECT_EQ(ScrambleParam(""), "");
    EXPECT_EQ(ScrambleParam("0"), "dCReWw==");
    EXPECT_EQ(ScrambleParam("123456"), "dDEqHCt0YgA=");
    EXPECT_EQ(ScrambleParam("完成"), "QwASHBxhCg8=");
    // Longer than the 32-character pad: the pad repeats.
    EXPECT_EQ(ScrambleParam("abcdefghijklmnopqrstuvwxyz0123456789"),
              "YDIpDD93YV87UwsWAl8WF1BmB0IHe3IfW1YwAAIPVVBcPQwRKGR+SC8lNlQtSAVR");
}

TEST(ScrambleParam, LengthsAndDeterminism) {
    EXPECT_EQ(ScrambleParam("0").size(), 8u);
    EXPECT_EQ(ScrambleParam("654321").size(), 12u);
    EXPECT_EQ(ScrambleParam("42"), ScrambleParam("42"));
    EXPECT_NE(ScrambleParam("42"), ScrambleParam("43"));
}

TEST(UnscrambleParam, InvertsTheScrambler) {
    for (std::string s : {"", "0", "1", "123456", "用户名", "a b&c=d", "x\x01y"})
        EXPECT_EQ(*UnscrambleParam(ScrambleParam(s)), s) << s;
    EXPECT_FALSE(UnscrambleParam("not base64!"));
    EXPECT_FALSE(UnscrambleParam("Zm9vYmFy")); // base64, but not of a scrambled text
}

TEST(FileMD5, MissingEmptyAndLargeFiles) {
    vxtest::TempDir dir("md5");
    EXPECT_EQ(*FileMD5(dir.file("missing")), "");
    EXPECT_EQ(*FileMD5(dir.write("empty", "")), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(*FileMD5(dir.write("abc", "abc")), "900150983CD24FB0D6963F7D28E17F72");
    // Several read buffers' worth: 3 MiB + 1 of 'a'.
    std::string big(3 * 1024 * 1024 + 1, 'a');
    std::string path = dir.write("big", big);
    EXPECT_EQ(*FileMD5(path), [&] {
        std::string d = md5HexLower(big);
        for (char& c : d)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return d;
    }());
    // A lower-case digest never equals the file digest.
    EXPECT_NE(*FileMD5(dir.file("abc")), "900150983cd24fb0d6963f7d28e17f72");
    // A folder is not a file.
    EXPECT_EQ(*FileMD5(dir.path().string()), "");
}

TEST(FileMD5, PathsWithSpacesAndChineseCharacters) {
    vxtest::TempDir dir("md5");
    std::string path = dir.write("应用 目录/文件 1.txt", "abc");
    EXPECT_EQ(*FileMD5(path), "900150983CD24FB0D6963F7D28E17F72");
}
