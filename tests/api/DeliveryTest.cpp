// Signed descriptors and SHA-256 per file: what config.xml's keys require, what is refused
// and what reaches the downloader, with the real downloader and a service on loopback.

#include "InstallFixture.h"

#include "api/ApiSupport.h"

#include "core/Signing.h"
#include <pugixml.hpp>
#include "core/Trust.h"

#include <sys/stat.h>

using namespace apitest;

namespace {

std::string sha256(const std::string& bytes) { return vx::sha256Hex(bytes); }
std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

class DeliveryTest : public InstallTest {
protected:
    void SetUp() override {
        InstallTest::SetUp();
        auto key = vx::generateSigningKey();
        ASSERT_TRUE(key.ok()) << key.error();
        m_key = key->privatePem;
        auto pub = vx::parsePublicKey(key->publicKeyBase64);
        ASSERT_TRUE(pub.ok());
        vx::Trust = {};
        vx::Trust.signKeys = {*pub};
        vx::Trust.signingRequired = true;
    }
    void TearDown() override {
        vx::Trust = {};
        InstallTest::TearDown();
    }

    // Publishes a descriptor with its signature by `key` (the configured one by default).
    void publishSigned(const std::string& path, const std::string& text,
                       const std::string& key = "") {
        publish(path, text);
        auto sig = vx::signEd25519(key.empty() ? m_key : key, text);
        ASSERT_TRUE(sig.ok()) << sig.error();
        publish(path + ".sig", vx::signatureFileText(*sig));
    }
    std::string installDescriptor(const std::string& zipSha256) {
        return "<?xml version=\"1.0\" encoding=\"utf-8\"?><info><appId>30</appId><version>1.0</version>"
               "<zipFile>pkg.zip</zipFile>" +
               (zipSha256.empty() ? std::string() : "<zipSHA256>" + zipSha256 + "</zipSHA256>") +
               "<updateFile/></info>";
    }
    bool statusHas(const std::string& text) const {
        for (const auto& c : host.callsStarting("ST_softStatu("))
            if (c.find(text) != std::string::npos)
                return true;
        return false;
    }

    std::string m_key;
};

TEST_F(DeliveryTest, SignedDescriptorsInstallAndUpdateWithCheckedFiles) {
    const std::string pkg = makeZip(dir, {{"version.xml", installDescriptor("")}, {"run.sh", "#!/bin/sh\n"}});
    publishSigned("app30/version.xml", installDescriptor(sha256(pkg)));
    publish("app30/pkg.zip", pkg);
    loadList();
    EXPECT_EQ(api->_InstallApp("30"), "正在安装");
    waitIdle("the install");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装完成\")"));
    EXPECT_EQ(service.count("GET /apps/app30/version.xml.sig"), 1);
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/run.sh"), "#!/bin/sh\n");

    // The update decides by SHA-256 where it is given: same.txt's MD5 is wrong on purpose and
    // still counts as unchanged; new.txt (upper-case digest) is fetched and checked.
    const std::string same = "same", fresh = "fresh";
    dir.write("apps/app30/same.txt", same);
    publishSigned("app30/version.xml",
                  descriptor("1.1", "<f Dir=\"{app}\" Name=\"same.txt\" MD5=\"0\" SHA256=\"" +
                                        sha256(same) + "\"/><f Dir=\"{app}\" Name=\"new.txt\" MD5=\"" +
                                        md5Upper(fresh) + "\" SHA256=\"" +
                                        upper(sha256(fresh)) + "\"/>"));
    publish("app30/new.txt", fresh);
    host.calls.clear();
    EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
    waitIdle("the update");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"升级完成\")"));
    EXPECT_EQ(service.count("GET /apps/app30/same.txt"), 0);
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/new.txt"), fresh);
}

