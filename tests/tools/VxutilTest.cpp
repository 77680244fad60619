#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "support/TempDir.h"

namespace {

struct Outcome {
    int status;
    std::string out; // standard output and standard error together
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

Outcome vxutil(const std::string& args) {
    std::string cmd = std::string(VXUTIL_PATH) + " " + args + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int st = ::pclose(p);
    return {WEXITSTATUS(st), out};
}

} // namespace

TEST(Vxutil, TextFunctions) {
    EXPECT_EQ(vxutil("scramble 123456").out, "dDEqHCt0YgA=\n");
    EXPECT_EQ(vxutil("unscramble dDEqHCt0YgA=").out, "123456\n");
    EXPECT_EQ(vxutil("unscramble " + quote(vxutil("scramble 用户").out.substr(0, 12))).out,
              "用户\n");
    EXPECT_EQ(vxutil("base64 完成测试").out, "zeqzybLiytQ=\n");
    EXPECT_EQ(vxutil(quote("urlencode") + " " + quote("a b/完成")).out, "a+b%2F%CD%EA%B3%C9\n");
    EXPECT_EQ(vxutil("urldecode a+b%2F%CD%EA%B3%C9").out, "a b/完成\n");
}

TEST(Vxutil, Md5OfFiles) {
    vxtest::TempDir dir("vxutil");
    std::string f = dir.write("a file.txt", "abc");
    Outcome r = vxutil("md5 " + quote(f));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "900150983CD24FB0D6963F7D28E17F72\n");
    Outcome missing = vxutil("md5 " + quote(dir.file("none")));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.out.find("no file"), std::string::npos);
}

TEST(Vxutil, BadInputAndUsage) {
    Outcome bad = vxutil("urldecode 100%");
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "vxutil: Error decoding URL style (%XX) encoded string at position 4\n");
    Outcome bad2 = vxutil("urldecode %zz");
    EXPECT_EQ(bad2.status, 1);
    EXPECT_EQ(bad2.out, "vxutil: Invalid URL encoded character (%zz) at position 1\n");
    EXPECT_EQ(vxutil("unscramble '***'").status, 1);
    EXPECT_EQ(vxutil("").status, 2);
    EXPECT_EQ(vxutil("frobnicate x").status, 2);
    EXPECT_EQ(vxutil("scramble a b").status, 2);
    Outcome help = vxutil("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("unscramble TOKEN"), std::string::npos);
}
