// Package downloads: unpacking into the application's folder, and refusing entries that
// would write anywhere else.

#include <filesystem>
#include <optional>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <zlib.h>

#include "DownloaderHarness.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace dltest;

namespace {

class Packages : public ::testing::Test {
protected:
    void SetUp() override {
        Library::get();
        m_http.server().Get("/pkg.zip", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(m_mutex);
            res.set_content(m_package, "application/zip");
        });
        m_app = m_root.file("app");
        fs::create_directories(m_app);
    }
    void serve(const std::string& bytes) {
        std::lock_guard lock(m_mutex);
        m_package = bytes;
    }
    void serve(const ZipBuilder& zip) { serve(zip.build(m_root.file("built.zip"))); }
    // Downloads the package as the client does: into the application's folder.
    std::vector<std::string> install() {
        return download({m_http.url("/pkg.zip")}, {m_app + "/pkg.zip"}, m_app + "/");
    }

    std::mutex m_mutex;
    std::string m_package;
    vxtest::TempDir m_root{"pkg"};
    std::string m_app;
    // Last, so that it stops serving before the members its handlers use go away.
    HttpServer m_http;
};

TEST_F(Packages, UnpackedOverTheOldFilesThenRemoved) {
    m_root.write("app/version.xml", "<old/>");
    m_root.write("app/user.cfg", "kept");
    serve(ZipBuilder()
              .file("version.xml", "<version>2</version>")
              .folder("bin/")
              .file("bin/run.sh", "#!/bin/sh\n", 0100755)
              .file("data\\win.txt", "backslashes")
              .file(vx::toAnsi("中文.txt"), "named by a Chinese Windows zip tool")
              .file("说明/读我.txt", "utf-8 name")
              .folder("empty/")
              .file("./dot.txt", "dot"));
    auto msgs = install();
    expectSuccess(msgs);
    EXPECT_TRUE(hasText(msgs, "正在解压 pkg.zip"));
    auto unpacking = std::find(msgs.begin(), msgs.end(), "正在解压 pkg.zip");
    EXPECT_EQ(std::find(unpacking, msgs.end(), "process:100"), msgs.end()) << "100% before unpacking";

    EXPECT_EQ(vxtest::readFile(m_app + "/version.xml"), "<version>2</version>");
    EXPECT_EQ(vxtest::readFile(m_app + "/user.cfg"), "kept");
    EXPECT_EQ(vxtest::readFile(m_app + "/data/win.txt"), "backslashes");
    EXPECT_EQ(vxtest::readFile(m_app + "/中文.txt"), "named by a Chinese Windows zip tool");
    EXPECT_EQ(vxtest::readFile(m_app + "/说明/读我.txt"), "utf-8 name");
    EXPECT_EQ(vxtest::readFile(m_app + "/dot.txt"), "dot");
    EXPECT_TRUE(fs::is_directory(m_app + "/empty"));
    struct stat st {};
    ASSERT_EQ(::stat((m_app + "/bin/run.sh").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_FALSE(fs::exists(m_app + "/pkg.zip"));
    EXPECT_EQ(listing(m_root.path()),
              (std::set<std::string>{"built.zip", "app", "app/version.xml", "app/user.cfg", "app/bin", "app/bin/run.sh",
                                     "app/data", "app/data/win.txt", "app/中文.txt", "app/说明", "app/说明/读我.txt",
                                     "app/empty", "app/dot.txt"}));
}

TEST_F(Packages, ABrokenPackageFailsAndIsRemoved) {
    m_root.write("app/version.xml", "<old/>");
    serve(std::string("this is not a zip archive"));
    auto msgs = install();
    expectFailure(msgs);
    EXPECT_TRUE(hasText(msgs.back(), "解压 pkg.zip 失败"));
    EXPECT_EQ(listing(m_app), std::set<std::string>{"version.xml"});
    EXPECT_EQ(vxtest::readFile(m_app + "/version.xml"), "<old/>");
}

// One unsafe entry among good ones: the whole package is refused and nothing is written,
// inside the folder or outside it.
class ZipSlip : public Packages, public ::testing::WithParamInterface<std::string> {};

TEST_P(ZipSlip, RefusesThePackageAndWritesNothing) {
    std::string name = GetParam();
    std::string::size_type at = name.find("<ROOT>");
    if (at != std::string::npos)
        name.replace(at, 6, m_root.path().string());
    ZipBuilder zip;
    zip.file("good.txt", "good");
    if (name.rfind("link:", 0) == 0) {
        zip.symlink("link", name.substr(5));
        zip.file("link/evil.txt", "evil");
    } else {
        zip.file(name, "evil");
    }
    zip.file("after.txt", "after");
    serve(zip);
    fs::remove(m_root.file("built.zip"));

    auto msgs = install();
    expectFailure(msgs);
    EXPECT_TRUE(hasText(msgs.back(), "拒绝解压")) << msgs.back();
    EXPECT_EQ(listing(m_root.path()), std::set<std::string>{"app"});
    EXPECT_FALSE(fs::exists("/evil.txt"));
}

INSTANTIATE_TEST_SUITE_P(Corpus, ZipSlip,
                         ::testing::Values("../evil.txt", "..\\evil.txt", "sub/../../evil.txt",
                                           "sub\\..\\..\\evil.txt", "..", "sub/../x.txt", "<ROOT>/evil.txt",
                                           "/evil.txt", "\\evil.txt", "C:\\evil.txt", "C:evil.txt",
                                           "c:/evil.txt", "\\\\server\\share\\evil.txt", "a/b:stream",
                                           ".. /evil.txt", "sub/.. ./evil.txt", "CON", "a/nul.txt", "Com1.log",
                                           "link:..", "link:<ROOT>", "link:../evil.txt"));

TEST_F(Packages, ALinkAlreadyInTheFolderIsNeverFollowed) {
    fs::create_directories(m_root.file("outside"));
    m_root.write("outside/victim.txt", "untouched");
    fs::create_directory_symlink(m_root.file("outside"), m_app + "/lib");
    fs::create_symlink(m_root.file("outside/victim.txt"), m_app + "/target.txt");

    // A file named like a link is replaced, the link's target stays as it was.
    serve(ZipBuilder().file("target.txt", "new"));
    expectSuccess(install());
    EXPECT_FALSE(fs::is_symlink(m_app + "/target.txt"));
    EXPECT_EQ(vxtest::readFile(m_app + "/target.txt"), "new");

    // A folder that is a link is not written through.
    serve(ZipBuilder().file("lib/evil.txt", "evil"));
    auto msgs = install();
    expectFailure(msgs);
    EXPECT_TRUE(hasText(msgs.back(), "符号链接"));
    EXPECT_EQ(listing(m_root.file("outside")), std::set<std::string>{"victim.txt"});
    EXPECT_EQ(vxtest::readFile(m_root.file("outside/victim.txt")), "untouched");
}

TEST_F(Packages, AMoveRefusedHalfWayPutsEveryOldFileBack) {
    // "sub" is a folder in the application but a file in the package: its move is refused
    // after a.txt and n/x.txt have been moved in.
    m_root.write("app/a.txt", "old a");
    m_root.write("app/sub/b.txt", "old b");
    m_root.write("app/keep.txt", "the user's");
    serve(ZipBuilder().file("a.txt", "new a").file("n/x.txt", "new x").file("sub", "a file now"));
    auto msgs = install();
    expectFailure(msgs);
    EXPECT_TRUE(hasText(msgs.back(), "无法替换文件")) << msgs.back();
    EXPECT_EQ(listing(m_app), (std::set<std::string>{"a.txt", "keep.txt", "sub", "sub/b.txt"}));
    EXPECT_EQ(vxtest::readFile(m_app + "/a.txt"), "old a");
    EXPECT_EQ(vxtest::readFile(m_app + "/sub/b.txt"), "old b");
    EXPECT_EQ(listing(m_root.path()).count("app"), 1u);
    for (const auto& name : listing(m_root.path()))
        EXPECT_FALSE(hasText(name, "vxstage")) << "the stage was left: " << name;
}

// A small file system of its own (tmpfs) at a folder, for as long as the object lives; when
// mounting is not allowed here, mounted() says so and the folder stays an ordinary one.
class SmallFileSystem {
public:
    SmallFileSystem(const std::string& dir, const char* size) : m_dir(dir) {
        fs::create_directories(dir);
        m_mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
    }
    ~SmallFileSystem() {
        if (m_mounted)
            ::umount2(m_dir.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }

private:
    std::string m_dir;
    bool m_mounted = false;
};

// Before a package writes a byte, its unpacked size is weighed against the free space of
// the folder's file system: too little ends the call with the sizes in whole MiB, the
// folder as it was and nothing of the call left beside it.
TEST_F(Packages, APackageLargerThanTheFreeSpaceIsRefusedBeforeItWritesAByte) {
    constexpr std::size_t kMiB = 1024 * 1024;
    struct Case {
        const char* what;
        bool smallFileSystem; // a real 4 MiB file system (the test figure where none can be made)
        int freeMiB;          // the test figure of the free space; -1: the system's
        std::size_t unpacked; // bytes of the package's files
        const char* final;
    };
    const Case cases[] = {
        {"6 MiB on a 4 MiB file system", true, -1, 6 * kMiB, "error:磁盘空间不足：需要 6 MB，可用 3 MB"},
        {"a byte more than 6 MiB free", false, 6, 6 * kMiB + 1, "error:磁盘空间不足：需要 7 MB，可用 6 MB"},
        {"exactly the free space", false, 6, 6 * kMiB, "完成"},
    };
    auto& lib = Library::get();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string root = m_root.file(std::string("room-") + std::to_string(&c - cases));
        std::optional<SmallFileSystem> small;
        if (c.smallFileSystem)
            small.emplace(root, "4m");
        if (small && !small->mounted())
            lib.setFreeSpace(3); // not allowed to mount here: what a nearly empty 4 MiB one has
        else
            lib.setFreeSpace(c.freeMiB);
        const std::string app = root + "/app";
        fs::create_directories(app);
        vxtest::TempDir built("built");
        // Two files of zeros: the package itself is a few KiB.
        serve(ZipBuilder()
                  .file("a.bin", std::string(c.unpacked / 2, '\0'))
                  .file("b.bin", std::string(c.unpacked - c.unpacked / 2, '\0'))
                  .build(built.file("p.zip")));
        std::ofstream(app + "/old.txt") << "old";
        auto msgs = download({m_http.url("/pkg.zip")}, {app + "/pkg.zip"}, app);
        lib.setFreeSpace(-1);
        EXPECT_EQ(msgs.back(), c.final);
        if (std::string(c.final) == "完成") {
            EXPECT_EQ(fs::file_size(app + "/a.bin") + fs::file_size(app + "/b.bin"), c.unpacked);
            continue;
        }
        expectFailure(msgs);
        EXPECT_EQ(msgs[msgs.size() - 2], std::string(c.final).substr(6)) << "the status text before it";
        EXPECT_EQ(listing(root), (std::set<std::string>{"app", "app/old.txt"}));
        EXPECT_EQ(vxtest::readFile(app + "/old.txt"), "old");
    }
}

TEST_F(Packages, AnEntryNamedLikeThePackageSurvivesIt) {
    serve(ZipBuilder().file("pkg.zip", "inner file"));
    expectSuccess(install());
    EXPECT_EQ(vxtest::readFile(m_app + "/pkg.zip"), "inner file");
}

} // namespace

namespace {

// A resumable package call leaves what the package held beside the package's path, for a
// later verification; the other calls leave the folder as the package made it.
TEST_F(Packages, AResumablePackageLeavesTheListOfItsEntries) {
    const std::string a = "alpha", b(70000, 'b');
    serve(ZipBuilder().file("a.txt", a).folder("sub/").file("sub/b.bin", b));
    const int id = startResumable({m_http.url("/pkg.zip")}, {m_app + "/pkg.zip"}, {""}, m_app + "/");
    expectSuccess(Messages::get().waitFinal(id));
    auto crc = [](const std::string& bytes) {
        char text[9];
        std::snprintf(text, sizeof text, "%08lx",
                      crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()),
                            static_cast<uInt>(bytes.size())));
        return std::string(text);
    };
    EXPECT_EQ(vxtest::readFile(m_app + "/pkg.zip.entries"),
              crc(a) + " 5 a.txt\n" + crc(b) + " 70000 sub/b.bin\n");
    EXPECT_FALSE(fs::exists(m_app + "/pkg.zip"));
    fs::remove(m_app + "/pkg.zip.entries");
    expectSuccess(install());
    EXPECT_FALSE(fs::exists(m_app + "/pkg.zip.entries"));
}

} // namespace