TEST_F(DeliveryTest, ADescriptorThatNoConfiguredKeySignedDownloadsNothing) {
    const std::string pkg = makeZip(dir, {{"version.xml", installDescriptor("")}});
    const std::string good = installDescriptor(sha256(pkg));
    auto other = vx::generateSigningKey();
    ASSERT_TRUE(other.ok());
    auto goodSig = vx::signEd25519(m_key, good);
    ASSERT_TRUE(goodSig.ok());
    std::string tampered = good;
    tampered.replace(tampered.find("1.0"), 3, "9.9");
    struct Case {
        const char* what;
        std::function<void()> publishIt;
        const char* status;
    } cases[] = {
        {"no signature", [&] { publish("app30/version.xml", good); }, "描述文件没有签名，已拒绝："},
        {"an empty signature", [&] { publish("app30/version.xml", good); publish("app30/version.xml.sig", " \r\n"); },
         "描述文件没有签名，已拒绝："},
        {"not base64", [&] { publish("app30/version.xml", good); publish("app30/version.xml.sig", "not a signature!"); },
         "描述文件签名无效，已拒绝："},
        {"another key", [&] { publishSigned("app30/version.xml", good, other->privatePem); },
         "描述文件签名无效，已拒绝："},
        {"a changed descriptor",
         [&] { publish("app30/version.xml", tampered); publish("app30/version.xml.sig", vx::signatureFileText(*goodSig)); },
         "描述文件签名无效，已拒绝："},
        {"no package digest", [&] { publishSigned("app30/version.xml", installDescriptor("")); },
         "描述文件缺少SHA256校验值，已拒绝："},
        {"a malformed package digest", [&] { publishSigned("app30/version.xml", installDescriptor("abc")); },
         "描述文件的SHA256校验值无效，已拒绝："},
    };
    publish("app30/pkg.zip", pkg);
    loadList();
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        {
            std::lock_guard lock(m);
            files.erase("app30/version.xml.sig");
        }
        c.publishIt();
        host.calls.clear();
        EXPECT_EQ(api->_InstallApp("30"), "正在安装");
        waitIdle("the refusal");
        EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装失败\")"));
        EXPECT_TRUE(statusHas(std::string(c.status) + service.base() + "apps/app30/version.xml"))
            << ::testing::PrintToString(host.calls);
        EXPECT_EQ(vx::FindApp(30)->DownStatu, "安装失败");
    }
    EXPECT_EQ(service.count("GET /apps/app30/pkg.zip"), 0);
    EXPECT_FALSE(std::filesystem::exists(vx::AppsPath + "app30/version.xml"));
}

TEST_F(DeliveryTest, AFileThatIsNotTheListedOneIsNeverPlaced) {
    // A signed update whose file on the wire differs from its listed SHA-256: the old file
    // stays, the operation fails, the descriptor stays the installed one.
    const std::string installed = descriptor("1.0", "");
    dir.write("apps/app30/version.xml", installed);
    dir.write("apps/app30/a.txt", "old");
    publishSigned("app30/version.xml",
                  descriptor("1.1", "<f Dir=\"{app}\" Name=\"a.txt\" MD5=\"\" SHA256=\"" +
                                        sha256("new") + "\"/>"));
    publish("app30/a.txt", "evil");
    loadList();
    EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
    waitIdle("the update");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装失败\")"));
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "升级失败");
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/a.txt"), "old");
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/version.xml"), installed);

    // An entry without SHA-256 under a key is refused before anything is fetched.
    publishSigned("app30/version.xml",
                  descriptor("1.2", "<f Dir=\"{app}\" Name=\"a.txt\" MD5=\"" + md5Upper("new") + "\"/>"));
    const int before = service.count("GET /apps/app30/a.txt");
    host.calls.clear();
    EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
    waitIdle("the refusal");
    EXPECT_TRUE(statusHas("描述文件缺少SHA256校验值，已拒绝："));
    EXPECT_EQ(service.count("GET /apps/app30/a.txt"), before);
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/a.txt"), "old");
}

