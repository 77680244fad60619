// The worker over HTTPS: the system's trust plus config.xml's cafile, certificates always
// verified, a certificate failure told apart from other failures.

#include "core/Trust.h"
#include "http/HttpThread.h"
#include "HttpTestSupport.h"
#include "support/TlsServer.h"

#include <gtest/gtest.h>

namespace {

class TlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        vx::setMainThread(&m_loop);
        vx::THttpThread::setCertificateFailureHook(
            [this](const std::string& url) { m_certificateFailures.push_back(url); });
    }
    void TearDown() override {
        vxtest::drain(m_loop);
        vx::THttpThread::setCertificateFailureHook(nullptr);
        vx::Trust = {};
        vx::setMainThread(nullptr);
    }

    // One GET of a text, to its end.
    std::shared_ptr<vxtest::Outcome> get(const std::string& url, bool keepBytes = false) {
        auto* th = new vx::THttpThread(url, "", "", "t", nullptr, vx::kSendGetText);
        th->FKeepBytes = keepBytes;
        auto out = vxtest::watch(th);
        vxtest::pumpUntil(m_loop, [&] { return out->doneCount == 1; });
        vxtest::drain(m_loop);
        return out;
    }

    static void serve(vxtest::TlsServer& s, const std::string& body,
                      const std::string& type = "text/plain; charset=utf-8") {
        s.server().Get("/page", [body, type](const httplib::Request&, httplib::Response& r) {
            r.set_content(body, type);
        });
    }

    vx::LoopMainThread m_loop;
    std::vector<std::string> m_certificateFailures;
};

TEST_F(TlsTest, TheConfiguredAuthorityIsTrustedBesideTheSystems) {
    vxtest::TlsServer server;
    ASSERT_TRUE(server.valid());
    serve(server, "secure answer");

    // The test CA is no authority of the system: refused, and told as a certificate failure.
    auto refused = get(server.url("page"));
    EXPECT_EQ(refused->info.str, "");
    EXPECT_TRUE(refused->info.certificateFailed);
    EXPECT_EQ(m_certificateFailures, std::vector<std::string>{server.url("page")});

    vx::Trust.caFile = vxtest::certsFile("ca.pem");
    auto trusted = get(server.url("page"));
    EXPECT_EQ(trusted->info.str, "secure answer");
    EXPECT_FALSE(trusted->info.certificateFailed);
    EXPECT_EQ(m_certificateFailures.size(), 1u);

    // "localhost" is a name of that certificate too.
    EXPECT_EQ(get(server.url("page", "localhost"))->info.str, "secure answer");
}

TEST_F(TlsTest, AWrongNameAnExpiredOrAWeakCertificateIsRefusedEvenFromTheTrustedAuthority) {
    vx::Trust.caFile = vxtest::certsFile("ca.pem");
    for (const char* cert : {"wronghost", "expired", "sha1signed", "rsa1024"}) {
        SCOPED_TRACE(cert);
        vxtest::TlsServer server(cert);
        ASSERT_TRUE(server.valid());
        serve(server, "never seen");
        auto out = get(server.url("page"));
        EXPECT_EQ(out->info.str, "");
        EXPECT_TRUE(out->info.certificateFailed);
    }
    EXPECT_EQ(m_certificateFailures.size(), 4u);
}

TEST_F(TlsTest, AnUnreadableAuthorityFileLeavesTheSystemsTrustAlone) {
    // No file, or a file without a certificate: the test CA stays untrusted, and nothing
    // else changes (a plain service still answers).
    vxtest::TlsServer server;
    serve(server, "x");
    vxtest::HttplibServer plain;
    plain.server().Get("/page", [](const httplib::Request&, httplib::Response& r) {
        r.set_content("plain", "text/plain");
    });
    for (std::string file : {std::string("/nonexistent/ca.pem"), vxtest::certsFile("ca.key")}) {
        SCOPED_TRACE(file);
        vx::Trust.caFile = file;
        EXPECT_TRUE(get(server.url("page"))->info.certificateFailed);
        EXPECT_EQ(get(plain.url("/page"))->info.str, "plain");
    }
}

TEST_F(TlsTest, ARedirectFromHttpsToHttpIsNeverFollowed) {
    vx::Trust.caFile = vxtest::certsFile("ca.pem");
    vxtest::HttplibServer plain;
    int plainHits = 0;
    plain.server().Get("/page", [&](const httplib::Request&, httplib::Response& r) {
        ++plainHits;
        r.set_content("downgraded", "text/plain");
    });
    vxtest::TlsServer server;
    const std::string target = plain.url("/page");
    server.server().Get("/page", [target](const httplib::Request&, httplib::Response& r) {
        r.set_redirect(target);
    });
    auto out = get(server.url("page"));
    EXPECT_EQ(out->info.str, "");
    EXPECT_FALSE(out->info.certificateFailed);
    EXPECT_EQ(plainHits, 0);
}

TEST_F(TlsTest, KeptBytesAreTheRepliesAsServedBeforeCharsetConversion) {
    vx::Trust.caFile = vxtest::certsFile("ca.pem");
    vxtest::TlsServer server;
    const std::string gbk = "\xD6\xD0\xCE\xC4"; // 中文 in GBK
    serve(server, "<a>" + gbk + "</a>", "text/xml; charset=gbk");
    auto kept = get(server.url("page"), true);
    EXPECT_EQ(kept->info.bytes, "<a>" + gbk + "</a>");
    EXPECT_EQ(kept->info.str, "<a>中文</a>");
    // Only when asked for.
    EXPECT_EQ(get(server.url("page"))->info.bytes, "");
}

} // namespace
