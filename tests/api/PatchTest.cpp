// Updates whose descriptor offers binary patches: what the client reads of them, and an
// update through the real downloader that takes the patch for the installed file.

#include "InstallFixture.h"
#include "api/ApiSupport.h"
#include "Patch.h"
#include "core/Signing.h"

using namespace apitest;

namespace {

std::string sha256Hex(const std::string& bytes) { return vx::sha256Hex(bytes); }

pugi::xml_node parsed(pugi::xml_document& doc, const std::string& text) {
    EXPECT_TRUE(doc.load_string(text.c_str()));
    return doc.document_element();
}

} // namespace

TEST(PatchOffers, EntriesCarryTheirPatchesAndADownloadTakesTheOneForTheInstalledFile) {
    const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
    pugi::xml_document doc;
    auto files = parsed(doc, "<updateFile>"
                             "<f Dir=\"{app}bin/\" Name=\"x.dll\" SHA256=\"" + c + "\">"
                             "<patch from=\"" + a + "\" url=\"x.dll.from-a\" SHA256=\"" + b + "\" size=\"12\"/>"
                             "<patch from=\"" + b + "\" url=\"{app}p/x.b\" SHA256=\"" + a + "\"/>"
                             "<patch from=\"" + c + "\" url=\"https://cdn.example/x\" SHA256=\"" + a + "\"/>"
                             "<patch url=\"no-from\" SHA256=\"" + a + "\"/>"
                             "<patch from=\"" + a + "\" SHA256=\"" + a + "\"/>"
                             "<patch from=\"" + a + "\" url=\"no-digest\"/>"
                             "<patch from=\"" + a + "\" url=\"a|b\" SHA256=\"" + a + "\"/>"
                             "</f>"
                             "<f Dir=\"{app}\" Name=\"md5only.txt\" MD5=\"00\">"
                             "<patch from=\"" + a + "\" url=\"m\" SHA256=\"" + a + "\"/></f>"
                             "<f Dir=\"{app}\" Name=\"plain.txt\" SHA256=\"" + c + "\"/>"
                             "</updateFile>");
    const auto entries = vx::api::listEntries(files, "http://s/apps/x/", "/apps/x/");
    ASSERT_EQ(entries.size(), 3u);
    ASSERT_EQ(entries[0].patches.size(), 3u) << "incomplete offers are left out";
    EXPECT_EQ(entries[0].patches[0].url, "http://s/apps/x/bin/x.dll.from-a");
    EXPECT_EQ(entries[0].patches[0].size, 12u);
    EXPECT_EQ(entries[0].patches[1].url, "http://s/apps/x/p/x.b");
    EXPECT_EQ(entries[0].patches[2].url, "https://cdn.example/x");
    EXPECT_TRUE(entries[2].patches.empty());

    struct Case {
        const char* what;
        std::optional<std::string> installed; // the SHA-256 of the installed x.dll
        std::string patch;                    // the item that goes with x.dll
    };
    std::string upperA = a;
    for (char& ch : upperA)
        ch = 'A';
    const Case cases[] = {
        {"the installed file is one a patch is from", a, a + "|http://s/apps/x/bin/x.dll.from-a|" + b},
        {"the digest in another case", upperA, a + "|http://s/apps/x/bin/x.dll.from-a|" + b},
        {"another patch's old file", b, b + "|http://s/apps/x/p/x.b|" + a},
        {"no patch is from the installed file", std::string(64, 'd'), ""},
        {"the installed file is unknown", std::nullopt, ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const auto list = vx::api::collectDownloads(
            entries, [](std::size_t) { return false; },
            [&](std::size_t i) { return i == 0 ? k.installed : std::optional<std::string>(a); });
        ASSERT_EQ(list.patches.size(), 3u);
        EXPECT_EQ(list.patches[0], k.patch);
        EXPECT_EQ(list.patches[1], "") << "an entry without a SHA-256 never takes a patch";
        EXPECT_EQ(list.patches[2], "");
    }
}

TEST_F(InstallTest, AnUpdateTakesThePatchForTheInstalledFileAndFallsBackToTheWholeFile) {
    std::string oldFile(200000, '\0');
    for (std::size_t i = 0; i < oldFile.size(); ++i)
        oldFile[i] = static_cast<char>((i * 7919) >> 5);
    std::string newFile = oldFile;
    newFile.replace(5000, 3000, std::string(3000, 'N'));
    std::string error;
    const std::string patch = vxdl::makePatch(oldFile, newFile, 3, error);
    ASSERT_FALSE(patch.empty()) << error;

    struct Case {
        const char* what;
        std::string installed;
        std::string servedPatch;
        bool fromPatch;
    };
    const Case cases[] = {
        {"the installed file is the patch's old one", oldFile, patch, true},
        {"the installed file is another", oldFile + "x", patch, false},
        {"the patch on the server is damaged", oldFile, patch.substr(0, patch.size() / 2), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dir.write("apps/app30/version.xml", descriptor("0.9", ""));
        dir.write("apps/app30/data.bin", c.installed);
        const std::string entries = "<f Dir=\"{app}\" Name=\"data.bin\" SHA256=\"" + sha256Hex(newFile) +
                                    "\"><patch from=\"" + sha256Hex(oldFile) + "\" url=\"data.bin.patch\" SHA256=\"" +
                                    sha256Hex(patch) + "\" size=\"" + std::to_string(patch.size()) + "\"/></f>";
        publish("app30/version.xml", descriptor("1.0", entries));
        publish("app30/data.bin", newFile);
        publish("app30/data.bin.patch", c.servedPatch);
        const int wholeBefore = requestsFor("app30/data.bin"), patchBefore = requestsFor("app30/data.bin.patch");
        loadList();
        EXPECT_EQ(api->_UpdateApp("30"), "正在升级");
        waitIdle("the update");
        EXPECT_TRUE(host.has("ST_setFlatDivAnlv(\"30\",\"升级完成\")"));
        EXPECT_TRUE(vxtest::readFile(vx::AppsPath + "app30/data.bin") == newFile);
        EXPECT_EQ(requestsFor("app30/data.bin") - wholeBefore, c.fromPatch ? 0 : 1);
        // A patch for another file is never fetched; a damaged one at most twice.
        const int patchGets = requestsFor("app30/data.bin.patch") - patchBefore;
        if (c.installed != oldFile)
            EXPECT_EQ(patchGets, 0);
        else
            EXPECT_GE(patchGets, 1);
        EXPECT_EQ(api->_CheckAPP("30"), "正常");
    }
}