TEST_F(DeliveryTest, AnOlderSignedDescriptorServedAgainTakesNothingBack) {
    // 2.0 is installed; a man in the middle serves the signed descriptor of 1.9 (still
    // signed: it once was the service's), with its files.
    dir.write("apps/app30/version.xml", descriptor("2.0", ""));
    dir.write("apps/app30/a.txt", "2.0");
    const auto entry = [](const std::string& body) {
        return "<f Dir=\"{app}\" Name=\"a.txt\" MD5=\"\" SHA256=\"" + sha256(body) + "\"/>";
    };
    publishSigned("app30/version.xml", descriptor("1.9", entry("1.9")));
    publish("app30/a.txt", "1.9");
    loadList();
    EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
    waitIdle("the refusal");
    EXPECT_TRUE(statusHas("描述文件的版本比已安装的旧，已拒绝：" + service.base() + "apps/app30/version.xml"));
    EXPECT_EQ(service.count("GET /apps/app30/a.txt"), 0);
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/a.txt"), "2.0");
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/version.xml"), descriptor("2.0", ""));

    // The same over an install ("repair"): refused as well.
    const std::string pkg = makeZip(dir, {{"version.xml", descriptor("1.9", "")}});
    publishSigned("app30/version.xml", "<?xml version=\"1.0\" encoding=\"utf-8\"?><info><appId>30</appId><version>1.9"
                                       "</version><zipFile>pkg.zip</zipFile><zipSHA256>" +
                                           sha256(pkg) + "</zipSHA256></info>");
    publish("app30/pkg.zip", pkg);
    host.calls.clear();
    EXPECT_EQ(api->_InstallApp("30"), "正在安装");
    waitIdle("the refused install");
    EXPECT_TRUE(statusHas("描述文件的版本比已安装的旧，已拒绝："));
    EXPECT_EQ(service.count("GET /apps/app30/pkg.zip"), 0);

    // A newer one, and one whose version is no dotted number, pass.
    for (const char* version : {"2.0.1", "2.1-beta"}) {
        SCOPED_TRACE(version);
        publishSigned("app30/version.xml", descriptor(version, entry(version)));
        publish("app30/a.txt", version);
        host.calls.clear();
        EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
        waitIdle("the update");
        EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"升级完成\")"));
        EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/a.txt"), version);
    }
}

TEST(VersionOrder, DottedNumbersCompareByNumber) {
    using vx::api::compareVersions;
    EXPECT_EQ(compareVersions("1.10", "1.9"), 1);
    EXPECT_EQ(compareVersions("1.0", "1"), 0);
    EXPECT_EQ(compareVersions(" 2.0 ", "2.0.1"), -1);
    EXPECT_EQ(compareVersions("1.0", "1.0.0.0"), 0);
    EXPECT_EQ(compareVersions("1.0-beta", "1.0"), std::nullopt);
    EXPECT_EQ(compareVersions("", "1.0"), std::nullopt);
    EXPECT_EQ(compareVersions("1..0", "1.0"), std::nullopt);
    EXPECT_EQ(compareVersions("99999999999999999999", "1"), std::nullopt);
}

TEST_F(DeliveryTest, WithoutAKeyUnsignedDescriptorsWorkAndGivenDigestsStillCount) {
    vx::Trust = {};
    const std::string pkg = makeZip(dir, {{"version.xml", descriptor("1.0", "")}, {"run.sh", "x"}});
    publish("app30/version.xml", descriptor("1.0", ""));
    publish("app30/pkg.zip", pkg);
    loadList();
    EXPECT_EQ(api->_InstallApp("30"), "正在安装");
    waitIdle("the unsigned install");
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装完成\")"));
    EXPECT_EQ(service.count("GET /apps/app30/version.xml.sig"), 0);

    // A digest the service gives is checked even without a key.
    publish("app30/version.xml", descriptor("1.1", "<f Dir=\"{app}\" Name=\"run.sh\" MD5=\"\" SHA256=\"" +
                                                      sha256("y") + "\"/>"));
    publish("app30/run.sh", "tampered");
    host.calls.clear();
    EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
    waitIdle("the update");
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "升级失败");
    EXPECT_EQ(vxtest::readFile(vx::AppsPath + "app30/run.sh"), "x");
}

