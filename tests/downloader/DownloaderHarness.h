#pragma once
// Shared pieces of the downloader tests: the library loaded with dlopen, the messages of
// each call, an HTTP server (cpp-httplib) and a raw socket server for misbehaving peers.

#include <arpa/inet.h>
#include <condition_variable>
#include <atomic>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <httplib.h>
#include <map>
#include <mutex>
#include <set>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zip.h>

#include <gtest/gtest.h>

#include "core/Text.h"
#include "support/Bytes.h"
#include "support/HttplibServer.h"
#include "support/Loopback.h"

namespace dltest {

using DownFileFn = int (*)(const char*, const char*, const char*, int, int, void (*)(int, const char*));
using TimingsFn = void (*)(int, int, int);
using MinimumRateFn = void (*)(int, int);
using CancelFn = int (*)(int);
using DownFileSha256Fn = int (*)(const char*, const char*, const char*, const char*, int, int,
                                 void (*)(int, const char*));
using TrustCaFileFn = int (*)(const char*);
using CrashAtStepFn = void (*)(int);
using CleanLeftoversFn = int (*)(const char*);
using RateLimitFn = int (*)(int);
using FreeSpaceFn = void (*)(int);
using DownFileResumableFn = DownFileSha256Fn;
using PauseFn = int (*)(int);
using DiscardPartialsFn = int (*)(const char*);
using ConnectionsFn = int (*)(int);
using DownFilePatchedFn = int (*)(const char*, const char*, const char*, const char*, const char*, int, int,
                                  void (*)(int, const char*));

// The library, loaded once for the whole test program and never unloaded (workers may
// still be ending when a test finishes).
struct Library {
    DownFileFn downFile = nullptr;
    TimingsFn setTimings = nullptr;
    MinimumRateFn setMinimumRate = nullptr;
    CancelFn cancelDown = nullptr;
    DownFileSha256Fn downFileSha256 = nullptr;
    TrustCaFileFn trustCaFile = nullptr;
    CrashAtStepFn crashAtStep = nullptr;
    CleanLeftoversFn cleanLeftovers = nullptr;
    RateLimitFn setRateLimit = nullptr;
    FreeSpaceFn setFreeSpace = nullptr;
    DownFileResumableFn downFileResumable = nullptr;
    PauseFn pauseDown = nullptr;
    DiscardPartialsFn discardPartials = nullptr;
    ConnectionsFn setConnections = nullptr;
    DownFilePatchedFn downFilePatched = nullptr;

    static Library& get() {
        static Library lib;
        return lib;
    }

private:
    Library() {
        // Loopback servers only: a proxy from the environment must not stand in between.
        ::setenv("no_proxy", "127.0.0.1,localhost", 1);
        ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
        void* handle = ::dlopen(VX_DOWNLOADER_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
        downFile = reinterpret_cast<DownFileFn>(::dlsym(handle, "DownFile"));
        setTimings = reinterpret_cast<TimingsFn>(::dlsym(handle, "DownLoaderSetTimingsForTests"));
        setMinimumRate = reinterpret_cast<MinimumRateFn>(::dlsym(handle, "DownLoaderSetMinimumRateForTests"));
        cancelDown = reinterpret_cast<CancelFn>(::dlsym(handle, "CancelDown"));
        downFileSha256 = reinterpret_cast<DownFileSha256Fn>(::dlsym(handle, "DownFileSha256"));
        trustCaFile = reinterpret_cast<TrustCaFileFn>(::dlsym(handle, "DownLoaderTrustCaFile"));
        crashAtStep = reinterpret_cast<CrashAtStepFn>(::dlsym(handle, "DownLoaderCrashAtStepForTests"));
        cleanLeftovers = reinterpret_cast<CleanLeftoversFn>(::dlsym(handle, "CleanLeftovers"));
        setRateLimit = reinterpret_cast<RateLimitFn>(::dlsym(handle, "DownLoaderSetRateLimit"));
        setFreeSpace = reinterpret_cast<FreeSpaceFn>(::dlsym(handle, "DownLoaderSetFreeSpaceForTests"));
        downFileResumable = reinterpret_cast<DownFileResumableFn>(::dlsym(handle, "DownFileResumable"));
        pauseDown = reinterpret_cast<PauseFn>(::dlsym(handle, "PauseDown"));
        discardPartials = reinterpret_cast<DiscardPartialsFn>(::dlsym(handle, "DiscardPartials"));
        setConnections = reinterpret_cast<ConnectionsFn>(::dlsym(handle, "DownLoaderSetConnections"));
        downFilePatched = reinterpret_cast<DownFilePatchedFn>(::dlsym(handle, "DownFilePatched"));
        if (!downFile || !setTimings || !setMinimumRate || !cancelDown || !downFileSha256 ||
            !trustCaFile || !crashAtStep || !cleanLeftovers || !setRateLimit || !setFreeSpace ||
            !downFileResumable || !pauseDown || !discardPartials || !setConnections || !downFilePatched)
            throw std::runtime_error("missing exports");
        // Short connect and stall timeouts and retry pauses keep failure tests quick.
        setTimings(kConnectMs, kStallSeconds, kRetryMs);
    }

public:
    static constexpr int kConnectMs = 3000, kStallSeconds = 5, kRetryMs = 20;
};

// Every message of every call, by id, as UTF-8.
class Messages {
public:
    static Messages& get() {
        static Messages m;
        return m;
    }
    static void notify(int id, const char* text) { get().add(id, text); }

