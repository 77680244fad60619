// The exported entries of libDownLoader and the work of one DownFile call.

#include "DownLoader.h"

#include <atomic>
#include <curl/curl.h>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FileOps.h"
#include "Progress.h"
#include "Transfer.h"
#include "Unpack.h"
#include "core/Text.h"

namespace vxdl {
namespace {

std::atomic<long> g_connectTimeoutMs{0};
std::atomic<long> g_stallSeconds{0};
std::atomic<long> g_retryDelayMs{0};
std::atomic<long> g_rateWindowMs{0};
std::atomic<long> g_minRate{0};

Timings currentTimings() {
    Timings t;
    if (long v = g_connectTimeoutMs.load(); v > 0)
        t.connectTimeoutMs = v;
    if (long v = g_stallSeconds.load(); v > 0)
        t.stallSeconds = v;
    if (long v = g_retryDelayMs.load(); v > 0)
        t.retryDelayMs = v;
    if (long v = g_rateWindowMs.load(); v > 0)
        t.rateWindowMs = v;
    if (long v = g_minRate.load(); v > 0)
        t.minRate = v;
    return t;
}

// Items of a CR LF separated list (a lone LF is accepted too); blank items are skipped.
std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = text.substr(start, end - start);
        while (!item.empty() && (item.back() == '\r' || item.back() == ' ' || item.back() == '\t'))
            item.pop_back();
        std::size_t first = item.find_first_not_of(" \t");
        if (first != std::string::npos)
            items.push_back(item.substr(first));
        start = end + 1;
    }
    return items;
}

// A local path from the client: on this system "\" separates folders as "/" does.
std::string localPath(std::string path) {
#ifndef _WIN32
    for (char& c : path)
        if (c == '\\')
            c = '/';
#endif
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string fileName(const std::string& path) {
    auto pos = path.find_last_of("/\\");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

struct Call {
    std::string urls, paths, folder; // as given (ANSI code page)
    int attempts = 5;
    int id = 0;
    DownloadNotify notify = nullptr;
};

class Worker {
public:
    explicit Worker(Call call) : m_call(std::move(call)) {}

    void run() noexcept {
        try {
            work();
        } catch (const std::exception& e) {
            try {
                fail("下载失败", std::string("内部错误（") + e.what() + "）");
            } catch (...) {
            }
        } catch (...) {
            try {
                fail("下载失败", "内部错误");
            } catch (...) {
            }
        }
        // The final message goes out only once every resource of the call (connection,
        // files, package) has been released, so the caller may act on it at once.
        try {
            send(m_final.empty() ? std::string("error:下载失败：内部错误") : m_final);
        } catch (...) {
        }
    }

private:
    void send(const std::string& utf8) noexcept {
        try {
            std::string ansi = vx::toAnsi(utf8);
            m_call.notify(m_call.id, ansi.c_str());
        } catch (...) {
            // Out of memory, or the caller's callback threw: nothing may leave the thread.
        }
    }
    // A status text saying what failed now; the one "error:" message once all is released.
    void fail(const std::string& what, const std::string& reason) {
        if (!m_final.empty())
            return;
        send(what + "：" + reason);
        m_final = "error:" + what + "：" + reason;
    }

    void work() {
        std::vector<std::string> urls = splitLines(vx::fromAnsi(m_call.urls));
        std::vector<std::string> paths = splitLines(vx::fromAnsi(m_call.paths));
        std::string folder = m_call.folder.empty() ? "" : localPath(vx::fromAnsi(m_call.folder));
        if (urls.empty())
            return fail("下载失败", "没有要下载的文件");
        if (urls.size() != paths.size())
            return fail("下载失败", "下载地址（" + std::to_string(urls.size()) + " 个）与本地路径（" +
                                        std::to_string(paths.size()) + " 个）数目不一致");
        std::vector<FileJob> jobs;
        for (std::size_t i = 0; i < urls.size(); ++i) {
            FileJob job;
            job.url = urls[i];
            job.target = localPath(paths[i]);
            job.name = fileName(job.target);
            jobs.push_back(std::move(job));
        }

        Fetcher fetcher(currentTimings(), [this](const std::string& text) { send(text); });
        Progress progress(jobs.size(), [this](int p) { send("process:" + std::to_string(p)); });
        progress.start();

        if (!folder.empty()) {
            if (Status s = makeDirs(folder); !s)
                return fail("无法创建安装文件夹", s.error());
        }

        // For several files, learn their sizes first so the percentage covers the whole call.
        if (jobs.size() > 1) {
            for (std::size_t i = 0; i < jobs.size(); ++i) {
                bool reachable = true;
                if (auto size = fetcher.headSize(jobs[i].url, reachable))
                    progress.setSize(i, *size);
                if (!reachable)
                    break;
            }
        }

        const int count = static_cast<int>(jobs.size());
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            std::string of = count > 1 ? "（" + std::to_string(i + 1) + "/" + std::to_string(count) + "）" : "";
            send("正在下载 " + jobs[i].name + of);
            if (Status s = fetcher.fetch(i, jobs[i], m_call.attempts, progress); !s)
                return fail("下载 " + jobs[i].name + " 失败", s.error());
            progress.fileDone(i);
        }
        progress.finish();

        if (!folder.empty()) {
            for (const FileJob& job : jobs) {
                send("正在解压 " + job.name);
                auto result = unpackZip(job.target, folder);
                bool keep = result.ok() && result->replacedPackage;
                if (!keep && removeFile(job.target))
                    syncFolder(parentOf(job.target)); // so that no used package comes back
                if (!result)
                    return fail("解压 " + job.name + " 失败", result.error());
            }
        }
        m_final = "完成";
    }

    Call m_call;
    std::string m_final; // "完成" or "error:..."
};

std::once_flag g_curlInit;

} // namespace
} // namespace vxdl

extern "C" VXDL_EXPORT int VXDL_CALL DownFile(const char* urls, const char* paths, const char* folder,
                                              int attempts, int appId, DownloadNotify notify) {
    if (!notify)
        return -1;
    try {
        std::call_once(vxdl::g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        vxdl::Call call;
        call.urls = urls ? urls : "";
        call.paths = paths ? paths : "";
        call.folder = folder ? folder : "";
        call.attempts = attempts < 1 ? 1 : (attempts > 100 ? 100 : attempts);
        call.id = appId;
        call.notify = notify;
        std::thread([call = std::move(call)]() mutable {
            vxdl::Worker worker(std::move(call));
            worker.run();
        }).detach();
        return 0;
    } catch (...) {
        return -1;
    }
}

extern "C" VXDL_EXPORT void VXDL_CALL DownLoaderSetTimingsForTests(int connectTimeoutMs, int stallSeconds,
                                                                   int retryDelayMs) {
    vxdl::g_connectTimeoutMs = connectTimeoutMs > 0 ? connectTimeoutMs : 0;
    vxdl::g_stallSeconds = stallSeconds > 0 ? stallSeconds : 0;
    vxdl::g_retryDelayMs = retryDelayMs > 0 ? retryDelayMs : 0;
}

extern "C" VXDL_EXPORT void VXDL_CALL DownLoaderSetMinimumRateForTests(int windowMs, int minBytesPerSecond) {
    vxdl::g_rateWindowMs = windowMs > 0 ? windowMs : 0;
    vxdl::g_minRate = minBytesPerSecond > 0 ? minBytesPerSecond : 0;
}
