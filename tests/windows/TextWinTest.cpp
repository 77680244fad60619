// The ANSI conversions by the Win32 code-page API, against the known-answer tables of the
// POSIX build (iconv). The tests run with Wine's system locale set to Chinese (LC_ALL=
// zh_CN.UTF-8 in wine/run), so the ANSI code page is 936 as on the systems the client serves.

#include <gtest/gtest.h>

#include "core/Text.h"
#include "platform/Platform.h"

using namespace vx;

TEST(AnsiCodePage, IsGbkAndClientTextsRoundTrip) {
    ASSERT_EQ(platform::ansiCodePage(), 936u);
    EXPECT_EQ(toAnsi("完成"), "\xCD\xEA\xB3\xC9");
    EXPECT_EQ(toAnsi("应用上线"), "\xD3\xA6\xD3\xC3\xC9\xCF\xCF\xDF");
    EXPECT_EQ(toAnsi("应用下线"), "\xD3\xA6\xD3\xC3\xCF\xC2\xCF\xDF");
    const char* texts[] = {"完成", "未安装", "有升级", "正常", "未添加", "正在安装", "正在升级",
                           "安装失败", "升级失败", "添加失败", "安装完成", "升级完成",
                           "已经运行这个程序!", "系统文件不完整,请重新安装!", "应用上线",
                           "应用下线", "获取用户信息:MyID=12", "参数错误!", "应用不存在：",
                           "登录成功", "将在 5 秒后完成升级"};
    for (const char* t : texts) {
        std::string ansi = toAnsi(t);
        EXPECT_NE(ansi, t) << t;
        EXPECT_EQ(fromAnsi(ansi), t) << t;
    }
    EXPECT_EQ(toAnsi("plain ascii"), "plain ascii");
    EXPECT_EQ(toAnsi(""), "");
    EXPECT_EQ(fromAnsi(""), "");
}

TEST(AnsiCodePage, UnrepresentableAndInvalidInput) {
    EXPECT_EQ(toAnsi("a\xE2\x98\xBA" "b"), "a?b");  // no GBK form
    EXPECT_EQ(toAnsi("a\xFF" "b"), "a?b");           // not UTF-8 at all
    EXPECT_EQ(toAnsi("a\xE5\xAE"), "a?");            // truncated sequence
    EXPECT_EQ(fromAnsi("\xCD"), "\xEF\xBF\xBD");     // lone lead byte
    EXPECT_EQ(fromAnsi("\xCD\x7F"), "\xEF\xBF\xBD\x7F"); // lead byte, no trail after it
    // Windows' table of code page 936 (which Wine shares) maps 0xFF to the private-use U+F8F5
    // unless asked for strict conversion; iconv's GBK has no character there.
    EXPECT_EQ(fromAnsi("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
}

// One "?" for each maximal subpart of a bad sequence; whatever follows is converted as usual.
TEST(AnsiCodePage, InvalidUtf8CostsOnlyItsOwnBytes) {
    const struct {
        const char* utf8;
        const char* ansi;
    } rows[] = {
        {"a\xE5" "Abc", "a?Abc"},
        {"a\xE5\xAE" "bc", "a?bc"},
        {"\xE5\xAE" "\xE5\xAE\x8C", "?\xCD\xEA"},
        {"\xE5" "\xE6\x88\x90", "?\xB3\xC9"},
        {"\xC0\xAF" "x", "??x"},
        {"\x80\xBF", "??"},
        {"\xE0\x80\xAF", "???"},
        {"\xED\xA0\x80" "x", "???x"},
        {"\xF4\x90\x80\x80", "????"},
        {"\xF0\x9F\x98" "x", "?x"},
        {"\xF0\x9F\x98\x80" "x", "?x"},
        {"x\xF0\x9F\x98", "x?"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(toAnsi(r.utf8), r.ansi) << r.utf8;
        EXPECT_EQ(tryToAnsi(r.utf8).value(), r.ansi) << r.utf8;
    }
}

TEST(DecodeCharset, KnownAndUnknownNames) {
    EXPECT_EQ(*platform::decodeCharset("\xCD\xEA\xB3\xC9", "gb2312"), "完成");
    EXPECT_EQ(*platform::decodeCharset("\xCD\xEA\xB3\xC9", "GBK"), "完成");
    EXPECT_EQ(*platform::decodeCharset("完成", "UTF-8"), "完成");
    EXPECT_EQ(*platform::decodeCharset("caf\xE9", "iso-8859-1"), "café");
    EXPECT_FALSE(platform::decodeCharset("x", "no-such-charset"));
    EXPECT_FALSE(platform::decodeCharset("x", ""));
}

TEST(TextHelpers, PathsUseTheBackslash) {
    EXPECT_EQ(joinPath("C:\\a\\b\\", "c"), "C:\\a\\b\\c");
    EXPECT_EQ(joinPath("C:\\a\\b", "c"), "C:\\a\\b\\c");
    EXPECT_EQ(joinPath("C:/a/b/", "c"), "C:/a/b/c");
}
