#include <gtest/gtest.h>

#include "core/Text.h"
#include "platform/Platform.h"

using namespace vx;

TEST(AnsiCodePage, ClientTextsRoundTripThroughGbk) {
    EXPECT_EQ(toAnsi("完成"), "\xCD\xEA\xB3\xC9");
    const char* texts[] = {"完成", "未安装", "有升级", "正常", "未添加", "正在安装", "正在升级",
                           "安装失败", "升级失败", "添加失败", "安装完成", "升级完成",
                           "已经运行这个程序!", "系统文件不完整,请重新安装!", "应用上线",
                           "应用下线", "获取用户信息:MyID=12", "参数错误!", "应用不存在：",
                           "登录成功"};
    for (const char* t : texts) {
        std::string ansi = toAnsi(t);
        EXPECT_NE(ansi, t) << t;
        EXPECT_EQ(fromAnsi(ansi), t) << t;
    }
    EXPECT_EQ(toAnsi("plain ascii"), "plain ascii");
    EXPECT_EQ(toAnsi(""), "");
}

TEST(AnsiCodePage, UnrepresentableAndInvalidInput) {
    EXPECT_EQ(toAnsi("a\xE2\x98\xBA" "b"), "a?b");  // no GBK form
    EXPECT_EQ(toAnsi("a\xFF" "b"), "a?b");           // not UTF-8 at all
    EXPECT_EQ(toAnsi("a\xE5\xAE"), "a?");            // truncated sequence
    EXPECT_EQ(fromAnsi("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(fromAnsi("\xCD"), "\xEF\xBF\xBD");     // lone lead byte
    EXPECT_EQ(platform::ansiCodePage(), 936u);
}

TEST(DecodeCharset, KnownAndUnknownNames) {
    EXPECT_EQ(*platform::decodeCharset("\xCD\xEA\xB3\xC9", "gb2312"), "完成");
    EXPECT_EQ(*platform::decodeCharset("\xCD\xEA\xB3\xC9", "GBK"), "完成");
    EXPECT_EQ(*platform::decodeCharset("完成", "UTF-8"), "完成");
    EXPECT_EQ(*platform::decodeCharset("caf\xE9", "iso-8859-1"), "café");
    EXPECT_FALSE(platform::decodeCharset("x", "no-such-charset"));
    EXPECT_FALSE(platform::decodeCharset("x", ""));
}

TEST(TextHelpers, CaseAndPaths) {
    EXPECT_TRUE(iequals("VeRsIoN", "version"));
    EXPECT_FALSE(iequals("version", "versions"));
    EXPECT_TRUE(icontains("text/html; Charset=UTF-8", "utf-8"));
    EXPECT_FALSE(icontains("utf", "utf-8"));
    EXPECT_EQ(asciiLower("AbC完成"), "abc完成");
    EXPECT_EQ(joinPath("/a/b/", "c"), "/a/b/c");
    EXPECT_EQ(joinPath("/a/b", "c"), "/a/b/c");
}

TEST(TextHelpers, ParseInt32) {
    int32_t n = 0;
    EXPECT_TRUE(parseInt32("12", n));
    EXPECT_EQ(n, 12);
    EXPECT_TRUE(parseInt32("-2147483648", n));
    EXPECT_EQ(n, INT32_MIN);
    EXPECT_TRUE(parseInt32("+7", n));
    EXPECT_EQ(n, 7);
    for (const char* bad : {"", "-", "2147483648", "99999999999999999999", "1.5", " 1", "1 ",
                            "0x10", "x"})
        EXPECT_FALSE(parseInt32(bad, n)) << bad;
}