    // Waits for the call's final message ("完成", "error:...", "已取消" or "已暂停") and
    // returns all its messages so far.
    std::vector<std::string> waitFinal(int id) {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [&] { return m_final.count(id) > 0; });
        return m_texts[id];
    }
    // Waits until call `id` has sent a text containing `part`.
    void waitText(int id, const std::string& part) {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [&] {
            for (const auto& t : m_texts[id])
                if (t.find(part) != std::string::npos)
                    return true;
            return false;
        });
    }
    // Ids that received anything after their final message, or more than one final.
    std::vector<int> violations() {
        std::lock_guard lock(m_mutex);
        return m_violations;
    }

private:
    void add(int id, const char* ansi) {
        std::string text = vx::fromAnsi(ansi);
        if (std::getenv("VX_DL_TRACE")) // for reading a failing run
            std::fprintf(stderr, "[%d] %s\n", id, text.c_str());
        std::lock_guard lock(m_mutex);
        if (m_final.count(id))
            m_violations.push_back(id);
        m_texts[id].push_back(text);
        if (text == "完成" || text == "已取消" || text == "已暂停" || text.rfind("error:", 0) == 0)
            m_final.insert({id, true});
        m_cv.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::map<int, std::vector<std::string>> m_texts;
    std::map<int, bool> m_final;
    std::vector<int> m_violations;
};

// Items each followed by CR LF, as the library's lists are written.
inline std::string crlfList(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& s : items)
        out += s + "\r\n";
    return out;
}

inline int nextId() {
    static std::atomic<int> id{100};
    return id++;
}

// Starts a DownFile call without waiting for it; returns its id.
inline int start(const std::vector<std::string>& urls, const std::vector<std::string>& paths,
                 const std::string& folder = "", int attempts = 5) {
    const std::string u = crlfList(urls), p = crlfList(paths);
    int id = nextId();
    int rc = Library::get().downFile(vx::toAnsi(u).c_str(), vx::toAnsi(p).c_str(), vx::toAnsi(folder).c_str(),
                                     attempts, id, &Messages::notify);
    EXPECT_EQ(rc, 0);
    return id;
}

// A call stopped by CancelDown: "已取消" last and only once, no "完成", no "error:".
inline void expectCancelled(const std::vector<std::string>& msgs) {
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.back(), "已取消");
    for (std::size_t i = 0; i + 1 < msgs.size(); ++i) {
        EXPECT_NE(msgs[i], "完成");
        EXPECT_NE(msgs[i], "已取消");
        EXPECT_NE(msgs[i].rfind("error:", 0), 0u) << msgs[i];
    }
}

// Starts a DownFile call (texts given in UTF-8 are passed in the ANSI code page) with the
// given id (a new one when 0) and waits for its final message.
inline std::vector<std::string> download(const std::vector<std::string>& urls,
                                         const std::vector<std::string>& paths,
                                         const std::string& folder = "", int id = 0, int attempts = 5) {
    const std::string u = crlfList(urls), p = crlfList(paths);
    if (id == 0)
        id = nextId();
    int rc = Library::get().downFile(vx::toAnsi(u).c_str(), vx::toAnsi(p).c_str(),
                                     vx::toAnsi(folder).c_str(), attempts, id, &Messages::notify);
    EXPECT_EQ(rc, 0);
    return Messages::get().waitFinal(id);
}

