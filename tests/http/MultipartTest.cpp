#include "http/MsMultiPartFormData.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using vx::BoundaryTime;
using vx::TMemoryStream;
using vx::TMsMultiPartFormDataStream;

namespace {

const BoundaryTime kMarch5{2013, 3, 5, 14, 7, 9, 45};
const std::string kB = "---------------------------030513140709045";

std::string readAll(TMsMultiPartFormDataStream& s) {
    std::string out(static_cast<std::size_t>(s.size() - s.position()), '\0');
    out.resize(s.read(out.data(), out.size()));
    return out;
}

} // namespace

TEST(Multipart, BoundaryAndContentTypeFromTheCreationTime) {
    TMsMultiPartFormDataStream body(kMarch5);
    EXPECT_EQ(body.FBoundary, kB);
    EXPECT_EQ(body.FBoundary.size(), 42u);
    EXPECT_EQ(body.FRequestContentType, "multipart/form-data; boundary=" + kB);
    EXPECT_EQ(vx::boundaryStamp({1999, 12, 31, 23, 59, 58, 999}), "123199235958999");
    EXPECT_EQ(vx::boundaryStamp({2000, 1, 2, 0, 0, 0, 0}), "010200000000000");

    // The default comes from the local clock: 27 hyphens and 15 digits.
    TMsMultiPartFormDataStream now;
    ASSERT_EQ(now.FBoundary.size(), 42u);
    EXPECT_EQ(now.FBoundary.substr(0, 27), std::string(27, '-'));
    EXPECT_EQ(now.FBoundary.find_first_not_of("0123456789", 27), std::string::npos);
}

TEST(Multipart, EmptyBodyIsTheClosingDelimiterOnly) {
    TMsMultiPartFormDataStream body(kMarch5);
    body.PrepareStreamForDispatch();
    EXPECT_EQ(body.position(), 0);
    EXPECT_EQ(body.size(), 50);
    EXPECT_EQ(readAll(body), "\r\n--" + kB + "--\r\n");
}

TEST(Multipart, TextFieldsByteForByte) {
    TMsMultiPartFormDataStream body(kMarch5);
    body.AddFormField("a", "1");
    body.AddFormField("b", "2");
    body.PrepareStreamForDispatch();
    EXPECT_EQ(readAll(body),
              "\r\n--" + kB + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1" + "\r\n--" +
                  kB + "\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n2" + "\r\n--" + kB +
                  "--\r\n");
}

TEST(Multipart, NamesAndValuesAreWrittenUnchanged) {
    TMsMultiPartFormDataStream body(kMarch5);
    const std::string value = "line1\r\nline2 \"quoted\" --" + kB + " \xD6\xD0\xCE\xC4";
    body.AddFormField("na\"me", value);
    body.AddFormField("empty", "");
    body.PrepareStreamForDispatch();
    EXPECT_EQ(readAll(body), "\r\n--" + kB +
                                 "\r\nContent-Disposition: form-data; name=\"na\"me\"\r\n\r\n" +
                                 value + "\r\n--" + kB +
                                 "\r\nContent-Disposition: form-data; name=\"empty\"\r\n\r\n" +
                                 "\r\n--" + kB + "--\r\n");
}

TEST(Multipart, FileParts) {
    TMsMultiPartFormDataStream body(kMarch5);
    TMemoryStream data(std::string("AB\0C", 4));
    data.seek(2, vx::SeekOrigin::Begin); // read from the start whatever the position
    ASSERT_TRUE(body.AddFile("f", "C:\\dir\\x.bin", "application/octet-stream", data));
    TMemoryStream empty;
    ASSERT_TRUE(body.AddFile("g", "e.txt", "text/plain", empty));
    body.PrepareStreamForDispatch();
    EXPECT_EQ(readAll(body),
              "\r\n--" + kB +
                  "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"C:\\dir\\x.bin\"\r\n"
                  "Content-Length: 4\r\nContent-Type: application/octet-stream\r\n\r\n" +
                  std::string("AB\0C", 4) + "\r\n--" + kB +
                  "\r\nContent-Disposition: form-data; name=\"g\"; filename=\"e.txt\"\r\n"
                  "Content-Length: 0\r\nContent-Type: text/plain\r\n\r\n" +
                  "\r\n--" + kB + "--\r\n");
}

TEST(Multipart, FileFromPathAndOpenError) {
    vxtest::TempDir dir;
    const std::string path = dir.write("data.txt", "hello");
    TMsMultiPartFormDataStream body(kMarch5);
    body.AddFormField("a", "1");
    const auto before = body.bytes();

    const std::string missing = dir.file("missing.txt");
    vx::Status st = body.AddFile("f", missing, "text/plain");
    EXPECT_FALSE(st);
    EXPECT_NE(st.error().find("missing.txt"), std::string::npos) << st.error();
    EXPECT_EQ(body.bytes(), before); // nothing appended

    ASSERT_TRUE(body.AddFile("f", path, "text/plain"));
    EXPECT_EQ(body.bytes(), before + "\r\n--" + kB +
                                "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"" +
                                path +
                                "\"\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\nhello");
}

namespace {
// A stream that claims more bytes than it delivers.
class ShortStream : public TMemoryStream {
public:
    using TMemoryStream::TMemoryStream;
    std::int64_t size() const override { return TMemoryStream::size() + 10; }
};
} // namespace

TEST(Multipart, ShortReadAppendsNothing) {
    TMsMultiPartFormDataStream body(kMarch5);
    ShortStream data("abc");
    EXPECT_FALSE(body.AddFile("f", "x", "text/plain", data));
    EXPECT_EQ(body.size(), 0);
}
