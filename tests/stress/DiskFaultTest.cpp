// A full disk or a folder that cannot be written, during a download, an unpack and an XML
// write: the old file stays whole and the failure is reported.
//
// The tests run as root, where permission bits stop nothing, and without the rights to
// mount a small file system. Two tricks stand in:
//  - a full disk: the writing runs in a child process (this program again, one test
//    selected) whose RLIMIT_FSIZE is set below the size to write, with SIGXFSZ ignored, so
//    that write() fails part way exactly as on a full disk (EFBIG instead of ENOSPC, the
//    same error path);
//  - a folder that cannot be written: a path whose parent is a regular file, which fails
//    for root too (ENOTDIR).

#include <filesystem>
#include <mutex>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "core/Xml.h"
#include "downloader/DownloaderHarness.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace dltest;

namespace {

constexpr rlim_t kLimit = 1 << 20; // the "disk" holds 1 MiB per file

// Runs this program again with only DiskFaultChild.Run, the given environment and a file
// size limit, and returns the RESULT line the child printed ("" when none).
std::string runChild(const std::vector<std::pair<std::string, std::string>>& env) {
    std::string cmd;
    for (const auto& [k, v] : env)
        cmd += k + "='" + v + "' ";
    cmd += "'" + fs::read_symlink("/proc/self/exe").string() +
           "' --gtest_filter=DiskFaultChild.Run 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p)
        return "";
    std::string out;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, p))
        out.append(buf, n);
    ::pclose(p);
    auto pos = out.find("RESULT\t");
    if (pos == std::string::npos) {
        ADD_FAILURE() << "child printed no result:\n" << out;
        return "";
    }
    auto end = out.find('\n', pos);
    return out.substr(pos + 7, end == std::string::npos ? std::string::npos : end - pos - 7);
}

std::string bigDocumentText(std::size_t bytes) {
    pugi::xml_document doc;
    auto root = doc.append_child("Users");
    for (std::size_t i = 0; i * 60 < bytes; ++i) {
        auto u = root.append_child("User");
        u.append_attribute("user") = ("user" + std::to_string(i)).c_str();
        u.append_attribute("pwd") = "0123456789abcdef0123456789abcdef";
    }
    return vx::xml::serialize(doc);
}

class DiskFaults : public ::testing::Test {
protected:
    void SetUp() override {
        m_http.server().Get("/big.bin", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(pattern(3 << 20, 7), "application/octet-stream");
        });
        m_http.server().Get("/pkg.zip", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(m_mutex);
            res.set_content(m_package, "application/zip");
        });
    }
    // The package the server hands out from now on; returns its size.
    std::size_t serve(std::string bytes) {
        std::lock_guard lock(m_mutex);
        m_package = std::move(bytes);
        return m_package.size();
    }

    std::mutex m_mutex;
    std::string m_package;
    vxtest::TempDir m_dir{"disk"};
    // Last, so that it stops serving before the members its handlers use go away.
    HttpServer m_http;
};

} // namespace

// The child's side: does one write under the file size limit and prints what it saw.
TEST(DiskFaultChild, Run) {
    const char* op = std::getenv("VX_DISK_OP");
    if (!op)
        GTEST_SKIP() << "run by the DiskFaults tests only";
    rlimit rl{kLimit, kLimit};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &rl), 0);
    ::signal(SIGXFSZ, SIG_IGN);
    std::string result;
    const std::string arg = std::getenv("VX_DISK_ARG");
    const std::string path = std::getenv("VX_DISK_PATH");
    if (std::string(op) == "download") {
        result = download({arg}, {path}).back();
    } else if (std::string(op) == "unpack") {
        result = download({arg}, {path}, std::getenv("VX_DISK_FOLDER")).back();
    } else {
        pugi::xml_document doc;
        ASSERT_TRUE(vx::xml::parse(doc, bigDocumentText(std::stoul(arg))).ok());
        auto st = vx::xml::save(doc, path, true);
        result = st.ok() ? "saved" : "failed: " + st.error();
    }
    std::printf("RESULT\t%s\n", result.c_str());
}

