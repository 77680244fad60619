// Parallel transfers (DownLoaderSetConnections) and binary patches (DownFilePatched) through
// the real library against loopback servers.

#include "DownloaderHarness.h"
#include "Patch.h"
#include "support/TempDir.h"

#include <filesystem>
#include <map>
#include <set>

namespace fs = std::filesystem;
using namespace dltest;

namespace {

// Serves /f/<n> (pattern(4000 + n, n)), holding each response a little so that transfers
// overlap, and counting how many run at once. /cut/<n> sends half of the file and drops the
// connection on its first `cuts` requests; /gone/<n> is missing.
class Parallel : public ::testing::Test {
protected:
    void SetUp() override {
        Library::get();
        auto body = [](std::size_t n) { return pattern(4000 + n, static_cast<unsigned>(n)); };
        m_http.server().Get("/f/(\\d+)", [this, body](const httplib::Request& req, httplib::Response& res) {
            enter();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            leave();
            res.set_content(body(std::stoul(req.matches[1])), "application/octet-stream");
        });
        m_http.server().Get("/cut/(\\d+)", [this, body](const httplib::Request& req, httplib::Response& res) {
            const std::string full = body(std::stoul(req.matches[1]));
            int seen = 0;
            {
                std::lock_guard lock(m_mutex);
                seen = m_cutRequests++;
            }
            if (seen >= m_cuts) {
                res.set_header("ETag", "\"v1\"");
                res.set_content(full, "application/octet-stream");
                return;
            }
            res.set_header("ETag", "\"v1\"");
            res.set_content_provider(full.size(), "application/octet-stream",
                                     [full](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                         if (offset > 0)
                                             return false; // the connection drops mid-body
                                         sink.write(full.data(), full.size() / 2);
                                         return true;
                                     });
        });
    }
    int maxAtOnce() {
        std::lock_guard lock(m_mutex);
        return m_max;
    }
    void resetCuts() {
        std::lock_guard lock(m_mutex);
        m_cutRequests = 0;
    }
    std::string body(std::size_t n) const { return pattern(4000 + n, static_cast<unsigned>(n)); }