// A DownFileSha256 call (texts in UTF-8 passed in the ANSI code page): one digest item per
// URL, each followed by CR LF; waits for its final message.
inline std::vector<std::string> downloadChecked(const std::vector<std::string>& urls,
                                                const std::vector<std::string>& paths,
                                                const std::vector<std::string>& sha256s,
                                                const std::string& folder = "", int attempts = 5) {
    const std::string u = crlfList(urls), p = crlfList(paths), d = crlfList(sha256s);
    int id = nextId();
    int rc = Library::get().downFileSha256(vx::toAnsi(u).c_str(), vx::toAnsi(p).c_str(),
                                           vx::toAnsi(folder).c_str(), d.c_str(), attempts, id,
                                           &Messages::notify);
    EXPECT_EQ(rc, 0);
    return Messages::get().waitFinal(id);
}

// Starts a DownFileResumable call (texts in UTF-8 passed in the ANSI code page; one digest
// item per URL, empty ones allowed) with the given id (a new one when 0); returns the id.
inline int startResumable(const std::vector<std::string>& urls, const std::vector<std::string>& paths,
                          const std::vector<std::string>& sha256s, const std::string& folder = "", int id = 0,
                          int attempts = 5) {
    const std::string u = crlfList(urls), p = crlfList(paths), d = crlfList(sha256s);
    if (id == 0)
        id = nextId();
    int rc = Library::get().downFileResumable(vx::toAnsi(u).c_str(), vx::toAnsi(p).c_str(),
                                              vx::toAnsi(folder).c_str(), d.c_str(), attempts, id,
                                              &Messages::notify);
    EXPECT_EQ(rc, 0);
    return id;
}

// Starts a DownFilePatched call: as startResumable, with one patch item per URL
// ("FROM|URL|SHA256" or empty); returns the id.
inline int startPatched(const std::vector<std::string>& urls, const std::vector<std::string>& paths,
                        const std::vector<std::string>& sha256s, const std::vector<std::string>& patches,
                        const std::string& folder = "", int attempts = 5) {
    auto join = [](const std::vector<std::string>& items) {
        std::string out;
        for (const auto& s : items)
            out += s + "\r\n";
        return vx::toAnsi(out);
    };
    int id = nextId();
    int rc = Library::get().downFilePatched(join(urls).c_str(), join(paths).c_str(), vx::toAnsi(folder).c_str(),
                                            join(sha256s).c_str(), join(patches).c_str(), attempts, id,
                                            &Messages::notify);
    EXPECT_EQ(rc, 0);
    return id;
}

// Calls started while it lives fetch `n` files at once; the default again afterwards.
class ConnectionsScope {
public:
    explicit ConnectionsScope(int n) { Library::get().setConnections(n); }
    ~ConnectionsScope() { Library::get().setConnections(4); }
};

// SHA-256 of bytes as 64 lowercase hexadecimal digits.
inline std::string sha256Of(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

inline bool hasText(const std::vector<std::string>& msgs, const std::string& part) {
    for (const auto& m : msgs)
        if (m.find(part) != std::string::npos)
            return true;
    return false;
}

inline bool hasText(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline std::vector<int> progressOf(const std::vector<std::string>& msgs) {
    std::vector<int> out;
    for (const auto& m : msgs)
        if (m.rfind("process:", 0) == 0)
            out.push_back(std::stoi(m.substr(8)));
    return out;
}

// Checks the shape every successful call must have: "完成" last and only once, progress
// rising strictly from 0 to 100 before it, no "error:".
inline void expectSuccess(const std::vector<std::string>& msgs) {
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.back(), "完成");
    int done = 0;
    for (const auto& m : msgs) {
        done += m == "完成";
        EXPECT_NE(m.rfind("error:", 0), 0u) << m;
    }
    EXPECT_EQ(done, 1);
    auto p = progressOf(msgs);
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p.front(), 0);
    EXPECT_EQ(p.back(), 100);
    for (std::size_t i = 1; i < p.size(); ++i)
        EXPECT_GT(p[i], p[i - 1]);
}

// A failed call: a status text, then exactly one "error:" as the last message, no "完成".
inline void expectFailure(const std::vector<std::string>& msgs) {
    ASSERT_GE(msgs.size(), 2u);
    EXPECT_EQ(msgs.back().rfind("error:", 0), 0u) << msgs.back();
    int errors = 0;
    for (const auto& m : msgs) {
        EXPECT_NE(m, "完成");
        errors += m.rfind("error:", 0) == 0;
    }
    EXPECT_EQ(errors, 1);
    const std::string& status = msgs[msgs.size() - 2];
    EXPECT_NE(status.rfind("process:", 0), 0u) << "no status text before the error";
}

