#include "http/ReplyDecoding.h"

#include "HttpTestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

const std::string kZhUtf8 = "\xE4\xB8\xAD\xE6\x96\x87"; // 中文
const std::string kZhGbk = "\xD6\xD0\xCE\xC4";

// A gzip member built by hand, so that every header field can be set.
std::string gzipMember(const std::string& data, unsigned char flags, const std::string& extra = {},
                       const std::string& name = {}, const std::string& comment = {}) {
    std::string out = {'\x1F', '\x8B', '\x08', static_cast<char>(flags), 0, 0, 0, 0, 0, '\x03'};
    if (flags & 0x04) {
        out += static_cast<char>(extra.size() & 0xFF);
        out += static_cast<char>(extra.size() >> 8);
        out += extra;
    }
    if (flags & 0x08)
        out += name + '\0';
    if (flags & 0x10)
        out += comment + '\0';
    if (flags & 0x02)
        out += "\x12\x34";
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string raw(deflateBound(&z, data.size()) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(raw.data());
    z.avail_out = static_cast<uInt>(raw.size());
    deflate(&z, Z_FINISH);
    raw.resize(z.total_out);
    deflateEnd(&z);
    out += raw;
    const uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data.data()),
                            static_cast<uInt>(data.size()));
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((crc >> (8 * i)) & 0xFF);
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((data.size() >> (8 * i)) & 0xFF);
    return out;
}

} // namespace

TEST(Gzip, ValidMembers) {
    const std::string text = "<?xml version=\"1.0\"?><r>" + std::string(5000, 'x') + "</r>";
    auto plain = vx::gunzip(vxtest::gzip(text));
    ASSERT_TRUE(plain) << plain.error();
    EXPECT_EQ(*plain, text);

    auto withFields = vx::gunzip(
        gzipMember(text, 0x02 | 0x04 | 0x08 | 0x10 | 0x01, "XYZW", "name.xml", "a comment"));
    ASSERT_TRUE(withFields) << withFields.error();
    EXPECT_EQ(*withFields, text);

    auto empty = vx::gunzip(gzipMember("", 0));
    ASSERT_TRUE(empty) << empty.error();
    EXPECT_EQ(*empty, "");

    auto trailing = vx::gunzip(gzipMember("abc", 0) + "garbage");
    ASSERT_TRUE(trailing);
    EXPECT_EQ(*trailing, "abc");
}

TEST(Gzip, EveryCheckFails) {
    const std::string good = gzipMember("some content to compress", 0x08, {}, "f");
    auto bad = [&](std::size_t at, char value) {
        std::string s = good;
        s[at] = value;
        return s;
    };
    EXPECT_FALSE(vx::gunzip(""));
    EXPECT_FALSE(vx::gunzip("plain text, not gzip at all"));
    EXPECT_FALSE(vx::gunzip(bad(0, 0x1E)));                                    // magic
    EXPECT_FALSE(vx::gunzip(bad(1, 0x00)));                                    // magic
    EXPECT_FALSE(vx::gunzip(bad(2, 0x07)));                                    // method
    EXPECT_FALSE(vx::gunzip(bad(3, 0x08 | 0x20)));                             // reserved flag
    EXPECT_FALSE(vx::gunzip(bad(3, 0x08 | 0x80)));                             // reserved flag
    EXPECT_FALSE(vx::gunzip(bad(good.size() - 8, good[good.size() - 8] ^ 1))); // CRC-32
    EXPECT_FALSE(vx::gunzip(bad(good.size() - 4, good[good.size() - 4] ^ 1))); // length
    EXPECT_FALSE(vx::gunzip(good.substr(0, good.size() - 3)));                 // trailer cut
    EXPECT_FALSE(vx::gunzip(good.substr(0, 16)));                              // data cut
    EXPECT_FALSE(vx::gunzip(good.substr(0, 11)));                              // name cut
    EXPECT_FALSE(vx::gunzip(bad(14, '\xFF') + ""));                            // corrupt data
    // An extra field longer than the body.
    EXPECT_FALSE(vx::gunzip(std::string("\x1F\x8B\x08\x04\0\0\0\0\0\x03\xFF\x7F", 12)));
}

