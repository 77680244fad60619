// The demo service's secure delivery: signed descriptors, SHA-256 digests of every file and
// package, and HTTPS.

#include "ServiceFixture.h"
#include "core/Signing.h"
#include "support/TlsServer.h"

#include <csignal>
#include <ctime>
#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace servicetest;

namespace {

// The fixture's service with a signing key, and HTTPS when a test asks for it.
class SecureService : public ServiceFixture {
protected:
    void SetUp() override {
        auto pair = vx::generateSigningKey();
        ASSERT_TRUE(pair) << pair.error();
        keys = *pair;
    }

    void start(bool https) {
        tls = https;
        startService();
    }
    void adjust(vxdemo::ServiceOptions& o) override {
        o.signingKeyPem = keys.privatePem;
        if (tls) {
            o.tlsCertificate = vxtest::certsFile("server.pem");
            o.tlsKey = vxtest::certsFile("server.key");
        }
    }

    // True when `sig` (a .sig reply's body) is the signature of `body` by the fixture's key.
    bool signs(const std::string& sig, const std::string& body) const {
        auto raw = vx::parseSignature(sig);
        EXPECT_TRUE(raw) << raw.error() << ": " << sig;
        return raw && vx::verifyEd25519(*vx::parsePublicKey(keys.publicKeyBase64), body, *raw);
    }

    vx::SigningKeyPair keys;
    bool tls = false;
};

// An HTTPS client of 127.0.0.1:port that trusts the certificates of the PEM file `ca` only.
std::unique_ptr<httplib::SSLClient> tlsClient(int port, const std::string& ca) {
    auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
    c->set_ca_cert_path(ca.c_str());
    c->enable_server_certificate_verification(true);
    c->set_connection_timeout(10);
    c->set_read_timeout(30);
    return c;
}

} // namespace

TEST_F(SecureService, EveryDescriptorIsSignedAndCarriesTheSha256OfWhatIsServed) {
    start(false);
    data.write("apps/KVLMZ/version.txt", "0.3.0\n");
    data.write("apps/KVLMZ/files/vxclient", "new client");
    data.write("apps/KVLMZ/files/lib/libx.so", std::string("\0\x01\xff binary", 10));
    auto c = client();
    std::vector<std::string> dirs = {vxdemo::kClientDir};
    for (const auto& app : service->store().catalogue())
        dirs.push_back(app.dir);
    for (const auto& dir : dirs) {
        const std::string path = "/apps/" + dir + "/version.xml";
        auto desc = c.Get(path.c_str());
        auto sig = c.Get((path + ".sig").c_str());
        ASSERT_TRUE(desc && sig) << dir;
        ASSERT_EQ(desc->status, 200) << dir;
        ASSERT_EQ(sig->status, 200) << dir;
        EXPECT_TRUE(signs(sig->body, desc->body)) << dir;
        // The signature covers the bytes: one more byte and it no longer matches.
        EXPECT_FALSE(signs(sig->body, desc->body + "\n")) << dir;

        pugi::xml_document doc;
        auto root = parseXml(doc, desc->body);
        int files = 0;
        for (pugi::xml_node f : root.child("updateFile").children()) {
            ++files;
            const std::string name =
                std::string(f.attribute("Dir").value()).substr(5) + f.attribute("Name").value();
            auto file = c.Get(("/apps/" + dir + "/" + name).c_str());
            ASSERT_TRUE(file);
            ASSERT_EQ(file->status, 200) << dir << "/" << name;
            EXPECT_EQ(f.attribute("SHA256").value(), vx::sha256Hex(file->body)) << name;
            EXPECT_EQ(f.attribute("MD5").value(), md5Upper(file->body)) << name;
            // The attributes old clients read come first, as they always did.
            EXPECT_STREQ(f.first_attribute().name(), "Dir");
            EXPECT_STREQ(f.first_attribute().next_attribute().name(), "Name");
        }
        EXPECT_GE(files, 2) << dir;
        // Signed for a week from the start of today (UTC), and for its application and program.
        const auto expires = vx::parseUtcTime(root.child_value("expires"));
        ASSERT_TRUE(expires) << desc->body;
        const std::int64_t now = std::time(nullptr);
        EXPECT_GT(*expires, now + 6 * 86400) << desc->body;
        EXPECT_LE(*expires, now + 7 * 86400) << desc->body;
        EXPECT_EQ(*expires % 86400, 0);
        if (dir != vxdemo::kClientDir) {
            const auto app = service->store().appByDir(dir);
            ASSERT_TRUE(app);
            EXPECT_EQ(root.child_value("appId"), std::to_string(app->id)) << desc->body;
            EXPECT_EQ(root.child_value("MainFile"), app->mainFile) << desc->body;
        }
        if (dir == vxdemo::kClientDir) {
            EXPECT_FALSE(root.child("zipSHA256")) << desc->body;
            continue;
        }
        const std::string zipFile = root.child_value("zipFile");
        auto zip = c.Get(("/apps/" + dir + "/" + zipFile).c_str());
        ASSERT_TRUE(zip);
        ASSERT_EQ(zip->status, 200);
        EXPECT_EQ(root.child("zipFile").next_sibling().name(), std::string("zipSHA256"));
        EXPECT_EQ(root.child_value("zipSHA256"), vx::sha256Hex(zip->body)) << dir;
    }

    // A changed release file: a new digest in the descriptor and a signature of the new text.
    data.write("apps/KVLMZ/files/vxclient", "a newer client, longer");
    auto desc = c.Get("/apps/KVLMZ/version.xml");
    auto sig = c.Get("/apps/KVLMZ/version.xml.sig");
    EXPECT_NE(desc->body.find("SHA256=\"" + vx::sha256Hex("a newer client, longer") + "\""),
              std::string::npos)
        << desc->body;
    EXPECT_TRUE(signs(sig->body, desc->body));

    // Signatures exist for descriptors only.
    for (const char* none : {"/apps/nope/version.xml.sig", "/apps/userinfo/readme.txt.sig",
                             "/apps/KVLMZ/vxclient.sig", "/apps/userinfo/version.xm.sig"})
        EXPECT_EQ(c.Get(none)->status, 404) << none;
}

