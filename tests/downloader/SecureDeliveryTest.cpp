// Secure delivery through the real library: files checked against their SHA-256 before they
// are placed (DownFileSha256), and https against the system's and a trusted test authority
// (DownLoaderTrustCaFile), over loopback.

#include "DownloaderHarness.h"
#include "support/TempDir.h"
#include "support/TlsServer.h"

#include <cctype>
#include <filesystem>
#include <map>
#include <set>

namespace fs = std::filesystem;
using namespace dltest;

namespace {

const std::string kWrongDigest = sha256Of("not the file");

// --- Digests --------------------------------------------------------------------------------

class Digests : public ::testing::Test {
protected:
    void SetUp() override {
        Library::get();
        m_http.server().Get(
            "/blob/(\\d+)", [this](const httplib::Request& req, httplib::Response& res) {
                count(req);
                std::size_t n = std::stoul(req.matches[1]);
                res.set_content(pattern(n, static_cast<unsigned>(n)), "application/octet-stream");
            });
        // A wrong body of the right length first, then the right one.
        m_http.server().Get("/flaky.bin",
                            [this](const httplib::Request& req, httplib::Response& res) {
                                const bool first = count(req) == 1;
                                std::string body = pattern(50000, 5);
                                if (first)
                                    body[25000] ^= 1;
                                res.set_content(body, "application/octet-stream");
                            });
        m_http.server().Get("/pkg.zip",
                            [this](const httplib::Request& req, httplib::Response& res) {
                                count(req);
                                std::lock_guard lock(m_mutex);
                                res.set_content(m_package, "application/zip");
                            });
    }
    // GET requests of a path so far.
    int gets(const std::string& path) {
        std::lock_guard lock(m_mutex);
        return m_gets[path];
    }
    int allRequests() {
        std::lock_guard lock(m_mutex);
        return m_all;
    }
    bool anyRange() {
        std::lock_guard lock(m_mutex);
        return m_ranged;
    }
    std::string servePackage(const ZipBuilder& zip) {
        std::string bytes = zip.build(m_built.file("built.zip"));
        std::lock_guard lock(m_mutex);
        m_package = bytes;
        return bytes;
    }

    vxtest::TempDir m_dir{"sha"};
    vxtest::TempDir m_built{"zip"};

private:
    int count(const httplib::Request& req) {
        std::lock_guard lock(m_mutex);
        ++m_all;
        m_ranged = m_ranged || req.has_header("Range");
        return req.method == "GET" ? ++m_gets[req.path] : m_gets[req.path];
    }

