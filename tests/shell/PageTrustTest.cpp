// The page trusts config.xml's extra authority and nothing beyond it: the verification of a
// server's chain against the test CA (tests/support/certs), and real Chromium pages loaded
// from HTTPS servers on 127.0.0.1 with a certificate of that CA.
//
// Chromium remembers an accepted certificate for its host as long as the profile lives, and
// then no longer asks. The one profile of this program is shared by every test, so the
// "server" certificate is accepted only for 127.0.0.1 and is expected refused only for
// localhost; the other certificates are never accepted.

#include "QtPump.h"
#include "shell/PageTrust.h"

#include "core/Trust.h"
#include "shell/QtEngine.h"
#include "support/TempDir.h"
#include "support/TlsServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSslCertificate>
#include <QWebEngineView>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

using namespace vx;
using namespace vx::shell;
using vxtest::certsFile;

namespace {

constexpr const char* kTitle = "served over TLS";

std::vector<QByteArray> derOf(std::initializer_list<const char*> names) {
    std::vector<QByteArray> chain;
    for (const char* name : names)
        for (const QSslCertificate& c :
             QSslCertificate::fromPath(QString::fromStdString(certsFile(name)), QSsl::Pem))
            chain.push_back(c.toDer());
    return chain;
}

// What the client's settings say while a test runs; the settings in force before come back
// at its end.
class CaFileSetting {
public:
    CaFileSetting() : m_before(Trust.caFile) {}
    ~CaFileSetting() { Trust.caFile = m_before; }
    void set(const std::string& path) { Trust.caFile = path; }

private:
    std::string m_before;
};

TEST(PageTrustVerify, OnlyTheFilesAuthorityForTheRightHostNowAsAServer) {
    vxtest::TempDir dir("pagetrust");
    const std::string ca = certsFile("ca.pem");
    const std::string caText = vxtest::readFile(ca);
    const std::string broken = dir.write(
        "broken.pem", "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n" + caText);
    const std::string twice = dir.write("twice.pem", caText + "\n" + caText);
    struct Row {
        const char* what;
        std::string caFile;
        std::vector<QByteArray> chain;
        const char* host;
        bool accepted;
    };
    const Row rows[] = {
        {"server by address", ca, derOf({"server.pem"}), "127.0.0.1", true},
        {"server by name", ca, derOf({"server.pem"}), "localhost", true},
        {"name in capitals", ca, derOf({"server.pem"}), "LOCALHOST", true},
        {"authority sent along", ca, derOf({"server.pem", "ca.pem"}), "127.0.0.1", true},
        {"authority twice in the file", twice, derOf({"server.pem"}), "127.0.0.1", true},
        {"another address", ca, derOf({"server.pem"}), "127.0.0.2", false},
        {"IPv6 loopback", ca, derOf({"server.pem"}), "::1", false},
        {"another name", ca, derOf({"server.pem"}), "example.org", false},
        {"certificate of another name", ca, derOf({"wronghost.pem"}), "127.0.0.1", false},
        {"certificate of another name, for it", ca, derOf({"wronghost.pem"}), "wrong.example",
         true},
        {"expired", ca, derOf({"expired.pem"}), "127.0.0.1", false},
        {"signed with SHA-1", ca, derOf({"sha1signed.pem"}), "127.0.0.1", false},
        {"RSA key of 1024 bits", ca, derOf({"rsa1024.pem"}), "127.0.0.1", false},
        {"the authority as the server", ca, derOf({"ca.pem"}), "127.0.0.1", false},
        {"no cafile", "", derOf({"server.pem"}), "127.0.0.1", false},
        {"cafile missing", dir.file("none.pem"), derOf({"server.pem"}), "127.0.0.1", false},
        {"cafile of a key only", certsFile("server.key"), derOf({"server.pem"}), "127.0.0.1",
         false},
        {"cafile with a broken certificate", broken, derOf({"server.pem"}), "127.0.0.1", false},
        {"cafile of another certificate", certsFile("wronghost.pem"), derOf({"server.pem"}),
         "127.0.0.1", false},
        {"no chain", ca, {}, "127.0.0.1", false},
        {"not a certificate", ca, {QByteArray("not DER")}, "127.0.0.1", false},
        {"no host", ca, derOf({"server.pem"}), "", false},
    };
    for (const Row& row : rows) {
        const Status st = verifyServerChain(row.caFile, row.chain, QString::fromLatin1(row.host));
        EXPECT_EQ(st.ok(), row.accepted) << row.what << ": " << st.error();
        if (!row.accepted) {
            EXPECT_FALSE(st.error().empty()) << row.what;
        }
    }
    // Read once: the file changed on disk still verifies as it was first read.
    dir.write("twice.pem", "");
    EXPECT_TRUE(verifyServerChain(twice, derOf({"server.pem"}), "127.0.0.1").ok());
}

bool pumpFor(const std::function<bool()>& pred, int guardMs = 60000) {
    return shelltest::pumpUntil(pred, guardMs);
}

// A real view of the client's page class and an HTTPS server with one certificate.
class PageTrustLoad : public ::testing::Test {
protected:
    struct Outcome {
        bool loaded = false;
        std::string title;
        int requests = 0;                      // what reached the server
        std::vector<std::string> refusedHosts; // what the page said it refused
    };

