#include <gtest/gtest.h>

#include "api/PageCalls.h"

using namespace vx::page;

TEST(PageCalls, ExactTextsForPlainValues) {
    EXPECT_EQ(ST_Login(true, "dCReWw==", "登录成功"), "ST_Login(true,\"dCReWw==\",\"登录成功\")");
    EXPECT_EQ(ST_Login(false, "t", "获取应用失败"), "ST_Login(false,\"t\",\"获取应用失败\")");
    EXPECT_EQ(ST_setFlatDivAnlv("12", "安装完成"), "ST_setFlatDivAnlv(\"12\",\"安装完成\")");
    EXPECT_EQ(tsmsg("有应用正在安装，请稍候点击安装..."),
              "tsmsg(\"有应用正在安装，请稍候点击安装...\")");
    EXPECT_EQ(ST_icoStatu("3", "正常"), "ST_icoStatu(\"3\",\"正常\")");
    EXPECT_EQ(*ST_jdt("12", "45"), "ST_jdt(\"12\",45);");
    EXPECT_EQ(ST_writeUserList("张三", "", false), "ST_writeUserList(\"张三\",\"\",false,false);");
    EXPECT_EQ(ST_writeUserList("a", "p", true), "ST_writeUserList(\"a\",\"p\",true,false);");
    EXPECT_EQ(ST_writeUserForm("a", "p", true, true), "ST_writeUserForm(\"a\",\"p\",true,true);");
    EXPECT_EQ(ST_softStatu("启动框架服务器"), "ST_softStatu(\"启动框架服务器\")");
}

TEST(PageCalls, StringValuesNeverBecomeScript) {
    // Each hostile value stays inside its literal.
    EXPECT_EQ(jsString("a\"b"), R"("a\"b")");
    EXPECT_EQ(jsString("a\\b"), R"("a\\b")");
    EXPECT_EQ(jsString("\");alert(1);//"), R"("\");alert(1);//")");
    EXPECT_EQ(jsString("a\r\nb\tc"), R"("a\r\nb\tc")");
    EXPECT_EQ(jsString(std::string("a\0b\x1f", 4)), R"("a\u0000b\u001f")");
    EXPECT_EQ(jsString("a\xE2\x80\xA8" "b\xE2\x80\xA9"), R"("a\u2028b\u2029")");
    EXPECT_EQ(jsString("</script><script>x</script>"), R"("<\/script><script>x<\/script>")");
    // Other characters, other punctuation and other three-byte sequences stay unchanged.
    EXPECT_EQ(jsString("<b>'x' & 完成 \xE2\x80\xA6"), "\"<b>'x' & 完成 \xE2\x80\xA6\"");
    EXPECT_EQ(ST_Login(false, "t", "x\");evil(\""), R"(ST_Login(false,"t","x\");evil(\""))");
}

TEST(PageCalls, BareProgressMustBeANumber) {
    EXPECT_TRUE(isBareNumber("0"));
    EXPECT_TRUE(isBareNumber("100"));
    EXPECT_TRUE(isBareNumber("-1"));
    EXPECT_TRUE(isBareNumber("45.5"));
    for (const char* bad : {"", "-", "4a", "1,2", "45)", "1;alert(1)", " 5", "5.", ".5", "1e3"})
        EXPECT_FALSE(ST_jdt("1", bad)) << bad;
}