TEST_F(ServiceFixture, WithoutASigningKeyThereAreNoSignaturesButStillDigests) {
    auto c = client();
    EXPECT_EQ(c.Get("/apps/userinfo/version.xml.sig")->status, 404);
    EXPECT_EQ(c.Get("/apps/KVLMZ/version.xml.sig")->status, 404);
    auto desc = c.Get("/apps/userinfo/version.xml");
    ASSERT_EQ(desc->status, 200);
    pugi::xml_document doc;
    auto root = parseXml(doc, desc->body);
    EXPECT_TRUE(vx::isSha256Hex(root.child_value("zipSHA256"))) << desc->body;
    for (pugi::xml_node f : root.child("updateFile").children())
        EXPECT_TRUE(vx::isSha256Hex(f.attribute("SHA256").value())) << desc->body;
}

TEST_F(SecureService, HttpsServesThePageAndTheDescriptors) {
    start(true);
    ASSERT_TRUE(service->secure());
    auto c = tlsClient(port, vxtest::certsFile("ca.pem"));
    auto page = c->Get("/");
    ASSERT_TRUE(page) << httplib::to_string(page.error());
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->body, vxtest::readFile(std::string(VX_WEB_DIR) + "/index.html"));
    for (const char* asset : {"/css/app.css", "/js/app.js"})
        EXPECT_EQ(c->Get(asset)->status, 200) << asset;
    auto login =
        c->Post("/Login.php", "user=demo&pws=demo123", "application/x-www-form-urlencoded");
    ASSERT_TRUE(login);
    EXPECT_NE(login->body.find("<statu>true</statu>"), std::string::npos) << login->body;
    auto desc = c->Get("/apps/userinfo/version.xml");
    auto sig = c->Get("/apps/userinfo/version.xml.sig");
    ASSERT_TRUE(desc && sig);
    EXPECT_TRUE(signs(sig->body, desc->body));

    // The certificate is the test CA's: a client that trusts only another CA refuses it.
    auto untrusted = tlsClient(port, vxtest::certsFile("server.pem"));
    EXPECT_FALSE(untrusted->Get("/"));
    // Plain HTTP on the port gets no page.
    auto plain = client().Get("/");
    EXPECT_TRUE(!plain || plain->status != 200);
}

TEST(SecureServiceOptions, UnusableKeysAndCertificatesAreRefused) {
    vxtest::TempDir data("svc-bad");
    auto make = [&](auto set) {
        vxdemo::ServiceOptions o;
        o.dataDir = data.path();
        o.webDir = VX_WEB_DIR;
        set(o);
        return vxdemo::DemoService::create(o);
    };
    auto badKey = make([](auto& o) { o.signingKeyPem = "not a key"; });
    ASSERT_FALSE(badKey);
    EXPECT_NE(badKey.error().find("signing key"), std::string::npos) << badKey.error();
    auto halfTls = make([](auto& o) { o.tlsCertificate = vxtest::certsFile("server.pem"); });
    EXPECT_FALSE(halfTls);
    auto wrongPair = make([](auto& o) {
        o.tlsCertificate = vxtest::certsFile("server.pem");
        o.tlsKey = vxtest::certsFile("wronghost.key");
    });
    ASSERT_FALSE(wrongPair);
    EXPECT_NE(wrongPair.error().find("certificate"), std::string::npos) << wrongPair.error();
    EXPECT_FALSE(make([](auto& o) {
        o.tlsCertificate = "/nonexistent/cert.pem";
        o.tlsKey = "/nonexistent/key.pem";
    }));
}