TEST_F(DiskFaults, DownloadOnAFullDiskKeepsTheOldFile) {
    const std::string target = m_dir.write("app/data.bin", "old data");
    std::string last = runChild({{"VX_DISK_OP", "download"},
                                 {"VX_DISK_ARG", m_http.url("/big.bin")},
                                 {"VX_DISK_PATH", target}});
    EXPECT_EQ(last.rfind("error:", 0), 0u) << last;
    EXPECT_TRUE(hasText(last, "写入失败")) << last;
    EXPECT_EQ(vxtest::readFile(target), "old data");
    EXPECT_EQ(listing(m_dir.file("app")), std::set<std::string>{"data.bin"})
        << "the partial download was not removed";
}

TEST_F(DiskFaults, UnpackOnAFullDiskKeepsTheFilesItDidNotReach) {
    // A small package whose second entry unpacks beyond the limit.
    const std::size_t size = serve(ZipBuilder()
                                       .file("a.txt", "new a")
                                       .file("big.dat", std::string(3 << 20, 'z'))
                                       .file("c.txt", "new c")
                                       .build(m_dir.file("build.zip")));
    ASSERT_LT(size, kLimit);
    m_dir.write("app/a.txt", "old a");
    m_dir.write("app/big.dat", "old big");
    m_dir.write("app/c.txt", "old c");
    std::string last = runChild({{"VX_DISK_OP", "unpack"},
                                 {"VX_DISK_ARG", m_http.url("/pkg.zip")},
                                 {"VX_DISK_PATH", m_dir.file("app/pkg.zip")},
                                 {"VX_DISK_FOLDER", m_dir.file("app")}});
    EXPECT_EQ(last.rfind("error:解压", 0), 0u) << last;
    EXPECT_EQ(vxtest::readFile(m_dir.file("app/a.txt")), "new a"); // written before: complete
    EXPECT_EQ(vxtest::readFile(m_dir.file("app/big.dat")), "old big");
    EXPECT_EQ(vxtest::readFile(m_dir.file("app/c.txt")), "old c");
    EXPECT_EQ(listing(m_dir.file("app")), (std::set<std::string>{"a.txt", "big.dat", "c.txt"}))
        << "the package or a partial entry was left behind";
}

TEST_F(DiskFaults, XmlWriteOnAFullDiskKeepsTheOldDocument) {
    const std::string old = bigDocumentText(1000);
    const std::string path = m_dir.write("Config/Users.xml", old);
    std::string result = runChild({{"VX_DISK_OP", "xml"},
                                   {"VX_DISK_ARG", std::to_string(2 << 20)},
                                   {"VX_DISK_PATH", path}});
    EXPECT_EQ(result.rfind("failed: ", 0), 0u) << result;
    EXPECT_EQ(vxtest::readFile(path), old);
    EXPECT_EQ(listing(m_dir.file("Config")), std::set<std::string>{"Users.xml"})
        << "the partial temporary file was left behind";
    // Within the limit the same write goes through.
    result = runChild({{"VX_DISK_OP", "xml"}, {"VX_DISK_ARG", "4000"}, {"VX_DISK_PATH", path}});
    EXPECT_EQ(result, "saved");
    pugi::xml_document doc;
    EXPECT_TRUE(vx::xml::load(doc, path).ok());
}

TEST_F(DiskFaults, AFolderThatCannotBeMadeFailsEveryWriter) {
    serve(ZipBuilder().file("a.txt", "x").build(m_dir.file("build.zip")));
    m_dir.write("blocker", "a file where a folder should be");
    auto dl = download({m_http.url("/big.bin")}, {m_dir.file("blocker/sub/data.bin")});
    expectFailure(dl);
    EXPECT_TRUE(hasText(dl.back(), "无法创建文件夹")) << dl.back();

    m_dir.write("app/a.txt", "old a");
    auto up = download({m_http.url("/pkg.zip")}, {m_dir.file("app/pkg.zip")}, m_dir.file("blocker/app"));
    expectFailure(up);
    EXPECT_EQ(vxtest::readFile(m_dir.file("app/a.txt")), "old a");
    EXPECT_FALSE(fs::exists(m_dir.file("app/pkg.zip")));

    pugi::xml_document doc;
    doc.append_child("Users");
    auto st = vx::xml::save(doc, m_dir.file("blocker/Users.xml"));
    EXPECT_FALSE(st.ok());
    EXPECT_EQ(vxtest::readFile(m_dir.file("blocker")), "a file where a folder should be");
}