namespace {

// A package of many files is unpacked on several threads: every file right, a later entry of
// a name winning (its CRC-32 in the list of entries), and one damaged entry anywhere still
// leaving the old folder as it was.
TEST_F(Packages, AManyFilePackageIsUnpackedWholeOnEveryThreadOrNotAtAll) {
    constexpr int kFiles = 300;
    ZipBuilder zip;
    zip.file("dup.txt", "the first entry of the name");
    for (int i = 0; i < kFiles; ++i)
        zip.file("d" + std::to_string(i % 10) + "/f" + std::to_string(i), pattern(3000 + i, static_cast<unsigned>(i)));
    zip.file("./dup.txt", "the last entry of the name");
    const std::string intact = zip.build(m_root.file("built.zip"));
    for (bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "one entry damaged" : "intact");
        fs::remove_all(m_app);
        m_root.write("app/version.xml", "<old/>");
        std::string bytes = intact;
        if (damaged)
            for (std::size_t at = bytes.size() / 2; at < bytes.size() / 2 + 64; ++at)
                bytes[at] = static_cast<char>(~bytes[at]);
        serve(bytes);
        const int id = startResumable({m_http.url("/pkg.zip")}, {m_app + "/pkg.zip"}, {""}, m_app + "/");
        auto msgs = Messages::get().waitFinal(id);
        if (damaged) {
            expectFailure(msgs);
            EXPECT_TRUE(hasText(msgs.back(), "解压 pkg.zip 失败")) << msgs.back();
            EXPECT_EQ(listing(m_app), std::set<std::string>{"version.xml"});
            continue;
        }
        expectSuccess(msgs);
        for (int i = 0; i < kFiles; ++i)
            ASSERT_TRUE(vxtest::readFile(m_app + "/d" + std::to_string(i % 10) + "/f" + std::to_string(i)) ==
                        pattern(3000 + i, static_cast<unsigned>(i)))
                << i;
        const std::string last = "the last entry of the name";
        EXPECT_EQ(vxtest::readFile(m_app + "/dup.txt"), last);
        char crc[9];
        std::snprintf(crc, sizeof crc, "%08lx",
                      crc32(0L, reinterpret_cast<const Bytef*>(last.data()), static_cast<uInt>(last.size())));
        const std::string entries = vxtest::readFile(m_app + "/pkg.zip.entries");
        EXPECT_EQ(entries.substr(0, entries.find('\n')), std::string(crc) + " 26 dup.txt");
    }
}

} // namespace