TEST(Gzip, ContentRule) {
    const std::string text = "hello, gzip";
    const std::string gz = vxtest::gzip(text);
    for (const char* enc : {"gzip", "x-gzip", "GZIP", "X-Gzip", "identity, gzip"}) {
        auto out = vx::decodeContent(gz, enc);
        ASSERT_TRUE(out) << enc;
        EXPECT_EQ(*out, text) << enc;
    }
    for (const char* enc : {"", "deflate", "identity", "br"}) {
        auto out = vx::decodeContent(gz, enc);
        ASSERT_TRUE(out) << enc;
        EXPECT_EQ(*out, gz) << enc; // passed through as it came
    }
    EXPECT_FALSE(vx::decodeContent("not gzip", "gzip"));
}

TEST(Charset, ContentTypeParameter) {
    EXPECT_EQ(vx::contentTypeCharset("text/xml; charset=utf-8"), "utf-8");
    EXPECT_EQ(vx::contentTypeCharset("text/html;Charset=\"GBK\""), "GBK");
    EXPECT_EQ(vx::contentTypeCharset("text/plain; format=flowed; charset = big5 "), "big5");
    EXPECT_EQ(vx::contentTypeCharset("text/plain"), "");
    EXPECT_EQ(vx::contentTypeCharset(""), "");
    EXPECT_EQ(vx::contentTypeCharset("text/plain; charset="), "");
}

