// Download and unpack speed of libDownLoader against curl and Debian's unzip, measured in
// the same run on the same data over loopback.
//
//   bench_downloader [MiB [download|unpack|rate]]   size of the big file (512 by default);
//                                                    only one of the parts

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/sendfile.h>

#include "Patch.h"
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <fcntl.h>
#include <vector>
#include <zip.h>

#include "BenchReport.h"
#include "Security.h"
#include "Unpack.h"
#include "core/Text.h"
#include "support/Bytes.h"
#include "support/Loopback.h"

namespace fs = std::filesystem;

namespace {

// A minimal HTTP/1.1 file server: every GET is answered with the whole file via sendfile,
// one thread per connection, so the server is never the slower side.
class FileServer {
public:
    // `delayMs`: each response waits that long before its head, as one round trip of a real
    // network would make it.
    explicit FileServer(std::string file, int delayMs = 0) : m_file(std::move(file)), m_delayMs(delayMs) {
        auto listener = vxtest::listenLoopback(64);
        m_listen = listener.fd;
        m_port = listener.port;
        m_thread = std::thread([this] { loop(); });
    }
    ~FileServer() {
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_thread.join();
    }
    std::string url(const std::string& name) const {
        return vxtest::loopbackUrl(m_port, "/" + name);
    }

private:
    void loop() {
        for (;;) {
            int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0)
                return;
            std::thread([this, fd] { serve(fd); }).detach();
        }
    }
    void serve(int fd) {
        std::string request;
        char buf[4096];
        for (;;) {
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    ::close(fd);
                    return;
                }
                request.append(buf, static_cast<std::size_t>(n));
            }
            request.erase(0, request.find("\r\n\r\n") + 4);
            if (m_delayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(m_delayMs));
            int file = ::open(m_file.c_str(), O_RDONLY);
            struct stat st {};
            ::fstat(file, &st);
            std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(st.st_size) +
                               "\r\nContent-Type: application/octet-stream\r\n\r\n";
            ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
            off_t off = 0;
            while (off < st.st_size)
                if (::sendfile(fd, file, &off, static_cast<std::size_t>(st.st_size - off)) <= 0)
                    break;
            ::close(file);
        }
    }

    std::string m_file;
    int m_delayMs = 0;
    int m_listen = -1;
    int m_port = 0;
    std::thread m_thread;
};

using DownFileFn = int (*)(const char*, const char*, const char*, int, int, void (*)(int, const char*));
using DownFilePatchedFn = int (*)(const char*, const char*, const char*, const char*, const char*, int, int,
                                  void (*)(int, const char*));
using RateLimitFn = int (*)(int);
using CancelFn = int (*)(int);

std::mutex g_mutex;
std::condition_variable g_cv;
std::string g_final;

void notify(int, const char* text) {
    std::string t = vx::fromAnsi(text);
    if (t == "完成" || t.rfind("error:", 0) == 0) {
        std::lock_guard lock(g_mutex);
        g_final = t;
        g_cv.notify_all();
    }
}