TEST_F(DeliveryTest, TheClientsOwnUpdateIsRefusedWhenItsDescriptorIsNotSigned) {
    const std::string v2 = "#!/bin/sh\necho v2\n";
    api->executablePath = dir.write("vxclient", "#!/bin/sh\necho v1\n");
    const std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?><verInfo><updateFile>"
                             "<f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" + md5Upper(v2) +
                             "\" SHA256=\"" + sha256(v2) + "\"/></updateFile></verInfo>";
    publish("KVLMZ/version.xml", text);
    publish("KVLMZ/vxclient", v2);
    auto other = vx::generateSigningKey();
    ASSERT_TRUE(other.ok());
    auto sig = vx::signEd25519(other->privatePem, text);
    ASSERT_TRUE(sig.ok());
    publish("KVLMZ/version.xml.sig", vx::signatureFileText(*sig));
    api->CheckMainVer();
    waitIdle("the check");
    EXPECT_TRUE(statusHas("描述文件签名无效，已拒绝：" + service.base() + "apps/KVLMZ/version.xml"));
    EXPECT_EQ(service.count("GET /apps/KVLMZ/vxclient"), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("Update/vxclient")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("temp.sh")));
    EXPECT_EQ(host.closed, 0);
}

// Genuine signed descriptors served for something else than they were signed for: another
// application's, an expired one, an older release after an uninstall, a folder that holds
// another application. Each is refused before anything is fetched; the fresh one passes.
TEST_F(DeliveryTest, AGenuineDescriptorIsTakenOnlyForWhatItIsFor) {
    const std::string pkg = makeZip(dir, {{"version.xml", descriptor("1.0", "")}, {"run.sh", "#!/bin/sh\n"}});
    publish("app30/pkg.zip", pkg);
    const auto install = [&](const std::string& appId, const std::string& version,
                             const std::string& extra = "") {
        return "<?xml version=\"1.0\" encoding=\"utf-8\"?><info>" +
               (appId.empty() ? std::string() : "<appId>" + appId + "</appId>") + "<version>" +
               version + "</version>" + extra + "<zipFile>pkg.zip</zipFile><zipSHA256>" +
               sha256(pkg) + "</zipSHA256><updateFile/></info>";
    };
    const std::string other = "描述文件不属于该应用，已拒绝：", expired = "描述文件已过期，已拒绝：",
                      older = "描述文件的版本比已安装的旧，已拒绝：";
    const std::string url = service.base() + "apps/app30/version.xml";
    const std::string verFile = vx::AppsPath + "app30/version.xml";
    struct Case {
        const char* what;
        std::string descriptor;
        std::string status; // the refusal's text and address; empty: installed
        std::function<void()> before = [] {};
    } cases[] = {
        {"no appId", install("", "1.0"), other + url},
        {"another application's genuine pair", install("31", "1.0"), other + url},
        {"an id with more to it", install("30 31", "1.0"), other + url},
        {"expired", install("30", "1.0", "<expires>2001-01-01T00:00:00Z</expires>"), expired + url},
        {"an expiry nobody can read", install("30", "1.0", "<expires>next week</expires>"), expired + url},
        {"an expiry without its zone", install("30", "1.0", "<expires>2999-01-01T00:00:00</expires>"),
         expired + url},
        {"into a folder of another application", install("30", "1.0"), other + verFile,
         [&] { dir.write("apps/app30/version.xml", "<info><appId>31</appId><version>1.0</version></info>"); }},
        {"fresh, a newer release", install("30", "2.0", "<expires>2999-01-01T08:00:00+08:00</expires>"), "",
         [&] { std::filesystem::remove_all(vx::AppsPath + "app30"); }},
        {"the older release after an uninstall", install("30", "1.9"), older + url,
         [&] { EXPECT_EQ(api->_UninstallApp("30"), "未安装"); }},
        {"the same release again", install("30", "2.0"), ""},
    };
    loadList();
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.before();
        waitIdle("the uninstall");
        publishSigned("app30/version.xml", c.descriptor);
        const int fetched = requestsFor("app30/pkg.zip");
        host.calls.clear();
        EXPECT_EQ(api->_InstallApp("30"), "正在安装");
        waitIdle("the install");
        if (c.status.empty()) {
            EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装完成\")")) << ::testing::PrintToString(host.calls);
            continue;
        }
        EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装失败\")"));
        EXPECT_TRUE(statusHas(c.status)) << ::testing::PrintToString(host.calls);
        EXPECT_EQ(requestsFor("app30/pkg.zip"), fetched);
    }
    // What was accepted is kept by its owner alone.
    EXPECT_EQ(vx::api::highestAccepted("30"), "2.0");
    struct stat st {};
    ASSERT_EQ(::stat(vx::api::acceptedVersionsFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // An update: another application's descriptor at this one's address changes nothing.
    publishSigned("app30/version.xml",
                  "<?xml version=\"1.0\"?><info><appId>31</appId><version>3.0</version><zipFile>pkg.zip</zipFile><updateFile>"
                  "<f Dir=\"{app}\" Name=\"run.sh\" MD5=\"\" SHA256=\"" + sha256("evil") + "\"/></updateFile></info>");
    publish("app30/run.sh", "evil");
    host.calls.clear();
    EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
    waitIdle("the update");
    EXPECT_TRUE(statusHas(other + url));
    EXPECT_EQ(vx::FindApp(30)->DownStatu, "升级失败");
    EXPECT_EQ(requestsFor("app30/run.sh"), 0);
}

// Under a key the list does not choose what runs: only the main file the installed descriptor
// names, in a folder whose descriptor is this application's.
TEST_F(DeliveryTest, OnlyTheMainFileOfTheInstalledDescriptorRuns) {
    dir.write("apps/app30/run.sh", "#!/bin/sh\necho ran > \"$(dirname \"$0\")/ran.txt\"\n");
    dir.write("apps/app30/other.sh", "#!/bin/sh\necho other > \"$(dirname \"$0\")/ran.txt\"\n");
    const std::string listed = appElement(30, "app30", "1.0");
    const auto naming = [&](const std::string& mainFile) {
        std::string e = listed;
        e.replace(e.find("<MainFile>run.sh</MainFile>"), 27, "<MainFile>" + mainFile + "</MainFile>");
        return e;
    };
    const std::string refused = "应用无法启动：" + vx::AppsPath + "app30/";
    struct Case {
        const char* what;
        std::string listEntry;
        std::string installed;
        std::string runs; // what ran.txt says afterwards; empty: the start is refused
    } cases[] = {
        {"the signed main file", listed, descriptor("1.0", ""), "ran\n"},
        {"another file of the package", naming("other.sh"), descriptor("1.0", ""), ""},
        {"a descriptor that names none", listed,
         "<info><appId>30</appId><version>1.0</version></info>", ""},
        {"a descriptor of another application", listed,
         "<info><appId>31</appId><version>1.0</version><MainFile>run.sh</MainFile></info>", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(dir.file("apps/app30/ran.txt"));
        dir.write("apps/app30/version.xml", c.installed);
        apps = {c.listEntry};
        loadList();
        EXPECT_EQ(api->_RunApp("30"), "正在启动");
        if (c.runs.empty()) {
            EXPECT_TRUE(statusHas(refused)) << ::testing::PrintToString(host.calls);
            continue;
        }
        waitFor([&] { return std::filesystem::exists(dir.file("apps/app30/ran.txt")); }, "the start");
        waitFor([&] { return vxtest::readFile(dir.file("apps/app30/ran.txt")) == c.runs; }, "the program");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("apps/app30/ran.txt")));
}

// A list refresh that moves the application to another folder while its operation runs: the
// result is dropped, and nothing lands in the other folder.
TEST_F(DeliveryTest, AnOperationWhoseRecordMovedMeanwhileWritesNothingElsewhere) {
    const std::string pkg = makeZip(dir, {{"version.xml", descriptor("1.0", "")}, {"run.sh", "x"}});
    publish("app30/pkg.zip", pkg);
    publishSigned("app30/version.xml", installDescriptor(sha256(pkg)));
    for (const char* moment : {"app30/version.xml", "app30/version.xml.sig", "app30/pkg.zip"}) {
        SCOPED_TRACE(moment);
        std::filesystem::remove_all(vx::AppsPath + "app30");
        std::filesystem::remove_all(vx::AppsPath + "moved");
        apps = {appElement(30, "app30", "1.0")};
        loadList();
        hold(moment);
        EXPECT_EQ(api->_InstallApp("30"), "正在安装");
        waitFor([&] { return requestsFor(moment) > 0; }, "the held request");
        apps = {appElement(30, "moved", "1.0")};
        api->_GetMyApps();
        waitFor([] { return vx::FindApp(30) && vx::FindApp(30)->appDir.find("moved") != std::string::npos; },
                "the refreshed list");
        release();
        waitIdle("the install");
        EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装失败\")")) << ::testing::PrintToString(host.calls);
        EXPECT_FALSE(std::filesystem::exists(vx::AppsPath + "moved"));
        host.calls.clear();
    }
}