namespace {

// The demo program running with `args` on a free port; stopped (SIGTERM) at the end.
class DemoProgram {
public:
    explicit DemoProgram(std::vector<std::string> args) {
        args.insert(args.begin(), VX_DEMO_EXE);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        posix_spawn_file_actions_addclose(&fa, fds[1]);
        if (posix_spawn(&m_pid, VX_DEMO_EXE, &fa, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(fds[1]);
        m_out = ::fdopen(fds[0], "r");
    }
    ~DemoProgram() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int st = 0;
            ::waitpid(m_pid, &st, 0);
        }
        if (m_out)
            std::fclose(m_out);
    }
    // The first line the program prints (its address), or "" when it ended first.
    std::string firstLine() {
        char buf[4096];
        return m_out && std::fgets(buf, sizeof buf, m_out) ? std::string(buf) : std::string();
    }

private:
    pid_t m_pid = -1;
    FILE* m_out = nullptr;
};

int runDemo(const std::string& args) {
    int st = std::system((std::string(VX_DEMO_EXE) + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

} // namespace

TEST(SecureServiceProgram, TheFlagsServeHttpsAndSignatures) {
    vxtest::TempDir dir("svc-prog");
    auto pair = vx::generateSigningKey();
    ASSERT_TRUE(pair);
    const std::string key = dir.write("keys/signing.key", pair->privatePem);
    const std::string data = " --data '" + dir.file("data") + "' ";

    EXPECT_EQ(runDemo(data + "--port 0 --tls-cert '" + vxtest::certsFile("server.pem") + "'"), 2);
    EXPECT_EQ(runDemo(data + "--port 0 --tls-key '" + vxtest::certsFile("server.key") + "'"), 2);
    EXPECT_EQ(runDemo(data + "--port 0 --sign-key"), 2);
    EXPECT_EQ(runDemo(data + "--port 0 --sign-key '" + dir.file("none.key") + "'"), 1);
    EXPECT_EQ(runDemo(data + "--port 0 --sign-key '" + vxtest::certsFile("server.pem") + "'"), 1);

    DemoProgram demo({"--data", dir.file("data"), "--quiet", "--port", "0", "--tls-cert",
                      vxtest::certsFile("server.pem"), "--tls-key", vxtest::certsFile("server.key"),
                      "--sign-key", key});
    const std::string line = demo.firstLine();
    const std::string prefix = "vxcenter-demo: https://127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const int port = std::atoi(line.c_str() + prefix.size());
    ASSERT_GT(port, 0) << line;
    auto c = tlsClient(port, vxtest::certsFile("ca.pem"));
    auto desc = c->Get("/apps/launcher/version.xml");
    ASSERT_TRUE(desc) << httplib::to_string(desc.error());
    auto sig = c->Get("/apps/launcher/version.xml.sig");
    ASSERT_TRUE(sig);
    ASSERT_EQ(sig->status, 200);
    auto raw = vx::parseSignature(sig->body);
    ASSERT_TRUE(raw) << raw.error();
    EXPECT_TRUE(vx::verifyEd25519(*vx::parsePublicKey(pair->publicKeyBase64), desc->body, *raw));
}

TEST(SecureServiceProgram, TheDescriptorCommandGivesThePackageDigest) {
    vxtest::TempDir dir("svc-desc");
    const std::string zip = dir.write("ledger/ledger-2.0.zip", "PK package bytes");
    dir.write("ledger/files/ledger.exe", "program");
    const std::string out = dir.file("out.xml");
    auto describe = [&](const std::string& zipArg) {
        std::string cmd = std::string(VX_DEMO_EXE) + " descriptor '" + dir.file("ledger/files") +
                          "' --version 2.0 --zip '" + zipArg + "' > '" + out + "' 2>/dev/null";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        pugi::xml_document doc;
        parseXml(doc, vxtest::readFile(out));
        return std::pair<std::string, std::string>(doc.document_element().child_value("zipFile"),
                                                   doc.document_element().child_value("zipSHA256"));
    };
    const std::string sha = vx::sha256Hex("PK package bytes");
    // By its path, or by its name beside the release folder; either way named by its name.
    EXPECT_EQ(describe(zip), std::make_pair(std::string("ledger-2.0.zip"), sha));
    EXPECT_EQ(describe("ledger-2.0.zip"), std::make_pair(std::string("ledger-2.0.zip"), sha));
    // A package that is not there is still named, without a digest.
    EXPECT_EQ(describe("ledger-3.0.zip"),
              std::make_pair(std::string("ledger-3.0.zip"), std::string()));
    EXPECT_NE(vxtest::readFile(out).find("SHA256=\"" + vx::sha256Hex("program") + "\""),
              std::string::npos);
}