// One DownFile call, waited for; aborts the benchmark when it fails.
void downFile(DownFileFn fn, const std::string& url, const std::string& path, const std::string& folder) {
    {
        std::lock_guard lock(g_mutex);
        g_final.clear();
    }
    fn((url + "\r\n").c_str(), (path + "\r\n").c_str(), folder.c_str(), 5, 1, &notify);
    std::unique_lock lock(g_mutex);
    g_cv.wait(lock, [] { return !g_final.empty(); });
    if (g_final != "完成") {
        std::fprintf(stderr, "DownFile failed: %s\n", g_final.c_str());
        std::exit(1);
    }
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

void expectSize(const std::string& path, std::uintmax_t size) {
    std::error_code ec;
    if (fs::file_size(path, ec) != size) {
        std::fprintf(stderr, "%s: wrong size\n", path.c_str());
        std::exit(1);
    }
}

// Best times of ours and of the baseline over `runs` interleaved rounds. `prepare` runs
// untimed before each measurement and ends with sync(), so neither side pays for the
// other's pending write-back.
template <typename Prep, typename A, typename B>
std::pair<double, double> interleaved(int runs, Prep prepare, A ours, B baseline) {
    double a = 1e300, b = 1e300;
    for (int i = 0; i < runs; ++i) {
        prepare();
        ::sync();
        a = std::min(a, vxbench::seconds(ours));
        prepare();
        ::sync();
        b = std::min(b, vxbench::seconds(baseline));
    }
    return {a, b};
}

void* g_library = nullptr;

DownFileFn loadLibrary() {
    std::string own = fs::read_symlink("/proc/self/exe").parent_path() / "libDownLoader.so";
    g_library = ::dlopen(own.c_str(), RTLD_NOW);
    if (!g_library) {
        std::fprintf(stderr, "dlopen %s: %s\n", own.c_str(), ::dlerror());
        std::exit(1);
    }
    return reinterpret_cast<DownFileFn>(::dlsym(g_library, "DownFile"));
}

template <typename Fn>
Fn entry(const char* name) {
    void* f = ::dlsym(g_library, name);
    if (!f) {
        std::fprintf(stderr, "the library has no %s\n", name);
        std::exit(1);
    }
    return reinterpret_cast<Fn>(f);
}

// The bytes the downloads in `folder` have received so far (their temporary files).
std::uintmax_t receivedIn(const fs::path& folder) {
    std::uintmax_t bytes = 0;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().find(".vxdl-") != std::string::npos)
            bytes += it->file_size(ec);
    return bytes;
}

std::atomic<int> g_ended{0};

void countEnd(int, const char* text) {
    std::string t = vx::fromAnsi(text);
    if (t == "完成" || t == "已取消" || t.rfind("error:", 0) == 0) {
        std::lock_guard lock(g_mutex);
        ++g_ended;
        g_cv.notify_all();
    }
}