// The client's own descriptor under a key: a verInfo root with its version, never older than
// the highest client version accepted before.
TEST_F(DeliveryTest, TheClientsDescriptorMustBeOneAndNeverOlder) {
    const std::string v2 = "#!/bin/sh\necho v2\n";
    api->executablePath = dir.write("vxclient", "#!/bin/sh\necho v1\n");
    publish("KVLMZ/vxclient", v2);
    const std::string files = "<updateFile><f Dir=\"{app}\" Name=\"vxclient\" MD5=\"" + md5Upper(v2) +
                              "\" SHA256=\"" + sha256(v2) + "\"/></updateFile>";
    const std::string url = service.base() + "apps/KVLMZ/version.xml";
    struct Case {
        const char* what;
        std::string descriptor;
        std::string status; // a refusal's status line, or empty
        bool fetched;
    } cases[] = {
        {"another root that holds a verInfo", "<info><verInfo/><version>9.0</version>" + files + "</info>", "", false},
        {"no version", "<verInfo>" + files + "</verInfo>", "", false},
        {"older than accepted", "<verInfo><version>2.9</version>" + files + "</verInfo>",
         "描述文件的版本比已安装的旧，已拒绝：" + url, false},
        {"expired", "<verInfo><version>3.0</version><expires>2020-02-29</expires>" + files + "</verInfo>",
         "描述文件已过期，已拒绝：" + url, false},
        {"the accepted one again", "<verInfo><version>3.0</version>" + files + "</verInfo>", "", true},
    };
    ASSERT_TRUE(vx::platform::writeFileAtomic(vx::api::acceptedVersionsFile(), "client=3.0\n30=1.0\n").ok());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        publishSigned("KVLMZ/version.xml", c.descriptor);
        host.calls.clear();
        const int before = requestsFor("KVLMZ/vxclient");
        vx::SetShowMsgHook([](const std::string&, const std::string&) {});
        api->CheckMainVer();
        waitFor([&] { return !vx::installBusy && vx::THttpThread::liveCount() == 0 &&
                             vx::backgroundJobsRunning() == 0; }, "the check");
        vx::SetShowMsgHook(nullptr);
        if (!c.status.empty()) {
            EXPECT_TRUE(statusHas(c.status)) << ::testing::PrintToString(host.calls);
        }
        EXPECT_EQ(requestsFor("KVLMZ/vxclient") > before, c.fetched);
    }
    EXPECT_EQ(vx::api::highestAccepted("client"), "3.0");
    EXPECT_EQ(vx::api::highestAccepted("30"), "1.0");
}