    Outcome load(const std::string& certificate, const std::string& host = "127.0.0.1") {
        vxtest::TlsServer server(certificate);
        EXPECT_TRUE(server.valid()) << certificate;
        server.server().set_keep_alive_timeout(1); // so that stopping does not wait on Chromium
        std::atomic<int> requests{0};
        server.server().Get("/page.html", [&](const httplib::Request&, httplib::Response& res) {
            ++requests;
            res.set_content(std::string("<html><head><title>") + kTitle +
                                "</title></head><body>x</body></html>",
                            "text/html; charset=utf-8");
        });
        QWebEngineView view;
        auto* page = new VxWebPage(&view);
        view.setPage(page);
        view.resize(400, 300);
        view.show();
        Outcome out;
        std::optional<bool> finished;
        QObject::connect(page, &QWebEnginePage::loadFinished, [&](bool ok) { finished = ok; });
        QObject::connect(page, &VxWebPage::certificateRefused, [&](const QUrl& url) {
            out.refusedHosts.push_back(url.host().toStdString());
        });
        view.load(QUrl(QString::fromStdString(server.url("/page.html", host))));
        EXPECT_TRUE(pumpFor([&] { return finished.has_value(); })) << certificate;
        out.loaded = finished.value_or(false);
        bool read = false;
        page->runJavaScript(QStringLiteral("document.title"), [&](const QVariant& v) {
            out.title = v.toString().toStdString();
            read = true;
        });
        EXPECT_TRUE(pumpFor([&] { return read; }));
        out.requests = requests;
        return out;
    }

    void expectRefused(const Outcome& out, const std::string& host, const char* what) {
        EXPECT_FALSE(out.loaded) << what;
        EXPECT_NE(out.title, kTitle) << what;
        EXPECT_EQ(out.requests, 0) << what;
        EXPECT_EQ(out.refusedHosts, std::vector<std::string>{host}) << what;
    }

    CaFileSetting setting;
};

TEST_F(PageTrustLoad, WithoutTheCaFileNothingIsAccepted) {
    setting.set("");
    expectRefused(load("server", "localhost"), "localhost", "no cafile");
    // A cafile that holds no certificate trusts nothing.
    setting.set(certsFile("server.key"));
    expectRefused(load("server", "localhost"), "localhost", "cafile of a key only");
}

TEST_F(PageTrustLoad, WithTheCaFileOnlyAValidCertificateOfTheHostLoads) {
    setting.set(certsFile("ca.pem"));
    expectRefused(load("wronghost"), "127.0.0.1", "certificate of another name");
    expectRefused(load("expired"), "127.0.0.1", "expired certificate");
    expectRefused(load("sha1signed"), "127.0.0.1", "signed with SHA-1");
    expectRefused(load("rsa1024"), "127.0.0.1", "RSA key of 1024 bits");
    const Outcome good = load("server");
    EXPECT_TRUE(good.loaded);
    EXPECT_EQ(good.title, kTitle);
    EXPECT_EQ(good.requests, 1);
    EXPECT_TRUE(good.refusedHosts.empty());
}

} // namespace