// A package like an application's: a few thousand files of mixed sizes in nested folders.
void makePackage(const std::string& path, int files) {
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    std::vector<std::string> bodies;
    bodies.reserve(static_cast<std::size_t>(files));
    unsigned x = 12345;
    for (int i = 0; i < files; ++i) {
        std::size_t size = 512 + (i * 7919u) % 24576;
        std::string body(size, '\0');
        for (std::size_t k = 0; k < size; ++k) {
            x = x * 1103515245u + 12345u;
            // Half text-like, half random: deflate has real work on both.
            body[k] = (k % 2) ? static_cast<char>('a' + (x >> 16) % 26) : static_cast<char>(x >> 16);
        }
        bodies.push_back(std::move(body));
        std::string name = "d";
        name += std::to_string(i % 40);
        name += "/s";
        name += std::to_string(i % 7);
        name += "/f";
        name += std::to_string(i);
        name += ".dat";
        zip_source_t* src = zip_source_buffer(z, bodies.back().data(), bodies.back().size(), 0);
        zip_file_add(z, name.c_str(), src, ZIP_FL_ENC_UTF_8);
    }
    if (zip_close(z) != 0) {
        std::fprintf(stderr, "zip_close failed\n");
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::stoul(argv[1]) : 512;
    const std::string only = argc > 2 ? argv[2] : "";
    DownFileFn downFileFn = loadLibrary();

    fs::path work = fs::temp_directory_path() / ("vx-bench-dl-" + std::to_string(::getpid()));
    fs::create_directories(work);
    struct Cleanup {
        fs::path p;
        ~Cleanup() {
            std::error_code ec;
            fs::remove_all(p, ec);
        }
    } cleanup{work};

    // --- A big file -------------------------------------------------------------------------
    if (only.empty() || only == "download") {
        std::string source = (work / "big.bin").string();
        {
            std::ofstream out(source, std::ios::binary);
            const std::string block = vxtest::pattern(1 << 20, 1);
            for (std::size_t i = 0; i < mib; ++i)
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        FileServer server(source);
        std::string url = server.url("big.bin");
        std::string ours = (work / "ours.bin").string(), theirs = (work / "curl.bin").string();
        auto prepare = [&] {
            fs::remove(ours);
            fs::remove(theirs);
        };
        auto [tOurs, tCurl] = interleaved(
            3, prepare,
            [&] {
                downFile(downFileFn, url, ours, "");
                expectSize(ours, mib << 20);
            },
            [&] {
                run("curl -s -f -o '" + theirs + "' '" + url + "'");
                expectSize(theirs, mib << 20);
            });
        // DownFile flushes a finished file to the disk before renaming it into place; curl
        // leaves that to the kernel. The second baseline pays for the same guarantee.
        auto [tOurs2, tCurlSync] = interleaved(
            3, prepare,
            [&] {
                downFile(downFileFn, url, ours, "");
                expectSize(ours, mib << 20);
            },
            [&] {
                run("curl -s -f -o '" + theirs + "' '" + url + "' && sync '" + theirs + "'");
                expectSize(theirs, mib << 20);
            });
        tOurs = std::min(tOurs, tOurs2);
        fs::remove(ours);
        fs::remove(theirs);
        fs::remove(source);
        vxbench::report("download " + std::to_string(mib) + " MiB (DownFile vs curl -o)", double(mib) / tOurs,
                        double(mib) / tCurl, "MiB/s");
        vxbench::report("download " + std::to_string(mib) + " MiB (DownFile vs curl -o + sync)",
                        double(mib) / tOurs, double(mib) / tCurlSync, "MiB/s");
    }

    // --- An update of many small files, one round trip of 20 ms each ----------------------
    if (only.empty() || only == "parallel") {
        constexpr int kFiles = 500;
        const std::string source = (work / "small.bin").string();
        {
            std::ofstream out(source, std::ios::binary);
            out << std::string(20 * 1024, 'u');
        }
        FileServer server(source, 20);
        const fs::path ours = work / "ours-set", theirs = work / "curl-set";
        std::string urls, paths, config;
        for (int i = 0; i < kFiles; ++i) {
            const std::string url = server.url("f" + std::to_string(i));
            urls += url + "\r\n";
            paths += (ours / ("f" + std::to_string(i))).string() + "\r\n";
            config += "url = \"" + url + "\"\noutput = \"" + (theirs / ("f" + std::to_string(i))).string() + "\"\n";
        }
        const std::string cfg = (work / "curl.cfg").string();
        std::ofstream(cfg) << config;
        auto prepare = [&] {
            fs::remove_all(ours);
            fs::remove_all(theirs);
            fs::create_directories(ours);
            fs::create_directories(theirs);
        };
        auto oursRun = [&] {
            {
                std::lock_guard lock(g_mutex);
                g_final.clear();
            }
            downFileFn(urls.c_str(), paths.c_str(), "", 5, 1, &notify);
            std::unique_lock lock(g_mutex);
            g_cv.wait(lock, [] { return !g_final.empty(); });
            if (g_final != "完成")
                std::exit(1);
        };
        auto [tOurs, tParallel] = interleaved(3, prepare, oursRun, [&] {
            run("curl -s -f --no-progress-meter --parallel --parallel-max 4 -K '" + cfg + "'");
        });
        auto [tOurs2, tSequential] = interleaved(1, prepare, oursRun, [&] { run("curl -s -f -K '" + cfg + "'"); });
        tOurs = std::min(tOurs, tOurs2);
        vxbench::report("update of 500 files of 20 KiB, 20 ms round trip: ours vs curl --parallel --parallel-max 4",
                        tOurs, tParallel, "s");
        vxbench::report("update of 500 files of 20 KiB, 20 ms round trip: ours vs sequential curl", tOurs,
                        tSequential, "s");
    }

    // --- A patched update of a big file -------------------------------------------------
    if (only.empty() || only == "patch") {
        const std::size_t size = 64u << 20;
        std::string oldBytes = vxtest::pattern(size, 7);
        std::string newBytes = oldBytes;
        // 1 % of the file in 4 KiB blocks spread over all of it.
        const std::size_t blocks = size / 100 / 4096, stride = size / blocks;
        for (std::size_t b = 0; b < blocks; ++b)
            for (std::size_t k = 0; k < 4096; ++k)
                newBytes[b * stride + k] = static_cast<char>(b + k);
        std::string error;
        const std::string patch = vxdl::makePatch(oldBytes, newBytes, 19, error);
        if (patch.empty()) {
            std::fprintf(stderr, "makePatch: %s\n", error.c_str());
            std::exit(1);
        }
        std::printf("update of a 64 MiB file with 1 %% changed (scattered 4 KiB blocks): bytes fetched / file size "
                    "= %.4f (goal <= 0.05)\n",
                    static_cast<double>(patch.size()) / static_cast<double>(size));
        const std::string oldPath = (work / "old.bin").string(), patchPath = (work / "p.zst").string(),
                          out = (work / "made.bin").string();
        std::ofstream(oldPath, std::ios::binary).write(oldBytes.data(), static_cast<std::streamsize>(size));
        std::ofstream(patchPath, std::ios::binary).write(patch.data(), static_cast<std::streamsize>(patch.size()));
        // Ours: the library's own steps for a patched file (read the old file, decode, write).
        auto [tOurs, tZstd] = interleaved(
            3, [&] { fs::remove(out); },
            [&] {
                std::ifstream in(oldPath, std::ios::binary);
                std::string from(size, '\0'), made, why;
                in.read(from.data(), static_cast<std::streamsize>(size));
                if (!vxdl::applyPatch(from, patch, made, why))
                    std::exit(1);
                std::ofstream(out, std::ios::binary).write(made.data(), static_cast<std::streamsize>(made.size()));
            },
            [&] { run("zstd -q -f -d --long=31 --patch-from='" + oldPath + "' '" + patchPath + "' -o '" + out + "'"); });
        vxbench::report("patch apply of that file: ours vs zstd --patch-from -d", tOurs, tZstd, "s");

        // The whole update of that file through the library over loopback: with the patch
        // (fetch it, check it, decode against the installed file, check the result, place)
        // against the same call without one (fetch the whole new file, check it, place).
        const std::string newPath = (work / "new.bin").string();
        std::ofstream(newPath, std::ios::binary).write(newBytes.data(), static_cast<std::streamsize>(size));
        auto hex = [](const std::string& bytes) {
            vxdl::Sha256 digest;
            digest.update(bytes.data(), bytes.size());
            return digest.hex();
        };
        const std::string fromSha = hex(oldBytes), newSha = hex(newBytes), patchSha = hex(patch);
        oldBytes.clear();
        oldBytes.shrink_to_fit();
        newBytes.clear();
        newBytes.shrink_to_fit();
        FileServer newServer(newPath), patchServer(patchPath);
        const std::string target = (work / "installed.bin").string();
        auto patched = entry<DownFilePatchedFn>("DownFilePatched");
        auto update = [&](const std::string& patches) {
            {
                std::lock_guard lock(g_mutex);
                g_final.clear();
            }
            patched((newServer.url("new.bin") + "\r\n").c_str(), (target + "\r\n").c_str(), "",
                    (newSha + "\r\n").c_str(), (patches + "\r\n").c_str(), 5, 1, &notify);
            std::unique_lock lock(g_mutex);
            g_cv.wait(lock, [] { return !g_final.empty(); });
            if (g_final != "完成") {
                std::fprintf(stderr, "DownFilePatched failed: %s\n", g_final.c_str());
                std::exit(1);
            }
        };
        auto [tWith, tWithout] = interleaved(
            3, [&] { fs::copy_file(oldPath, target, fs::copy_options::overwrite_existing); },
            [&] { update(fromSha + "|" + patchServer.url("p.zst") + "|" + patchSha); }, [&] { update(""); });
        vxbench::report("whole update with a patch vs without, on loopback (64 MiB file, 1 % changed)", tWith,
                        tWithout, "s");
        fs::remove(target);
        fs::remove(newPath);
    }

    // --- A package of a few thousand files --------------------------------------------------
    if (only.empty() || only == "unpack") {
        const int files = 3000;
        std::string package = (work / "pkg.zip").string();
        makePackage(package, files);
        std::string ourDir = (work / "ours").string(), theirDir = (work / "unzip").string();

        auto fresh = [&] {
            fs::remove_all(ourDir);
            fs::remove_all(theirDir);
            fs::create_directories(ourDir);
            fs::create_directories(theirDir);
        };
        auto [tUnpack, tUnzip] = interleaved(
            3, fresh,
            [&] {
                auto r = vxdl::unpackZip(package, ourDir, [] { return false; });
                if (!r || r->files.size() != static_cast<std::size_t>(files)) {
                    std::fprintf(stderr, "unpack failed: %s\n", r ? "count" : r.error().c_str());
                    std::exit(1);
                }
            },
            [&] { run("unzip -q -o '" + package + "' -d '" + theirDir + "'"); });
        vxbench::report("unpack " + std::to_string(files) + " files (vs unzip)", tUnpack * 1000, tUnzip * 1000, "ms");

        // The whole install as the client runs it: download, unpack, remove the package.
        FileServer server(package);
        std::string url = server.url("pkg.zip");
        auto [tInstall, tCurlUnzip] = interleaved(
            3, fresh, [&] { downFile(downFileFn, url, ourDir + "/pkg.zip", ourDir); },
            [&] {
                run("curl -s -f -o '" + theirDir + "/pkg.zip' '" + url + "' && unzip -q -o '" + theirDir +
                    "/pkg.zip' -d '" + theirDir + "' && rm '" + theirDir + "/pkg.zip'");
            });
        vxbench::report("install package of " + std::to_string(files) + " files (vs curl+unzip)", tInstall * 1000,
                        tCurlUnzip * 1000, "ms");
        // The install's files are on the disk when it reports "完成"; unzip's only once a
        // sync of their file system has followed it.
        auto [tInstall2, tCurlUnzipSync] = interleaved(
            3, fresh, [&] { downFile(downFileFn, url, ourDir + "/pkg.zip", ourDir); },
            [&] {
                run("curl -s -f -o '" + theirDir + "/pkg.zip' '" + url + "' && unzip -q -o '" + theirDir +
                    "/pkg.zip' -d '" + theirDir + "' && rm '" + theirDir + "/pkg.zip' && sync -f '" + theirDir + "'");
            });
        vxbench::report("install package of " + std::to_string(files) + " files (vs curl+unzip+sync)",
                        std::min(tInstall, tInstall2) * 1000, tCurlUnzipSync * 1000, "ms");
    }
    // --- The bandwidth limit ----------------------------------------------------------------
    // Two calls share one limit for 10 s, from a server that would deliver far faster; what
    // they received together over the time, against the limit (goal: 0.95 to 1.0).
    if (only.empty() || only == "rate") {
        constexpr int kLimit = 2 << 20;
        constexpr double kSeconds = 10;
        std::string source = (work / "rate.bin").string();
        {
            std::ofstream out(source, std::ios::binary);
            std::vector<char> block(1 << 20, 'r');
            for (int i = 0; i < 64; ++i) // more than both calls can receive in the time
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
        // The calls are cancelled while the server still sends: its sendfile must not end the
        // program.
        ::signal(SIGPIPE, SIG_IGN);
        FileServer server(source);
        const fs::path folder = work / "rate";
        fs::create_directories(folder);
        auto setRateLimit = entry<RateLimitFn>("DownLoaderSetRateLimit");
        auto cancelDown = entry<CancelFn>("CancelDown");
        setRateLimit(kLimit);
        g_ended = 0;
        const auto t0 = std::chrono::steady_clock::now();
        for (int id : {21, 22}) {
            const std::string path = (folder / ("f" + std::to_string(id))).string();
            downFileFn((server.url("rate.bin") + "\r\n").c_str(), (path + "\r\n").c_str(), "", 1, id, &countEnd);
        }
        std::this_thread::sleep_until(t0 + std::chrono::duration<double>(kSeconds));
        const std::uintmax_t bytes = receivedIn(folder);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        cancelDown(21);
        cancelDown(22);
        {
            std::unique_lock lock(g_mutex);
            g_cv.wait(lock, [] { return g_ended == 2; });
        }
        setRateLimit(0);
        fs::remove(source);
        const double mibPerSecond = double(bytes) / elapsed / double(1 << 20);
        vxbench::report("rate limit 2 MiB/s, 10 s: achieved / limit", mibPerSecond, double(kLimit) / double(1 << 20),
                        "MiB/s");
    }
    return 0;
}
