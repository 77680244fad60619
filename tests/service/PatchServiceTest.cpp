// The demo service keeps an application's previous release and offers patches from it.

#include <thread>
#include "ServiceFixture.h"
#include "Patch.h"
#include "core/Signing.h"
#include "support/Bytes.h"

#include <filesystem>

namespace fs = std::filesystem;
using namespace servicetest;

namespace {

class PatchService : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        vxdemo::App a;
        a.id = 40;
        a.name = "patched";
        a.dir = "patched";
        a.mainFile = "run.sh";
        a.version = "1.0";
        ASSERT_TRUE(service->store().putApp(a).ok());
    }
    // Publishes a release of the given files.
    void publish(const std::map<std::string, std::string>& files) {
        const fs::path src = data.path() / ("release-" + std::to_string(++m_releases));
        for (const auto& [name, bytes] : files) {
            fs::create_directories((src / name).parent_path());
            std::ofstream(src / name, std::ios::binary) << bytes;
        }
        ASSERT_TRUE(vxdemo::publishRelease(data.path() / "apps" / "patched", src).ok());
    }
    // The <file> entries of the descriptor, by Dir + Name.
    std::map<std::string, pugi::xml_node> entries(pugi::xml_document& doc) {
        auto c = client();
        auto r = c.Get("/apps/patched/version.xml");
        EXPECT_EQ(r->status, 200);
        std::map<std::string, pugi::xml_node> out;
        for (auto f : parseXml(doc, r->body).child("updateFile").children("file"))
            out[std::string(f.attribute("Dir").value()) + f.attribute("Name").value()] = f;
        return out;
    }

private:
    int m_releases = 0;
};

} // namespace

TEST_F(PatchService, ChangedFilesOfferAPatchFromThePreviousReleaseWhenItIsWorthIt) {
    const std::string big = vxtest::pattern(200000, 1);
    std::string changed = big;
    changed.replace(1000, 4096, vxtest::pattern(4096, 2));
    changed.replace(150000, 4096, vxtest::pattern(4096, 3));
    const std::map<std::string, std::string> first{
        {"data.bin", big}, {"sub/same.bin", big}, {"other.bin", vxtest::pattern(100000, 4)}};
    publish(first);
    pugi::xml_document d0;
    for (const auto& [path, entry] : entries(d0))
        EXPECT_FALSE(entry.child("patch")) << path << ": a first release has nothing to patch from";

    const std::map<std::string, std::string> second{{"data.bin", changed},
                                                    {"sub/same.bin", big},
                                                    {"other.bin", vxtest::pattern(100000, 5)}, // all new bytes
                                                    {"added.bin", "new file"}};
    publish(second);
    pugi::xml_document doc;
    auto listed = entries(doc);
    ASSERT_EQ(listed.size(), 4u);
    struct Case {
        const char* path;
        bool patched;
    };
    for (const Case& c : {Case{"{app}data.bin", true}, Case{"{app}sub/same.bin", false},
                          Case{"{app}other.bin", false}, Case{"{app}added.bin", false}}) {
        SCOPED_TRACE(c.path);
        pugi::xml_node patch = listed[c.path].child("patch");
        ASSERT_EQ(static_cast<bool>(patch), c.patched);
        if (!c.patched)
            continue;
        EXPECT_FALSE(patch.next_sibling("patch"));
        EXPECT_EQ(patch.attribute("from").value(), vx::sha256Hex(big));
        const std::string url = patch.attribute("url").value();
        ASSERT_EQ(url.rfind("{app}patches/", 0), 0u) << url;
        auto r = client().Get(("/apps/patched/" + url.substr(5)).c_str());
        ASSERT_EQ(r->status, 200);
        EXPECT_EQ(vx::sha256Hex(r->body), patch.attribute("SHA256").value());
        EXPECT_EQ(std::to_string(r->body.size()), patch.attribute("size").value());
        EXPECT_LT(r->body.size() * 2, changed.size());
        std::string made, why;
        ASSERT_TRUE(vxdl::applyPatch(big, r->body, made, why)) << why;
        EXPECT_TRUE(made == changed);
        // The service says what it sent once the reply is over, a moment after the body
        // has arrived here.
        const std::string sent = "SENT /apps/patched/" + url.substr(5) + " " + std::to_string(r->body.size());
        for (int i = 0; i < 500 && requests(sent) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(requests(sent), 1);
    }
    // Served again from the kept patch, with the same bytes.
    pugi::xml_document again;
    EXPECT_STREQ(entries(again)["{app}data.bin"].child("patch").attribute("SHA256").value(),
                 listed["{app}data.bin"].child("patch").attribute("SHA256").value());

    // A third release patches from the second only.
    std::string third = changed;
    third.replace(90000, 4096, vxtest::pattern(4096, 6));
    publish({{"data.bin", third}, {"sub/same.bin", big}});
    pugi::xml_document d3;
    auto now = entries(d3);
    EXPECT_EQ(now.size(), 2u);
    EXPECT_EQ(now["{app}data.bin"].child("patch").attribute("from").value(), vx::sha256Hex(changed));
    EXPECT_EQ(std::distance(fs::directory_iterator(data.path() / "apps/patched/patches"), fs::directory_iterator()), 1)
        << "the patches of the older pair are gone";
}