// The system converter passes the old five- and six-byte forms and code points above
// U+10FFFF through a UTF-8 "conversion"; the text handed on must still be UTF-8.
TEST(Charset, OutputIsAlwaysWellFormedUtf8) {
    const std::string bad = "a\xF6\xB2\xB2\xB2" "b\xFC\x84\x80\x80\x80\x80" "c\xF4\x90\x80\x80"
                            "d\xED\xA0\x80" "e\xC0\x80" "f";
    const std::string out = vx::decodeWithCharset(bad, "utf-8");
    EXPECT_EQ(out.find_first_of("\xF4\xF6\xFC\xED\xC0"), std::string::npos) << out;
    for (char c : std::string("abcdef"))
        EXPECT_NE(out.find(c), std::string::npos);
    EXPECT_EQ(vx::decodeWithCharset("\xE4\xB8\xAD\xF0\x9F\x98\x80", "UTF-8"),
              "\xE4\xB8\xAD\xF0\x9F\x98\x80");
    bool isutf8 = false;
    EXPECT_EQ(vx::decodePostText("x\xF8\x88\x80\x80\x80", "utf-8", "gb2312", isutf8),
              "x\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Charset, GetRule) {
    struct Row {
        const char* what;
        std::string body;
        std::string text;
        bool utf8Before;
        bool utf8After;
    };
    const std::vector<Row> rows = {
        {"xml utf-8", "<?xml version=\"1.0\" encoding=\"utf-8\"?><r>" + kZhUtf8 + "</r>",
         "<?xml version=\"1.0\" encoding=\"utf-8\"?><r>" + kZhUtf8 + "</r>", false, true},
        {"xml GB2312", "<?xml version=\"1.0\" encoding=\"GB2312\"?><r>" + kZhGbk + "</r>",
         "<?xml version=\"1.0\" encoding=\"GB2312\"?><r>" + kZhUtf8 + "</r>", true, false},
        {"xml other name is still code page 936",
         "<?xml version=\"1.0\" encoding=\"big5\"?><r>" + kZhGbk + "</r>",
         "<?xml version=\"1.0\" encoding=\"big5\"?><r>" + kZhUtf8 + "</r>", true, false},
        {"no declaration keeps the ANSI code page and the flag", "<r>" + kZhGbk + "</r>",
         "<r>" + kZhUtf8 + "</r>", true, true},
        {"no declaration, flag clear", "<r>" + kZhGbk + "</r>", "<r>" + kZhUtf8 + "</r>", false,
         false},
        {"meta in any letter case",
         "<HTML><META http-equiv=\"Content-Type\" content=\"text/html; CHARSET=Utf-8\">" + kZhUtf8,
         "<HTML><META http-equiv=\"Content-Type\" content=\"text/html; CHARSET=Utf-8\">" + kZhUtf8,
         false, true},
        {"first meta mentions utf-8, later meta declares gbk",
         "<meta name=\"d\" content=\"about utf-8\"><meta charset=\"gbk\">" + kZhUtf8,
         "<meta name=\"d\" content=\"about utf-8\"><meta charset=\"gbk\">" + kZhUtf8, false, true},
        {"lazy match stops at the first >", "<meta charset=gbk><p>utf-8</p>" + kZhGbk,
         "<meta charset=gbk><p>utf-8</p>" + kZhUtf8, true, false},
        {"meta spanning lines", "<meta\r\nhttp-equiv=\"x\"\r\ncharset=utf-8>" + kZhUtf8,
         "<meta\r\nhttp-equiv=\"x\"\r\ncharset=utf-8>" + kZhUtf8, false, true},
        {"meta without > on its line falls back to encoding=",
         "<meta charset=utf-8\n><?xml encoding=\"gb2312\"?>" + kZhGbk,
         "<meta charset=utf-8\n><?xml encoding=\"gb2312\"?>" + kZhUtf8, true, false},
    };
    for (const auto& row : rows) {
        bool isutf8 = row.utf8Before;
        EXPECT_EQ(vx::decodeGetText(row.body, "gb2312", isutf8), row.text) << row.what;
        EXPECT_EQ(isutf8, row.utf8After) << row.what;
    }
}

TEST(Charset, PostRule) {
    bool isutf8 = false;
    // The header's charset wins over the body's declaration.
    EXPECT_EQ(
        vx::decodePostText("<?xml encoding=\"gb2312\"?>" + kZhUtf8, "UTF-8", "gb2312", isutf8),
        "<?xml encoding=\"gb2312\"?>" + kZhUtf8);
    EXPECT_TRUE(isutf8);
    EXPECT_EQ(vx::decodePostText("<?xml encoding=\"utf-8\"?>" + kZhGbk, "gbk", "gb2312", isutf8),
              "<?xml encoding=\"utf-8\"?>" + kZhUtf8);
    EXPECT_FALSE(isutf8);
    EXPECT_EQ(vx::decodePostText("caf\xE9", "iso-8859-1", "gb2312", isutf8), "caf\xC3\xA9");
    EXPECT_FALSE(isutf8);
    // An unknown name reads as 7-bit ASCII.
    isutf8 = true;
    EXPECT_EQ(vx::decodePostText("ok " + kZhGbk, "no-such-charset", "gb2312", isutf8),
              "ok \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_FALSE(isutf8);

    // Without a parameter: the declaration, with the greedy meta expression.
    isutf8 = false;
    EXPECT_EQ(vx::decodePostText("<meta charset=gbk><p>utf-8</p>" + kZhUtf8, "", "gb2312", isutf8),
              "<meta charset=gbk><p>utf-8</p>" + kZhUtf8);
    EXPECT_TRUE(isutf8);
    EXPECT_EQ(vx::decodePostText("<meta charset=gbk>\n<p>utf-8</p>" + kZhGbk, "", "gb2312", isutf8),
              "<meta charset=gbk>\n<p>utf-8</p>" + kZhUtf8);
    EXPECT_FALSE(isutf8);
    EXPECT_EQ(vx::decodePostText("<?xml version=\"1.0\" encoding=\"utf-8\"?>" + kZhUtf8, "",
                                 "gb2312", isutf8),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>" + kZhUtf8);
    EXPECT_TRUE(isutf8);
    EXPECT_EQ(vx::decodePostText("<r>" + kZhGbk + "</r>", "", "gb2312", isutf8),
              "<r>" + kZhUtf8 + "</r>");
    EXPECT_TRUE(isutf8); // left as it was
}