using HttpServer = vxtest::HttplibServer;

// A bare TCP server for responses no well-behaved library would send: each accepted
// connection's request head is recorded and handed with the socket to `handler(n, ...)`
// (n counts connections from 0); the connection is closed afterwards.
class RawServer {
public:
    using Handler = std::function<void(int n, const std::string& request, int fd)>;

    explicit RawServer(Handler handler) : m_handler(std::move(handler)) {
        auto listener = vxtest::listenLoopback(16);
        m_listen = listener.fd;
        m_port = listener.port;
        m_thread = std::thread([this] { loop(); });
    }
    ~RawServer() {
        // Closed only once the thread is out: a thread still at accept() on a closed
        // number could take a connection of a server just made with that number.
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    std::string url(const std::string& path) const {
        return vxtest::loopbackUrl(m_port, path);
    }
    std::vector<std::string> requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

    static void sendAll(int fd, const std::string& data) {
        std::size_t off = 0;
        while (off < data.size()) {
            ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            off += static_cast<std::size_t>(n);
        }
    }

private:
    void loop() {
        for (int n = 0;; ++n) {
            int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0)
                return;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t got = ::recv(fd, buf, sizeof buf, 0);
                if (got <= 0)
                    break;
                request.append(buf, static_cast<std::size_t>(got));
            }
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(request);
            }
            m_handler(n, request, fd);
            ::shutdown(fd, SHUT_WR);
            while (::recv(fd, buf, sizeof buf, 0) > 0) {
            }
            ::close(fd);
        }
    }

    Handler m_handler;
    int m_listen = -1;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
};

// Names in a folder (recursively), to see that nothing but the expected files remains.
inline std::set<std::string> listing(const std::filesystem::path& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        names.insert(std::filesystem::relative(e.path(), dir).string());
    return names;
}

// True once a file in `dir` (or below it) whose name contains `part` holds `bytes` bytes
// (given up after half a minute, so that a broken library fails the test instead of hanging).
inline bool fileArrived(const std::filesystem::path& dir, const std::string& part, std::size_t bytes) {
    for (int i = 0; i < 3000; ++i) {
        std::error_code ec;
        for (std::filesystem::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().filename().string().find(part) != std::string::npos &&
                std::filesystem::file_size(it->path(), ec) >= bytes && !ec)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A port on which nothing listens.
inline int closedPort() { return vxtest::freePort(); }

using vxtest::pattern;

// A zip package built with libzip.
class ZipBuilder {
public:
    struct Item {
        std::string name;
        std::string data;
        bool folder = false;
        unsigned unixMode = 0; // 0: leave the attributes as libzip sets them
    };
    ZipBuilder& file(std::string name, std::string data, unsigned mode = 0) {
        m_items.push_back({std::move(name), std::move(data), false, mode});
        return *this;
    }
    ZipBuilder& folder(std::string name) {
        m_items.push_back({std::move(name), "", true, 0});
        return *this;
    }
    // A symbolic link entry whose content is the link's target.
    ZipBuilder& symlink(std::string name, std::string target) {
        return file(std::move(name), std::move(target), 0120777);
    }
    std::string build(const std::string& path) const {
        int err = 0;
        zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
        if (!z)
            throw std::runtime_error("zip_open");
        for (const auto& it : m_items) {
            zip_int64_t idx;
            if (it.folder) {
                idx = zip_dir_add(z, it.name.c_str(), ZIP_FL_ENC_GUESS);
            } else {
                zip_source_t* src = zip_source_buffer(z, it.data.data(), it.data.size(), 0);
                idx = zip_file_add(z, it.name.c_str(), src, ZIP_FL_ENC_GUESS);
            }
            if (idx < 0)
                throw std::runtime_error(std::string("zip add: ") + zip_strerror(z));
            if (it.unixMode)
                zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(idx), 0, ZIP_OPSYS_UNIX,
                                                 static_cast<zip_uint32_t>(it.unixMode) << 16);
        }
        if (zip_close(z) != 0)
            throw std::runtime_error("zip_close");
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::vector<Item> m_items;
};

} // namespace dltest