TEST(DescriptorTimes, Iso8601InUtc) {
    struct Row {
        const char* text;
        std::optional<std::int64_t> seconds;
    } rows[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2026-12-17T00:00:00Z", 1797465600},
        {"2026-12-17", 1797465600},
        {" 2026-12-17T08:00:00+08:00 ", 1797465600},
        {"2026-12-16T19:30-04:30", 1797465600},
        {"2026-12-17T00:00:00.999Z", 1797465600},
        {"2024-02-29T12:00:00Z", 1709208000},
        {"2023-02-29T12:00:00Z", std::nullopt},
        {"2026-13-01", std::nullopt},
        {"2026-12-17T24:00:00Z", std::nullopt},
        {"2026-12-17T00:00:00", std::nullopt},
        {"2026-12-17T00:00:00Zjunk", std::nullopt},
        {"17.12.2026", std::nullopt},
        {"", std::nullopt},
    };
    for (const Row& r : rows)
        EXPECT_EQ(vx::parseUtcTime(r.text), r.seconds) << r.text;
    for (std::int64_t t : {std::int64_t(0), std::int64_t(1797465600), std::int64_t(951782400 + 86399)})
        EXPECT_EQ(vx::parseUtcTime(vx::utcTimeText(t)), t);
    EXPECT_EQ(vx::utcTimeText(1797465600), "2026-12-17T00:00:00Z");
}