    vxtest::TempDir m_dir{"par"};
    int m_cuts = 0;

private:
    void enter() {
        std::lock_guard lock(m_mutex);
        m_max = std::max(m_max, ++m_now);
    }
    void leave() {
        std::lock_guard lock(m_mutex);
        --m_now;
    }
    std::mutex m_mutex;
    int m_now = 0, m_max = 0, m_cutRequests = 0;

protected:
    HttpServer m_http;
};

TEST_F(Parallel, AnUpdateOfManyFilesIsPlacedWholeOrNotAtAll) {
    constexpr int kFiles = 40;
    struct Case {
        const char* what;
        int connections;
        int cuts;          // requests of the cut file that drop mid-body
        bool missing;      // one file of the set is not on the server
        bool cancel;       // CancelDown once half the files are on their way
        bool placed;
    };
    const Case cases[] = {
        {"all arrive, four at once", 4, 0, false, false, true},
        {"all arrive, sixteen at once", 16, 0, false, false, true},
        {"all arrive, one at a time", 1, 0, false, false, true},
        {"a file cut mid-way is resumed", 4, 1, false, false, true},
        {"a file cut on every attempt", 4, 100, false, false, false},
        {"a missing file", 4, 0, true, false, false},
        {"cancelled mid-way", 4, 0, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ConnectionsScope scope(c.connections);
        m_cuts = c.cuts;
        resetCuts();
        fs::remove_all(m_dir.path());
        fs::create_directories(m_dir.path());
        std::vector<std::string> urls, paths, digests;
        for (int i = 0; i < kFiles; ++i) {
            m_dir.write("app/" + std::to_string(i) + ".bin", "old " + std::to_string(i));
            urls.push_back(m_http.url("/f/" + std::to_string(i)));
            paths.push_back(m_dir.file("app/" + std::to_string(i) + ".bin"));
            digests.push_back(sha256Of(body(i)));
        }
        urls[kFiles / 2] = m_http.url(std::string(c.missing ? "/gone/" : "/cut/") + std::to_string(kFiles / 2));
        const int id = startResumable(urls, paths, digests, "", 0, 3);
        if (c.cancel) {
            Messages::get().waitText(id, "（" + std::to_string(kFiles / 2) + "/");
            Library::get().cancelDown(id);
        }
        auto msgs = Messages::get().waitFinal(id);
        if (c.placed) {
            expectSuccess(msgs);
        } else if (c.cancel) {
            expectCancelled(msgs);
        } else {
            expectFailure(msgs);
            EXPECT_TRUE(hasText(msgs.back(), "下载 " + std::to_string(kFiles / 2) + ".bin 失败")) << msgs.back();
        }
        // Every file is announced once, counted against the whole set.
        for (int i = 0; i < kFiles && c.placed; ++i)
            EXPECT_TRUE(hasText(msgs, "正在下载 " + std::to_string(i) + ".bin（" + std::to_string(i + 1) + "/" +
                                          std::to_string(kFiles) + "）"));
        std::set<std::string> expected{"app"};
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = std::to_string(i) + ".bin";
            expected.insert("app/" + name);
            EXPECT_TRUE(vxtest::readFile(m_dir.file("app/" + name)) == (c.placed ? body(i) : "old " + std::to_string(i)))
                << name;
        }
        EXPECT_EQ(listing(m_dir.path()), expected) << "no partial, temporary file or stage is left";
    }
    EXPECT_GE(maxAtOnce(), 4) << "transfers overlap";
    EXPECT_LE(maxAtOnce(), 16);
    EXPECT_TRUE(Messages::get().violations().empty());
}

TEST_F(Parallel, TheNumberOfConnectionsIsOneToSixteen) {
    for (int bad : {0, -1, 17, 1000})
        EXPECT_EQ(Library::get().setConnections(bad), -1) << bad;
    for (int good : {1, 16, 4})
        EXPECT_EQ(Library::get().setConnections(good), 0) << good;
}

// --- Patches ---------------------------------------------------------------------------------

std::string makePatchOf(const std::string& from, const std::string& to) {
    std::string error;
    std::string patch = vxdl::makePatch(from, to, 3, error);
    if (patch.empty())
        throw std::runtime_error("makePatch: " + error);
    return patch;
}

class Patches : public ::testing::Test {
protected:
    void SetUp() override {
        Library::get();
        m_http.server().Get("/(.+)", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(m_mutex);
            ++m_gets[req.matches[1]];
            auto it = m_files.find(req.matches[1]);
            if (it == m_files.end()) {
                res.status = 404;
                return;
            }
            res.set_content(it->second, "application/octet-stream");
        });
    }
    void serve(const std::string& name, const std::string& bytes) {
        std::lock_guard lock(m_mutex);
        m_files[name] = bytes;
    }
    int gets(const std::string& name) {
        std::lock_guard lock(m_mutex);
        return m_gets[name];
    }
    void forget() {
        std::lock_guard lock(m_mutex);
        m_gets.clear();
        m_files.clear();
    }

    vxtest::TempDir m_dir{"patch"};

private:
    std::mutex m_mutex;
    std::map<std::string, std::string> m_files;
    std::map<std::string, int> m_gets;

protected:
    HttpServer m_http;
};