    std::mutex m_mutex;
    std::map<std::string, int> m_gets;
    int m_all = 0;
    bool m_ranged = false;
    std::string m_package;

protected:
    // Last, so that it stops serving before the members its handlers use go away.
    HttpServer m_http;
};

TEST_F(Digests, FilesAndPackagesWhoseDigestsMatchArePlaced) {
    m_dir.write("b.bin", "old content");
    std::string big = sha256Of(pattern(200000, 200000));
    for (char& c : big)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    // Digits in either case, an empty file, and an empty item for a file that is not checked.
    auto msgs = downloadChecked(
        {m_http.url("/blob/1000"), m_http.url("/blob/200000"), m_http.url("/blob/0"),
         m_http.url("/blob/10")},
        {m_dir.file("a.bin"), m_dir.file("b.bin"), m_dir.file("empty.bin"), m_dir.file("free.bin")},
        {sha256Of(pattern(1000, 1000)), big, sha256Of(""), ""});
    expectSuccess(msgs);
    EXPECT_EQ(vxtest::readFile(m_dir.file("a.bin")), pattern(1000, 1000));
    EXPECT_EQ(vxtest::readFile(m_dir.file("b.bin")), pattern(200000, 200000));
    EXPECT_TRUE(fs::exists(m_dir.file("empty.bin")));
    EXPECT_EQ(vxtest::readFile(m_dir.file("free.bin")), pattern(10, 10));
    EXPECT_EQ(listing(m_dir.path()),
              (std::set<std::string>{"a.bin", "b.bin", "empty.bin", "free.bin"}));

    // A package: its zip's bytes are checked, then it is unpacked as usual.
    const std::string app = m_dir.file("app");
    m_dir.write("app/version.xml", "<old/>");
    const std::string zip = servePackage(
        ZipBuilder().file("version.xml", "<version>2</version>").file("bin/run.txt", "run"));
    msgs =
        downloadChecked({m_http.url("/pkg.zip")}, {app + "/pkg.zip"}, {sha256Of(zip)}, app + "/");
    expectSuccess(msgs);
    EXPECT_TRUE(hasText(msgs, "正在解压 pkg.zip"));
    EXPECT_EQ(vxtest::readFile(app + "/version.xml"), "<version>2</version>");
    EXPECT_EQ(vxtest::readFile(app + "/bin/run.txt"), "run");
    EXPECT_FALSE(fs::exists(app + "/pkg.zip"));
}

TEST_F(Digests, OneWrongDigestAmongSeveralFilesPlacesNoneOfThem) {
    // On one connection the first file that fails ends the call before the next starts; on
    // several, the files already on their way may arrive, and none is placed either.
    for (int connections : {1, 4}) {
        SCOPED_TRACE(connections);
        ConnectionsScope scope(connections);
        m_dir.write("1.bin", "old one");
        m_dir.write("3.bin", "old three");
        const int before = gets("/blob/30"), tries = gets("/blob/20");
        auto msgs = downloadChecked(
            {m_http.url("/blob/10"), m_http.url("/blob/20"), m_http.url("/blob/30")},
            {m_dir.file("1.bin"), m_dir.file("2.bin"), m_dir.file("3.bin")},
            {sha256Of(pattern(10, 10)), kWrongDigest, sha256Of(pattern(30, 30))}, "", 3);
        expectFailure(msgs);
        EXPECT_EQ(msgs.back(), "error:下载 2.bin 失败：SHA256校验失败");
        EXPECT_TRUE(hasText(msgs, "下载 2.bin 失败：SHA256校验失败，正在重试（第 3 次，共 3 次）"));
        EXPECT_EQ(gets("/blob/20") - tries, 3) << "a mismatch is a failed attempt like any other";
        if (connections == 1)
            EXPECT_EQ(gets("/blob/30") - before, 0) << "the first file that fails ends the call";
        EXPECT_EQ(vxtest::readFile(m_dir.file("1.bin")), "old one");
        EXPECT_EQ(vxtest::readFile(m_dir.file("3.bin")), "old three");
        EXPECT_EQ(listing(m_dir.path()), (std::set<std::string>{"1.bin", "3.bin"}));
    }
}

TEST_F(Digests, AWrongBodyIsFetchedAgainFromItsStartAndTheRightOneIsPlaced) {
    std::string target = m_dir.write("f.bin", "old");
    auto msgs =
        downloadChecked({m_http.url("/flaky.bin")}, {target}, {sha256Of(pattern(50000, 5))});
    expectSuccess(msgs);
    EXPECT_TRUE(hasText(msgs, "下载 f.bin 失败：SHA256校验失败，正在重试（第 2 次，共 5 次）"));
    EXPECT_EQ(vxtest::readFile(target), pattern(50000, 5));
    EXPECT_EQ(gets("/flaky.bin"), 2);
    EXPECT_FALSE(anyRange()) << "nothing of a wrong body may be resumed onto";
    EXPECT_EQ(listing(m_dir.path()), std::set<std::string>{"f.bin"});
}

TEST_F(Digests, APackageWithAWrongDigestIsNeverUnpacked) {
    const std::string app = m_dir.file("app");
    m_dir.write("app/version.xml", "<old/>");
    servePackage(ZipBuilder().file("version.xml", "<version>2</version>").file("new.txt", "new"));
    auto msgs =
        downloadChecked({m_http.url("/pkg.zip")}, {app + "/pkg.zip"}, {kWrongDigest}, app + "/", 2);
    expectFailure(msgs);
    EXPECT_EQ(msgs.back(), "error:下载 pkg.zip 失败：SHA256校验失败");
    EXPECT_FALSE(hasText(msgs, "正在解压"));
    EXPECT_EQ(gets("/pkg.zip"), 2);
    EXPECT_EQ(vxtest::readFile(app + "/version.xml"), "<old/>");
    EXPECT_EQ(listing(m_dir.path()), (std::set<std::string>{"app", "app/version.xml"}));
}

TEST_F(Digests, MalformedDigestListsAreRefusedBeforeAnyRequest) {
    const std::string good = sha256Of(pattern(10, 10));
    struct Row {
        const char* what;
        std::vector<std::string> items;
        std::string error;
    };
    const std::vector<Row> rows = {
        {"63 digits",
         {good, good.substr(1)},
         "error:下载失败：第 2 个 SHA256 校验值 \"" + good.substr(1) + "\" 不是 64 位十六进制数字"},
        {"65 digits",
         {good + "0", good},
         "error:下载失败：第 1 个 SHA256 校验值 \"" + good + "0\" 不是 64 位十六进制数字"},
        {"not hexadecimal", {good, "g" + good.substr(1)}, "第 2 个 SHA256 校验值"},
        {"digits with a space inside",
         {good.substr(0, 32) + " " + good.substr(32), good},
         "第 1 个 SHA256 校验值"},
        {"fewer items than URLs",
         {good},
         "error:下载失败：下载地址（2 个）与 SHA256 校验值（1 个）数目不一致"},
        {"more items than URLs",
         {good, good, ""},
         "error:下载失败：下载地址（2 个）与 SHA256 校验值（3 个）数目不一致"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto msgs = downloadChecked({m_http.url("/blob/10"), m_http.url("/blob/10")},
                                    {m_dir.file("x/1.bin"), m_dir.file("x/2.bin")}, row.items);
        expectFailure(msgs);
        EXPECT_EQ(msgs.size(), 2u) << "refused before anything started";
        EXPECT_TRUE(hasText(msgs.back(), row.error)) << msgs.back();
    }
    EXPECT_EQ(allRequests(), 0);
    EXPECT_TRUE(listing(m_dir.path()).empty());
    // As with DownFile, nobody could learn the outcome without a callback.
    EXPECT_EQ(Library::get().downFileSha256(m_http.url("/blob/10").c_str(),
                                            m_dir.file("1.bin").c_str(), "", good.c_str(), 1,
                                            nextId(), nullptr),
              -1);
}

// --- TLS ------------------------------------------------------------------------------------

class Tls : public ::testing::Test {
protected:
    void SetUp() override { Library::get(); }
    // The setting is the library's, for the whole program: back to the system's only.
    void TearDown() override { EXPECT_EQ(Library::get().trustCaFile(nullptr), 0); }

    // Serves /blob/N on `server`, counting the requests that got through.
    void serveBlobs(vxtest::TlsServer& server) {
        server.server().Get(
            "/blob/(\\d+)", [this](const httplib::Request& req, httplib::Response& res) {
                ++m_requests;
                std::size_t n = std::stoul(req.matches[1]);
                res.set_content(pattern(n, static_cast<unsigned>(n)), "application/octet-stream");
            });
    }
    // TLS handshakes the server has begun: one per connection the library made.
    static long handshakes(vxtest::TlsServer& server) {
        return SSL_CTX_sess_accept(server.server().ssl_context());
    }

    std::atomic<int> m_requests{0};
    vxtest::TempDir m_dir{"tls"};
};

TEST_F(Tls, AServerOfTheTrustedAuthorityDeliversFilesAndPackages) {
    const std::string zip =
        ZipBuilder().file("app.txt", "over https").build(m_dir.file("built.zip"));
    vxtest::TlsServer server;
    serveBlobs(server);
    server.server().Get("/pkg.zip", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(zip, "application/zip");
    });
    ASSERT_TRUE(server.valid());
    ASSERT_EQ(Library::get().trustCaFile(vxtest::certsFile("ca.pem").c_str()), 0);

    // By address and by name (the certificate names both), checked as they arrive.
    auto msgs = downloadChecked({server.url("/blob/100000"), server.url("/blob/10", "localhost")},
                                {m_dir.file("out/a.bin"), m_dir.file("out/b.bin")},
                                {sha256Of(pattern(100000, 100000)), sha256Of(pattern(10, 10))});
    expectSuccess(msgs);
    EXPECT_EQ(vxtest::readFile(m_dir.file("out/a.bin")), pattern(100000, 100000));
    EXPECT_EQ(vxtest::readFile(m_dir.file("out/b.bin")), pattern(10, 10));

    const std::string app = m_dir.file("app");
    msgs = download({server.url("/pkg.zip")}, {app + "/pkg.zip"}, app + "/");
    expectSuccess(msgs);
    EXPECT_EQ(vxtest::readFile(app + "/app.txt"), "over https");
}

TEST_F(Tls, CertificatesThatDoNotVerifyFailAtOnceWithoutARetry) {
    struct Row {
        const char* certificate;
        bool trusted; // the test authority's file set
    };
    for (const Row& row : {Row{"server", false}, Row{"wronghost", true}, Row{"expired", true},
                                            Row{"sha1signed", true}, Row{"rsa1024", true}}) {
        SCOPED_TRACE(std::string(row.certificate) +
                     (row.trusted ? ", test authority trusted" : ", system only"));
        ASSERT_EQ(
            Library::get().trustCaFile(row.trusted ? vxtest::certsFile("ca.pem").c_str() : nullptr),
            0);
        vxtest::TlsServer server(row.certificate);
        serveBlobs(server);
        ASSERT_TRUE(server.valid());
        m_requests = 0;
        std::string target = m_dir.write("keep.bin", "old");
        auto msgs = download({server.url("/blob/10")}, {target}, "", 0, 5);
        expectFailure(msgs);
        const std::string prefix = "error:下载 keep.bin 失败：证书验证失败（";
        EXPECT_EQ(msgs.back().rfind(prefix, 0), 0u) << msgs.back();
        EXPECT_GT(msgs.back().size(), prefix.size() + std::string("）").size())
            << "curl's words in the brackets";
        EXPECT_FALSE(hasText(msgs, "正在重试"));
        EXPECT_EQ(handshakes(server), 1) << "a certificate that fails is not tried again";
        EXPECT_EQ(m_requests.load(), 0)
            << "nothing is asked of a server that did not prove its name";
        EXPECT_EQ(vxtest::readFile(target), "old");
        EXPECT_EQ(listing(m_dir.path()), std::set<std::string>{"keep.bin"});
    }
}

TEST_F(Tls, TheTrustSettingTakesOnlyFilesWithCertificatesAndKeepsTheLastOne) {
    vxtest::TlsServer server;
    serveBlobs(server);
    ASSERT_TRUE(server.valid());
    auto works = [&] {
        auto msgs = download({server.url("/blob/10")}, {m_dir.file("f.bin")}, "", 0, 1);
        return msgs.back() == "完成";
    };
    EXPECT_FALSE(works()) << "the test authority is not one of the system's";

    // A path in the ANSI code page, as every text of the library.
    const std::string copied =
        m_dir.write("证书/测试 ca.pem", vxtest::readFile(vxtest::certsFile("ca.pem")));
    ASSERT_EQ(Library::get().trustCaFile(vx::toAnsi(copied).c_str()), 0);
    EXPECT_TRUE(works());

    // Files that cannot be used leave the setting as it was.
    const std::string empty = m_dir.write("empty.pem", "");
    const std::string text = m_dir.write(
        "text.pem", "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
    for (const std::string& path : {m_dir.file("missing.pem"), vxtest::certsFile("ca.key"), empty,
                                    text, m_dir.file("证书")}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Library::get().trustCaFile(vx::toAnsi(path).c_str()), -1);
    }
    EXPECT_TRUE(works()) << "a refused file replaced the trusted one";

    ASSERT_EQ(Library::get().trustCaFile(""), 0);
    EXPECT_FALSE(works()) << "an empty path goes back to the system's authorities only";
}

TEST_F(Tls, AnHttpsAddressNeverTurnsIntoPlainHttp) {
    std::atomic<int> plainHits{0};
    HttpServer plain;
    plain.server().Get("/blob/10", [&](const httplib::Request&, httplib::Response& res) {
        ++plainHits;
        res.set_content(pattern(10, 10), "application/octet-stream");
    });
    vxtest::TlsServer server;
    serveBlobs(server);
    server.server().Get("/to-http", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(plain.url("/blob/10"));
    });
    server.server().Get("/to-https", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(server.url("/blob/10"));
    });
    ASSERT_TRUE(server.valid());
    ASSERT_EQ(Library::get().trustCaFile(vxtest::certsFile("ca.pem").c_str()), 0);

    std::string target = m_dir.write("f.bin", "old");
    auto msgs = download({server.url("/to-http")}, {target});
    expectFailure(msgs);
    EXPECT_EQ(msgs.back(),
              "error:下载 f.bin 失败：服务器把 https 下载地址重定向到了不加密的 http 地址，已拒绝");
    EXPECT_FALSE(hasText(msgs, "正在重试"));
    EXPECT_EQ(plainHits.load(), 0);
    EXPECT_EQ(vxtest::readFile(target), "old");

    // A redirect that stays on https is followed as usual.
    expectSuccess(download({server.url("/to-https")}, {target}));
    EXPECT_EQ(vxtest::readFile(target), pattern(10, 10));
}

} // namespace