// The decisions about the downloader's entries, with a fake downloader.
class DeliveryChoiceTest : public ApiTest {
protected:
    void TearDown() override {
        vx::Trust = {};
        ApiTest::TearDown();
    }
    void serve(const std::string& descriptor, const std::string& signature) {
        service.server.Get("/myApps.php", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(listReply({appElement(30, "app30", "1.0")}), "text/xml");
        });
        service.server.Get("/apps/app30/version.xml", [descriptor](const httplib::Request&, httplib::Response& res) {
            res.set_content(descriptor, "text/xml");
        });
        service.server.Get("/apps/app30/version.xml.sig", [signature](const httplib::Request&, httplib::Response& res) {
            res.set_content(signature, "text/plain");
        });
    }
};

TEST_F(DeliveryChoiceTest, DigestsGoToTheCheckingEntryAndAreNeverDroppedUnderAKey) {
    const std::string digest = std::string(64, 'a');
    const std::string text = "<?xml version=\"1.0\"?><info><appId>30</appId><zipFile>p.zip</zipFile><zipSHA256>" +
                             digest + "</zipSHA256></info>";
    auto key = vx::generateSigningKey();
    ASSERT_TRUE(key.ok());
    auto sig = vx::signEd25519(key->privatePem, text);
    ASSERT_TRUE(sig.ok());
    serve(text, vx::signatureFileText(*sig));
    api->_GetMyApps();
    settle();
    // A downloader that checks gets the digest.
    api->_InstallApp("30");
    settle();
    ASSERT_EQ(downloader.calls.size(), 1u);
    EXPECT_EQ(downloader.calls[0].sha256s, digest);
    api->DownloadNotify(30, "error:x");

    // One that cannot check, without a key: the download runs as before, unchecked.
    downloader.canCheck = false;
    api->_InstallApp("30");
    settle();
    ASSERT_EQ(downloader.calls.size(), 2u);
    EXPECT_FALSE(downloader.calls[1].sha256s.has_value());
    api->DownloadNotify(30, "error:x");

    // Under a key it is refused: signed descriptors promise checked files.
    vx::Trust.signKeys = {*vx::parsePublicKey(key->publicKeyBase64)};
    vx::Trust.signingRequired = true;
    host.calls.clear();
    api->_InstallApp("30");
    settle();
    EXPECT_EQ(downloader.calls.size(), 2u);
    EXPECT_TRUE(host.has("ST_softStatu(\"下载器不支持SHA256校验，已拒绝下载\")"));
    EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"安装失败\")"));
    EXPECT_FALSE(vx::installBusy);
}

TEST(TrustSettings, ConfigXmlNamesTheAuthorityFileAndTheKeys) {
    auto key = vx::generateSigningKey();
    ASSERT_TRUE(key.ok());
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(("<config><cafile> ca.pem </cafile><signkey>" + key->publicKeyBase64 +
                                 "</signkey><signkey>bm90IGEga2V5</signkey></config>").c_str()));
    const vx::TrustSettings t = vx::readTrustSettings(doc.document_element(), "/c/Config/");
    EXPECT_EQ(t.caFile, "/c/Config/ca.pem");
    EXPECT_TRUE(t.signingRequired);
    ASSERT_EQ(t.signKeys.size(), 1u);
    EXPECT_EQ(t.problems.size(), 1u); // the second key is no key

    // An unreadable key alone still requires signatures: none can then verify.
    ASSERT_TRUE(doc.load_string("<config><signkey>xx</signkey><cafile>../etc/ca.pem</cafile></config>"));
    const vx::TrustSettings bad = vx::readTrustSettings(doc.document_element(), "/c/Config/");
    EXPECT_TRUE(bad.signingRequired);
    EXPECT_TRUE(bad.signKeys.empty());
    EXPECT_EQ(bad.caFile, ""); // never a file outside the Config folder
    EXPECT_EQ(bad.problems.size(), 2u);

    ASSERT_TRUE(doc.load_string("<config><title>t</title></config>"));
    const vx::TrustSettings none = vx::readTrustSettings(doc.document_element(), "/c/Config/");
    EXPECT_FALSE(none.signingRequired);
    EXPECT_EQ(none.caFile, "");
}

} // namespace