TEST_F(Patches, AFileComesFromItsPatchOrWholeButAlwaysRight) {
    const std::string oldFile = pattern(300000, 1);
    std::string newFile = oldFile;
    for (std::size_t at = 1000; at < newFile.size(); at += 50000)
        newFile.replace(at, 4096, pattern(4096, static_cast<unsigned>(at)));
    const std::string good = makePatchOf(oldFile, newFile);
    std::string corrupt = good;
    corrupt[corrupt.size() / 2] ^= 0x55;
    const std::string otherResult = makePatchOf(oldFile, pattern(300000, 9));
    const std::string againstOther = makePatchOf(pattern(300000, 7), newFile);

    struct Case {
        const char* what;
        std::string installed;  // the file at the target before; "-" for none
        std::string served;     // the patch's bytes on the server; "-" for none
        std::string listedSha;  // the patch's digest in the item ("" : of the served bytes)
        const char* fallback;   // the reason in the status text; nullptr: the patch is used
    };
    const Case cases[] = {
        {"a patch for the installed file", oldFile, good, "", nullptr},
        {"an installed file that is not the patch's old one", pattern(300000, 2), good, "", "现有文件不是补丁的原文件"},
        {"a patch with another digest than listed", oldFile, good, sha256Of("other"), "下载补丁失败：SHA256校验失败"},
        {"a corrupted patch", oldFile, corrupt, "", "补丁无法解码"},
        {"a patch that is no zstd frame", oldFile, "not a patch at all", "", "补丁格式错误"},
        {"a patch made against other bytes", oldFile, againstOther, "", "补丁无法解码"},
        {"a patch whose result has another digest", oldFile, otherResult, "", "打补丁后的文件 SHA256校验失败"},
        {"a missing patch", oldFile, "-", sha256Of(good), "下载补丁失败：服务器返回 HTTP 404"},
        {"no installed file", "-", good, "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        forget();
        fs::remove_all(m_dir.path());
        fs::create_directories(m_dir.path());
        const std::string target = m_dir.file("app/data.bin");
        if (c.installed != "-")
            m_dir.write("app/data.bin", c.installed);
        else
            fs::create_directories(m_dir.file("app"));
        serve("data.bin", newFile);
        if (c.served != "-")
            serve("data.patch", c.served);
        const std::string patchSha = c.listedSha.empty() ? sha256Of(c.served) : c.listedSha;
        // A second file without a patch goes with it, placed together.
        serve("other.bin", "other");
        auto msgs = Messages::get().waitFinal(startPatched(
            {m_http.url("/data.bin"), m_http.url("/other.bin")}, {target, m_dir.file("app/other.bin")},
            {sha256Of(newFile), sha256Of("other")},
            {sha256Of(oldFile) + "|" + m_http.url("/data.patch") + "|" + patchSha, ""}));
        expectSuccess(msgs);
        EXPECT_TRUE(vxtest::readFile(target) == newFile);
        EXPECT_EQ(vxtest::readFile(m_dir.file("app/other.bin")), "other");
        const bool fromPatch = c.fallback == nullptr && c.installed != "-";
        EXPECT_EQ(gets("data.bin"), fromPatch ? 0 : 1);
        EXPECT_EQ(hasText(msgs, "已用补丁更新 data.bin"), fromPatch);
        if (c.fallback) {
            EXPECT_TRUE(hasText(msgs, "data.bin 的补丁不可用（" + std::string(c.fallback)));
            EXPECT_TRUE(hasText(msgs, "），改为下载整个文件"));
        } else {
            EXPECT_FALSE(hasText(msgs, "补丁不可用"));
        }
        if (c.installed != "-" && c.installed != oldFile)
            EXPECT_EQ(gets("data.patch"), 0) << "a patch for another file is never fetched";
        EXPECT_EQ(listing(m_dir.path()), (std::set<std::string>{"app", "app/data.bin", "app/other.bin"}));
    }
}

TEST_F(Patches, MalformedPatchListsEndTheCallBeforeAnyRequest) {
    const std::string digest = sha256Of("x");
    const std::string item = digest + "|" + m_http.url("/p") + "|" + digest;
    struct Case {
        std::vector<std::string> patches;
        std::vector<std::string> sha256s;
        const char* reason;
    };
    const Case cases[] = {
        {{item, ""}, {digest}, "与补丁（2 个）数目不一致"},
        {{"nothing"}, {digest}, "第 1 个补丁 \"nothing\" 不是"},
        {{digest + "|" + m_http.url("/p")}, {digest}, "不是"},
        {{"abc|" + m_http.url("/p") + "|" + digest}, {digest}, "的 SHA256 不是 64 位十六进制数字"},
        {{digest + "|" + m_http.url("/p") + "|"}, {digest}, "的 SHA256 不是 64 位十六进制数字"},
        {{digest + "| |" + digest}, {digest}, "没有补丁地址"},
        {{item}, {""}, "第 1 个补丁所属的文件没有 SHA256 校验值"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        auto msgs = Messages::get().waitFinal(
            startPatched({m_http.url("/x")}, {m_dir.file("x.bin")}, c.sha256s, c.patches));
        expectFailure(msgs);
        EXPECT_TRUE(hasText(msgs.back(), c.reason)) << msgs.back();
        EXPECT_EQ(gets("x") + gets("p"), 0);
        EXPECT_FALSE(fs::exists(m_dir.file("x.bin")));
    }
}

} // namespace
