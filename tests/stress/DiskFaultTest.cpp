// A full disk or a folder that cannot be written, during a download, an unpack, an update of
// several files and an XML write: the old file (or the old set of files) stays whole and the
// failure is reported.
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
#include <map>
#include <mutex>
#include <random>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "core/Xml.h"
#include "downloader/DownloaderHarness.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace dltest;

namespace {

constexpr rlim_t kLimit = 1 << 20; // the "disk" holds 1 MiB per file, unless told otherwise

// Items of a "|"-separated list.
std::vector<std::string> splitBars(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t bar; (bar = text.find('|', start)) != std::string::npos; start = bar + 1)
        out.push_back(text.substr(start, bar - start));
    out.push_back(text.substr(start));
    return out;
}

// Every file below a folder with its content, by relative path; folders as "<dir>".
std::map<std::string, std::string> contents(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        std::string rel = fs::relative(e.path(), dir).string();
        out[rel] = e.is_directory() ? "<dir>" : vxtest::readFile(e.path().string());
    }
    return out;
}

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
        m_http.server().Get("/file/(\\d+)", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(m_mutex);
            res.set_content(m_files[std::stoul(req.matches[1])], "application/octet-stream");
        });
    }
    // The files the server hands out as /file/<n> from now on.
    void serveFiles(std::vector<std::string> files) {
        std::lock_guard lock(m_mutex);
        m_files = std::move(files);
    }
    // The package the server hands out from now on; returns its size.
    std::size_t serve(std::string bytes) {
        std::lock_guard lock(m_mutex);
        m_package = std::move(bytes);
        return m_package.size();
    }

    std::mutex m_mutex;
    std::string m_package;
    std::vector<std::string> m_files;
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
    const rlim_t limit = std::getenv("VX_DISK_LIMIT") ? std::stoul(std::getenv("VX_DISK_LIMIT")) : kLimit;
    rlimit rl{limit, limit};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &rl), 0);
    ::signal(SIGXFSZ, SIG_IGN);
    std::string result;
    const std::string arg = std::getenv("VX_DISK_ARG");
    const std::string path = std::getenv("VX_DISK_PATH");
    if (std::string(op) == "download") {
        result = download({arg}, {path}).back();
    } else if (std::string(op) == "unpack") {
        result = download({arg}, {path}, std::getenv("VX_DISK_FOLDER")).back();
    } else if (std::string(op) == "update") {
        result = download(splitBars(arg), splitBars(path)).back();
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

TEST_F(DiskFaults, UnpackOnAFullDiskLeavesTheOldFilesAll) {
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
    EXPECT_EQ(vxtest::readFile(m_dir.file("app/a.txt")), "old a") << "a file of a failed package was placed";
    EXPECT_EQ(vxtest::readFile(m_dir.file("app/big.dat")), "old big");
    EXPECT_EQ(vxtest::readFile(m_dir.file("app/c.txt")), "old c");
    EXPECT_EQ(listing(m_dir.file("app")), (std::set<std::string>{"a.txt", "big.dat", "c.txt"}))
        << "the package or a partial entry was left behind";
    EXPECT_EQ(listing(m_dir.path()), (std::set<std::string>{"app", "app/a.txt", "app/big.dat", "app/c.txt", "build.zip"}))
        << "the stage was left behind";
}

// Installs and updates of random files, with the disk full at a random file of the set (or
// at none): afterwards the application's folder is byte for byte the old set or the new one.
TEST_F(DiskFaults, AFullDiskAnywhereInASetLeavesTheOldSetOrTheNewOne) {
    unsigned seed = static_cast<unsigned>(std::random_device{}());
    if (const char* s = std::getenv("VX_STRESS_SEED"))
        seed = static_cast<unsigned>(std::stoul(s));
    std::printf("full disk runs: seed %u\n", seed);
    std::mt19937 rng(seed);
    int failed = 0, placed = 0;
    for (int run = 0; run < 24; ++run) {
        const bool package = run % 2 == 0;
        const std::size_t limit = 128 * 1024 + rng() % (512 * 1024);
        const int count = 2 + static_cast<int>(rng() % 5);
        // The file that does not fit; count (every third run): none.
        const int full = run % 3 == 2 ? count : static_cast<int>(rng() % static_cast<unsigned>(count));
        const std::string root = "run" + std::to_string(run);
        const std::string app = root + "/app";
        std::map<std::string, std::string> oldSet, newSet;
        for (int i = 0; i < count; ++i)
            if (rng() % 3 != 0) // some files are new
                oldSet["f" + std::to_string(i) + ".bin"] = "old " + std::to_string(i);
        oldSet["user.txt"] = "the user's own";
        for (const auto& [name, data] : oldSet)
            m_dir.write(app + "/" + name, data);
        newSet = package ? oldSet : std::map<std::string, std::string>{};
        std::vector<std::string> bodies;
        ZipBuilder zip;
        for (int i = 0; i < count; ++i) {
            // Patterns do not compress; the one that does not fit is a run of one byte, so
            // that the package itself stays small.
            std::string data = i == full ? std::string(limit + 1 + rng() % limit, 'z')
                                         : pattern(rng() % (limit / 8), static_cast<unsigned>(rng()));
            const std::string name = (package && i % 2 ? "d/" : "") + ("f" + std::to_string(i) + ".bin");
            if (package)
                zip.file(name, data);
            newSet[name] = data;
            bodies.push_back(std::move(data));
        }
        if (package)
            newSet["d"] = "<dir>"; // f1.bin goes there
        std::string last;
        if (package) {
            ASSERT_LT(serve(zip.build(m_dir.file(root + "/build.zip"))), limit);
            fs::remove(m_dir.file(root + "/build.zip"));
            last = runChild({{"VX_DISK_OP", "unpack"},
                             {"VX_DISK_LIMIT", std::to_string(limit)},
                             {"VX_DISK_ARG", m_http.url("/pkg.zip")},
                             {"VX_DISK_PATH", m_dir.file(app + "/pkg.zip")},
                             {"VX_DISK_FOLDER", m_dir.file(app)}});
        } else {
            std::string urls, paths;
            for (int i = 0; i < count; ++i) {
                urls += (i ? "|" : "") + m_http.url("/file/" + std::to_string(i));
                paths += (i ? "|" : "") + m_dir.file(app + "/f" + std::to_string(i) + ".bin");
                newSet.insert({"f" + std::to_string(i) + ".bin", ""});
            }
            newSet["user.txt"] = oldSet["user.txt"];
            for (int i = 0; i < count; ++i)
                newSet["f" + std::to_string(i) + ".bin"] = bodies[static_cast<std::size_t>(i)];
            serveFiles(bodies);
            last = runChild({{"VX_DISK_OP", "update"},
                             {"VX_DISK_LIMIT", std::to_string(limit)},
                             {"VX_DISK_ARG", urls},
                             {"VX_DISK_PATH", paths}});
        }
        const auto now = contents(m_dir.file(app));
        const std::string what = std::string(package ? "install" : "update") + " run " + std::to_string(run) +
                                 " (file " + std::to_string(full) + " of " + std::to_string(count) + " too big): " +
                                 last;
        if (full < count) {
            EXPECT_EQ(last.rfind("error:", 0), 0u) << what;
            EXPECT_TRUE(now == oldSet) << what << ": not the old set";
            ++failed;
        } else {
            EXPECT_EQ(last, "完成") << what;
            EXPECT_TRUE(now == newSet) << what << ": not the new set";
            ++placed;
        }
        EXPECT_EQ(listing(m_dir.file(root)).count("app"), 1u);
        EXPECT_EQ(listing(m_dir.file(root)).size(), listing(m_dir.file(app)).size() + 1)
            << what << ": something beside the application's folder was left";
    }
    std::printf("full disk runs: %d left the old set, %d placed the new one\n", failed, placed);
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
