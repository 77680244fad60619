// The exported entries of libDownLoader and the work of one DownFile call.

#include "DownLoader.h"

#include <algorithm>
#include <atomic>
#include <curl/curl.h>
#include <cstdio>
#include <exception>
#include <fstream>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FileOps.h"
#include "Place.h"
#include "Patch.h"
#include "Progress.h"
#include "RateLimit.h"
#include "Security.h"
#include "Transfer.h"
#include "Unpack.h"
#include "core/Text.h"
#include "http/CurlSupport.h"

namespace vxdl {
namespace {

void cleanLeftovers(const std::set<std::string>& deep, const std::set<std::string>& shallow = {});

std::atomic<long> g_connectTimeoutMs{0};
std::atomic<long> g_stallSeconds{0};
std::atomic<long> g_retryDelayMs{0};
std::atomic<long> g_rateWindowMs{0};
std::atomic<long> g_minRate{0};
std::atomic<long long> g_freeSpaceMiB{-1}; // DownLoaderSetFreeSpaceForTests; negative: the real figure
// Transfers at once per call (DownLoaderSetConnections).
constexpr int kDefaultConnections = 4, kMaxConnections = 16;
std::atomic<int> g_connections{kDefaultConnections};

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

// The items of a list of digests, one per URL: unlike URLs and paths an empty item is one
// (a file that is not checked), so only the line break after the last item ends nothing.
std::vector<std::string> splitItems(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find('\n', start);
        std::string item =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const auto first = item.find_first_not_of(" \t\r");
        const auto last = item.find_last_not_of(" \t\r");
        items.push_back(first == std::string::npos ? std::string()
                                                   : item.substr(first, last - first + 1));
        if (end == std::string::npos)
            break;
        start = end + 1;
        if (start == text.size())
            break;
    }
    return items;
}

// An item as a status text may quote it: a long one is cut.
std::string quotedItem(const std::string& item) {
    constexpr std::size_t kShown = 80;
    return "\"" + (item.size() > kShown ? item.substr(0, kShown) + "…" : item) + "\"";
}

// A patch offered for a file: used when the file at the target has the digest `from`.
struct PatchItem {
    std::string from, url, sha256; // digests as 64 lowercase hexadecimal digits
};

// "fromSHA256|patchUrl|patchSHA256", or empty for none; nullopt (with `why`) when malformed.
std::optional<std::optional<PatchItem>> parsePatchItem(const std::string& item, std::string& why) {
    if (item.empty())
        return std::optional<PatchItem>();
    const auto first = item.find('|'), last = item.rfind('|');
    if (first == std::string::npos || first == last) {
        why = "不是“原文件SHA256|补丁地址|补丁SHA256”";
        return std::nullopt;
    }
    auto from = normalSha256(item.substr(0, first));
    auto sha = normalSha256(item.substr(last + 1));
    std::string url = item.substr(first + 1, last - first - 1);
    while (!url.empty() && url.back() == ' ')
        url.pop_back();
    url.erase(0, url.find_first_not_of(' '));
    if (!from || from->empty() || !sha || sha->empty()) {
        why = "的 SHA256 不是 64 位十六进制数字";
        return std::nullopt;
    }
    if (url.empty()) {
        why = "没有补丁地址";
        return std::nullopt;
    }
    return std::optional<PatchItem>(PatchItem{*from, url, *sha});
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

std::filesystem::path fsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The final message of a call stopped by CancelDown.
constexpr const char* kCancelled = "已取消";
// The final message of a call stopped by PauseDown.
constexpr const char* kPaused = "已暂停";

// A running call as CancelDown and PauseDown find it. Its fields other than `cancel` are
// guarded by g_runningMutex.
struct Running {
    int id = 0;
    CancelFlag cancel;
    bool paused = false;   // stopped by PauseDown (and not by CancelDown after it)
    bool pausable = true;  // until every file has arrived or the call failed
};

// Every running call. A call leaves it when its outcome is decided, under the lock, so that
// CancelDown either reaches a call before that moment (and the call ends "已取消") or finds
// nothing of it (and returns -1). PauseDown's moment comes earlier: once every file of the
// call has arrived, or it has failed, the call goes on to its end as if it had not come, so
// that a paused call never stops half placed.
std::mutex g_runningMutex;
std::vector<std::shared_ptr<Running>> g_running;

std::shared_ptr<Running> enlist(int id) {
    auto r = std::make_shared<Running>();
    r->id = id;
    std::lock_guard lock(g_runningMutex);
    g_running.push_back(r);
    return r;
}

// How a call was stopped, when it was.
struct Stop {
    bool cancelled = false; // by CancelDown or PauseDown
    bool paused = false;    // by PauseDown
};

// Takes the call out of the list; says whether it was stopped meanwhile.
Stop leave(const std::shared_ptr<Running>& r) {
    std::lock_guard lock(g_runningMutex);
    g_running.erase(std::remove(g_running.begin(), g_running.end(), r), g_running.end());
    return {r->cancel.isSet(), r->paused};
}

// From now on PauseDown passes the call by; true when it came before.
bool closePause(const std::shared_ptr<Running>& r) {
    std::lock_guard lock(g_runningMutex);
    r->pausable = false;
    return r->paused;
}

std::atomic<unsigned> g_stageCounter{0};

// The authorities that calls trust beside the system's (DownLoaderTrustCaFile); each call
// takes the setting in force when it starts.
std::mutex g_trustMutex;
std::shared_ptr<const std::string> g_extraCas;

std::shared_ptr<const std::string> extraCas() {
    std::lock_guard lock(g_trustMutex);
    return g_extraCas;
}

struct Call {
    std::string urls, paths, folder; // as given (ANSI code page)
    std::optional<std::string> sha256s;          // as given; none for DownFile
    std::optional<std::string> patches;          // as given (UTF-8); none but for DownFilePatched
    int connections = kDefaultConnections;       // transfers at once
    std::shared_ptr<const std::string> extraCas; // PEM text, or null for the system's only
    int attempts = 5;
    int id = 0;
    DownloadNotify notify = nullptr;
    std::shared_ptr<Running> running;
    std::optional<std::uint64_t> freeSpace; // a test's figure for the free space, when set
    bool resumable = false; // DownFileResumable: partial downloads are kept across calls
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
        // The outcome is decided once: a cancel that came before this point undoes even a
        // complete placement, one after it finds the call gone.
        const Stop stop = leave(m_call.running);
        const bool cancelled = stop.cancelled;
        try {
            if (m_placement && (cancelled || m_final != "完成")) {
                if (Status undo = m_placement->rollback(); !undo)
                    send("无法恢复旧文件：" + undo.error());
            } else if (m_placement) {
                m_placement->finish();
            }
        } catch (...) {
        }
        if (cancelled)
            m_final = stop.paused ? kPaused : kCancelled;
        // The final message goes out only once every resource of the call (connection,
        // files, package, stage) has been released, so the caller may act on it at once. A
        // stage whose undo failed stays, with the old files kept in it, for the next start
        // to put back.
        try {
            const bool keep = m_placement && m_placement->undoFailed();
            m_placement.reset();
            settlePartials(stop.paused);
            m_temps.clear();
            if (!m_stage.empty() && !keep)
                retireStage(m_stage, m_stageLock);
            m_stageLock.release();
        } catch (...) {
        }
        try {
            send(m_final.empty() ? std::string("error:下载失败：内部错误") : m_final);
        } catch (...) {
        }
    }

private:
    void send(const std::string& utf8) noexcept {
        try {
            std::string ansi = vx::toAnsi(utf8);
            // The call's transfers run on several threads; its messages go out one at a time.
            std::lock_guard lock(m_sendMutex);
            m_call.notify(m_call.id, ansi.c_str());
        } catch (...) {
            // Out of memory, or the caller's callback threw: nothing may leave the thread.
        }
    }
    // A status text saying what failed now; the one "error:" message once all is released.
    void fail(const std::string& what, const std::string& reason) { failWith(what + "：" + reason); }
    void failWith(const std::string& text) {
        if (!m_final.empty())
            return;
        // A failure decides the outcome: a PauseDown from now on finds nothing to pause.
        closePause(m_call.running);
        // A transfer or an unpacking ended by CancelDown failed for no reason to report.
        if (cancelled()) {
            m_final = kCancelled;
            return;
        }
        send(text);
        m_final = "error:" + text;
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
        std::vector<std::string> digests(urls.size());
        if (m_call.sha256s) {
            std::vector<std::string> given = splitItems(*m_call.sha256s);
            if (given.size() != urls.size())
                return fail("下载失败", "下载地址（" + std::to_string(urls.size()) +
                                            " 个）与 SHA256 校验值（" +
                                            std::to_string(given.size()) + " 个）数目不一致");
            for (std::size_t i = 0; i < given.size(); ++i) {
                auto digest = normalSha256(given[i]);
                if (!digest)
                    return fail("下载失败", "第 " + std::to_string(i + 1) + " 个 SHA256 校验值 " +
                                                quotedItem(given[i]) + " 不是 64 位十六进制数字");
                digests[i] = *digest;
            }
        }
        m_patches.assign(urls.size(), std::nullopt);
        if (m_call.patches) {
            std::vector<std::string> given = splitItems(*m_call.patches);
            if (given.size() != urls.size())
                return fail("下载失败", "下载地址（" + std::to_string(urls.size()) + " 个）与补丁（" +
                                            std::to_string(given.size()) + " 个）数目不一致");
            for (std::size_t i = 0; i < given.size(); ++i) {
                std::string why;
                auto item = parsePatchItem(given[i], why);
                if (!item)
                    return fail("下载失败", "第 " + std::to_string(i + 1) + " 个补丁 " + quotedItem(given[i]) + " " + why);
                // Only a result that can be checked may come from a patch.
                if (*item && digests[i].empty())
                    return fail("下载失败", "第 " + std::to_string(i + 1) + " 个补丁所属的文件没有 SHA256 校验值");
                m_patches[i] = std::move(*item);
            }
        }
        std::vector<FileJob>& jobs = m_jobs;
        std::set<std::string> targets;
        for (std::size_t i = 0; i < urls.size(); ++i) {
            FileJob job;
            job.sha256 = digests[i];
            job.url = urls[i];
            job.target = localPath(paths[i]);
            job.name = fileName(job.target);
            // A target named twice in one call keeps one partial, for its first URL.
            job.resumable = m_call.resumable && targets.insert(job.target).second;
            jobs.push_back(std::move(job));
        }

        // What killed processes left in these folders goes first (see cleanLeftovers).
        std::set<std::string> folders, parents;
        for (const FileJob& job : jobs)
            folders.insert(parentOf(job.target));
        if (!folder.empty()) {
            folders.insert(folder);
            parents.insert(parentOf(folder));
        }
        cleanLeftovers(folders, parents);

        Progress progress(jobs.size(), [this](int p) { send("process:" + std::to_string(p)); });
        progress.start();

        if (!folder.empty()) {
            if (Status s = makeDirs(folder); !s)
                return fail("无法创建安装文件夹", s.error());
        }

        // Up to `connections` files arrive at once, each on a transfer of its own; one that
        // fails for good stops the others (through `stop`, which CancelDown sets too).
        const std::size_t lanes =
            std::min<std::size_t>(static_cast<std::size_t>(std::max(1, m_call.connections)), jobs.size());
        CancelFlag stop(m_call.running->cancel);
        // Several lanes run their transfers on one multi handle, so that an HTTP/2 server is
        // asked for every file over one connection; without a thread for it each lane keeps
        // a connection of its own.
        std::unique_ptr<SharedConnections> shared;
        if (lanes > 1) {
            try {
                shared = std::make_unique<SharedConnections>(stop);
            } catch (...) {
            }
        }
        std::vector<std::unique_ptr<Fetcher>> fetchers;
        auto status = [this](const std::string& text) { send(text); };
        for (std::size_t l = 0; l < lanes; ++l)
            fetchers.push_back(shared ? std::make_unique<Fetcher>(currentTimings(), status, stop, m_call.extraCas, *shared)
                                      : std::make_unique<Fetcher>(currentTimings(), status, stop, m_call.extraCas));

        // On one connection, learn the sizes of several files first so that the percentage
        // covers the whole call from its start. Several connections learn each size from its
        // response instead (a file not yet started weighs as much as the average known one):
        // a request more per file would cost what the parallel transfers save.
        if (lanes == 1 && jobs.size() > 1) {
            for (std::size_t i = 0; i < jobs.size() && !cancelled(); ++i) {
                bool reachable = true;
                if (auto size = fetchers[0]->headSize(jobs[i].url, reachable))
                    progress.setSize(i, *size);
                if (!reachable)
                    break;
            }
        }

        // Every file is downloaded to its temporary file first; nothing is placed before
        // all of them have arrived whole.
        m_temps.resize(jobs.size());
        std::mutex batchMutex;
        std::size_t next = 0, arrived = 0;
        std::optional<std::pair<std::size_t, std::string>> failure; // the first file that failed
        bool pausedLate = false;
        const bool durable = folder.empty(); // a package is never placed, only read and removed
        auto lane = [&](Fetcher& fetcher) {
            for (;;) {
                std::size_t i = 0;
                {
                    std::lock_guard lock(batchMutex);
                    if (failure || pausedLate || stop.isSet() || next == jobs.size())
                        return;
                    i = next++;
                }
                Status s;
                try {
                    s = fetchOne(fetcher, i, progress, durable);
                } catch (const std::exception& e) {
                    s = Error{std::string("内部错误（") + e.what() + "）"};
                } catch (...) {
                    s = Error{"内部错误"};
                }
                std::lock_guard lock(batchMutex);
                if (!s) {
                    // A transfer ended by the stop failed for no reason of its own.
                    if (!failure && !stop.isSet())
                        failure.emplace(i, s.error());
                    stop.set();
                    return;
                }
                // Every file has arrived: the call goes on to its end now, whatever PauseDown says.
                if (++arrived == jobs.size() && closePause(m_call.running)) {
                    pausedLate = true;
                    return;
                }
                progress.fileDone(i);
            }
        };
        std::vector<std::thread> others;
        for (std::size_t l = 1; l < lanes; ++l) {
            try {
                others.emplace_back(lane, std::ref(*fetchers[l]));
            } catch (...) {
                break; // fewer lanes then
            }
        }
        lane(*fetchers[0]);
        for (auto& t : others)
            t.join();
        fetchers.clear();
        shared.reset();
        if (pausedLate)
            return fail("下载失败", kPaused);
        if (failure)
            return fail("下载 " + jobs[failure->first].name + " 失败", failure->second);
        if (cancelled() || arrived != jobs.size())
            return fail("下载失败", kCancelled);
        progress.finish();

        if (folder.empty()) {
            // One stage for the whole set, in the folder that holds every target, with every
            // old file kept in it: its journal alone undoes the set, whatever else is cleaned.
            const std::string common = commonFolder(jobs);
            if (Status s = makeStage(common.empty() ? jobs[0].name : common + "/" + jobs[0].name); !s)
                return fail("更新文件失败", s.error());
            m_placement = std::make_unique<Placement>(m_stage + "/old", m_stage + "/journal");
            for (std::size_t i = 0; i < jobs.size(); ++i)
                m_placement->add(m_temps[i]->path(), jobs[i].target);
            if (Status s = m_placement->place([this] { return cancelled(); }); !s)
                return fail(jobs.size() > 1 ? "更新文件失败" : "下载 " + jobs[0].name + " 失败", s.error());
            for (auto& t : m_temps)
                t->placed();
            m_final = "完成";
            return;
        }

        // Packages are unpacked into a stage beside the application's folder (on its file
        // system), and moved in only once every entry of every package is written whole.
        if (Status s = makeStage(folder); !s)
            return fail("解压 " + jobs[0].name + " 失败", s.error());
        const std::string files = m_stage + "/files", kept = m_stage + "/old";
        std::vector<std::vector<std::string>> placedFiles, placedFolders;
        std::set<std::vector<std::string>> seen;
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            if (cancelled())
                return fail("解压失败", kCancelled);
            send("正在解压 " + jobs[i].name);
            // The stage is beside the folder, on its file system; what earlier packages of
            // the call unpacked there is already taken from the free space.
            bool outOfRoom = false;
            auto room = [this, &files] { return m_call.freeSpace ? m_call.freeSpace : freeSpace(files); };
            auto result = unpackZip(m_temps[i]->path(), files, [this] { return cancelled(); }, room, &outOfRoom);
            m_temps[i]->discard(); // of no further use, whether it unpacked or not
            if (jobs[i].resumable)
                removeFile(partialInfoPath(jobs[i].target)); // its partial is used up
            if (!result && outOfRoom)
                return failWith(result.error());
            if (!result)
                return fail("解压 " + jobs[i].name + " 失败", result.error());
            UnpackResult unpacked = *result;
            // A resumable call also leaves what the package held, "<package>.entries" beside
            // the package's own path, moved in with the files: lines "crc32 size name".
            if (jobs[i].resumable) {
                std::string record;
                for (const auto& sum : unpacked.sums) {
                    char crc[9];
                    std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(sum.crc));
                    record += std::string(crc) + " " + std::to_string(sum.size) + " " + sum.name + "\n";
                }
                const std::vector<std::string> name{fileName(localPath(jobs[i].target)) + ".entries"};
                std::ofstream out(fsPath(files + "/" + name.front()), std::ios::binary | std::ios::trunc);
                out << record;
                out.close();
                if (out && std::find(unpacked.files.begin(), unpacked.files.end(), name) == unpacked.files.end())
                    unpacked.files.push_back(name);
            }
            for (auto& f : unpacked.files)
                if (seen.insert(f).second)
                    placedFiles.push_back(std::move(f));
            for (auto& f : unpacked.folders)
                placedFolders.push_back(std::move(f));
        }
        m_placement = std::make_unique<Placement>(kept, m_stage + "/journal");
        // Unpacked without a flush per file: the whole stage goes to the disk at once.
        m_placement->flushSources(true);
        for (const auto& f : placedFolders)
            m_placement->addFolder(folder, f);
        for (const auto& f : placedFiles) {
            std::string source = files;
            for (const auto& p : f)
                source += "/" + p;
            m_placement->addBelow(source, folder, f);
        }
        if (Status s = m_placement->place([this] { return cancelled(); }); !s)
            return fail("解压 " + jobs.back().name + " 失败", s.error());
        m_final = "完成";
    }

    bool cancelled() const { return m_call.running->cancel.isSet(); }

    // Fetches the file of job `i` into m_temps[i], from its patch when one applies.
    Status fetchOne(Fetcher& fetcher, std::size_t i, Progress& progress, bool durable) {
        const FileJob& job = m_jobs[i];
        const std::size_t count = m_jobs.size();
        send("正在下载 " + job.name +
             (count > 1 ? "（" + std::to_string(i + 1) + "/" + std::to_string(count) + "）" : ""));
        if (m_patches[i]) {
            if (auto done = fetchPatched(fetcher, i, progress, durable))
                return *done;
        }
        m_temps[i] = std::make_unique<TempFile>();
        return fetcher.fetch(i, job, m_call.attempts, progress, *m_temps[i], durable);
    }

    // Makes the file of job `i` from its patch and the file now at its target, into
    // m_temps[i]. nullopt when the whole file is to be fetched instead: the target is not the
    // patch's old file, or the patch could not be fetched, decoded, or gave other bytes than
    // the job's digest (each said in a status text). Otherwise the outcome of the file.
    std::optional<Status> fetchPatched(Fetcher& fetcher, std::size_t i, Progress& progress, bool durable) {
        const FileJob& job = m_jobs[i];
        const PatchItem& patch = *m_patches[i];
        auto fallBack = [&](const std::string& why) -> std::optional<Status> {
            send(job.name + " 的补丁不可用（" + why + "），改为下载整个文件");
            return std::nullopt;
        };
        std::string old;
        if (!readWhole(job.target, old))
            return std::nullopt; // nothing to patch: the file is new here
        {
            Sha256 digest;
            digest.update(old.data(), old.size());
            if (digest.hex() != patch.from)
                return fallBack("现有文件不是补丁的原文件");
        }
        FileJob patchJob;
        patchJob.url = patch.url;
        patchJob.target = job.target;
        patchJob.name = job.name + " 的补丁";
        patchJob.sha256 = patch.sha256;
        send("正在下载 " + patchJob.name);
        TempFile patchFile;
        if (Status s = fetcher.fetch(i, patchJob, std::min(m_call.attempts, 2), progress, patchFile, false); !s) {
            if (cancelled() || fetcher.stopped())
                return s;
            return fallBack("下载补丁失败：" + s.error());
        }
        std::string bytes, made, reason;
        if (!readWhole(patchFile.path(), bytes))
            return fallBack("无法读取补丁");
        patchFile.discard();
        if (!applyPatch(old, bytes, made, reason))
            return fallBack(reason);
        {
            Sha256 digest;
            digest.update(made.data(), made.size());
            if (digest.hex() != job.sha256)
                return fallBack("打补丁后的文件 SHA256校验失败");
        }
        m_temps[i] = std::make_unique<TempFile>();
        TempFile& file = *m_temps[i];
        if (Status s = file.create(job.target); !s)
            return s;
        file.setDurable(durable);
        if (Status s = file.write(made.data(), made.size()); !s)
            return s;
        if (Status s = file.finish(); !s)
            return s;
        send("已用补丁更新 " + job.name);
        return Status{};
    }

    static bool readWhole(const std::string& path, std::string& out) {
        std::ifstream in(fsPath(path), std::ios::binary);
        if (!in)
            return false;
        in.seekg(0, std::ios::end);
        const auto size = in.tellg();
        if (size < 0 || static_cast<std::uint64_t>(size) > kMaxPatchedSize)
            return false;
        in.seekg(0);
        out.resize(static_cast<std::size_t>(size));
        return static_cast<bool>(in.read(out.data(), size)) || size == 0;
    }

    // The partial downloads of a resumable call at its end: a paused call keeps them for a
    // later call; one that failed or was cancelled removes them (also those that earlier
    // calls left for targets it had not come to); a complete one has used them up (moved in,
    // or unpacked and removed) and removes their info. A partial another running call holds
    // is never touched.
    void settlePartials(bool paused) {
        if (!m_call.resumable)
            return;
        for (auto& t : m_temps) {
            if (!t || !t->kept())
                continue;
            if (paused)
                t->keep();
            else
                t->discard();
        }
        if (paused)
            return;
        for (std::size_t i = 0; i < m_jobs.size(); ++i) {
            const FileJob& job = m_jobs[i];
            // A job whose partial another call held went to a temporary file: the partial is
            // not this call's.
            if (!job.resumable || (i < m_temps.size() && m_temps[i] && !m_temps[i]->kept()))
                continue;
            if (m_final == "完成")
                removeFile(partialInfoPath(job.target));
            else
                removePartial(job.target);
        }
    }

    // The deepest folder that holds every target of the call ("" for bare names).
    static std::string commonFolder(const std::vector<FileJob>& jobs) {
        auto within = [](const std::string& dir, const std::string& folder) {
            if (dir == folder)
                return true;
            if (dir.size() <= folder.size() || dir.compare(0, folder.size(), folder) != 0)
                return false;
            const char next = dir[folder.size()], last = folder.back();
            return next == '/' || next == '\\' || last == '/' || last == '\\';
        };
        std::string common = parentOf(jobs[0].target);
        for (const FileJob& job : jobs) {
            const std::string dir = parentOf(job.target);
            while (!common.empty() && !within(dir, common)) {
                const std::string up = parentOf(common);
                common = up == common ? std::string() : up;
            }
        }
        return common;
    }

    // Makes a new stage, `.<name>.vxstage-PID-N` beside `folder`, locked by this call, with
    // its two parts: the unpacked files and the old files they replace (and later the
    // placement's journal).
    Status makeStage(const std::string& folder) {
        std::string parent = parentOf(folder);
        std::string name = fileName(folder);
        for (int tries = 0; tries < 100; ++tries) {
            std::string stage = (parent.empty() ? std::string(".") : parent) + "/." + name + ".vxstage-" +
                                std::to_string(processId()) + "-" + std::to_string(g_stageCounter++);
            std::error_code ec;
            crashPoint();
            if (std::filesystem::create_directory(fsPath(stage), ec)) {
                m_stage = stage;
                if (!m_stageLock.take(stage))
                    return Error{"无法锁定文件夹 " + stage + ": " + lastSystemError()};
                if (!std::filesystem::create_directory(fsPath(stage + "/files"), ec) ||
                    !std::filesystem::create_directory(fsPath(stage + "/old"), ec))
                    return Error{"无法创建文件夹 " + stage + ": " + ec.message()};
                return {};
            }
            if (ec)
                return Error{"无法创建文件夹 " + stage + ": " + ec.message()};
        }
        return Error{"无法创建文件夹 " + parent};
    }

    Call m_call;
    std::vector<FileJob> m_jobs;
    std::vector<std::optional<PatchItem>> m_patches; // by job
    std::mutex m_sendMutex;
    std::string m_final; // "完成", "error:...", "已取消" or "已暂停"
    std::vector<std::unique_ptr<TempFile>> m_temps; // the downloaded files, by job
    std::unique_ptr<Placement> m_placement;
    std::string m_stage; // the stage of the call, once made
    StageLock m_stageLock;
};

std::once_flag g_curlInit;

// Undoes and removes what ended processes of the library left: in every folder of `deep` and
// everything below it, and in every folder of `shallow` and its direct subfolders (a package
// is downloaded into the application's folder, whose parent holds the stages of installs).
// Links are never followed. Every stage found is recovered before any loose leftover goes,
// and only under its lock, so two cleanings, of this process or of another, never undo one
// stage together. A stage whose recovery fails stays for a later try.
void cleanLeftovers(const std::set<std::string>& deep, const std::set<std::string>& shallow) {
    static std::mutex cleaning;
    std::lock_guard lock(cleaning);
    std::set<std::string> scan, stages;
    auto visit = [&](const std::string& dir) {
        scan.insert(dir);
        for (const std::string& stage : leftoverStages(dir))
            stages.insert(stage);
    };
    auto isStage = [](const std::u8string& name) {
        return name.find(u8".vxstage-") != std::u8string::npos;
    };
    for (const std::string& f : shallow) {
        const std::string dir = f.empty() ? std::string(".") : f;
        visit(dir);
        std::error_code ec;
        for (std::filesystem::directory_iterator it(fsPath(dir), ec), end; !ec && it != end;
             it.increment(ec)) {
            const std::u8string name = it->path().filename().u8string();
            if (name.empty() || name[0] == u8'.' || !it->is_directory(ec) || it->is_symlink(ec))
                continue;
            visit(dir + "/" + std::string(name.begin(), name.end()));
        }
    }
    for (const std::string& f : deep) {
        const std::string dir = f.empty() ? std::string(".") : f;
        visit(dir);
        std::error_code ec;
        for (std::filesystem::recursive_directory_iterator
                 it(fsPath(dir), std::filesystem::directory_options::skip_permission_denied, ec),
             end;
             !ec && it != end; it.increment(ec)) {
            if (it->is_symlink(ec) || !it->is_directory(ec))
                continue;
            const std::u8string name = it->path().filename().u8string();
            if (isStage(name)) {
                it.disable_recursion_pending(); // a stage's own files are its business
                continue;
            }
            const std::u8string path = it->path().u8string();
            visit(std::string(path.begin(), path.end()));
        }
    }
    for (const std::string& stage : stages) {
        StageLock held;
        if (!held.take(stage))
            continue; // another process recovers it now
        if (recoverStage(stage))
            retireStage(stage, held);
    }
    for (const std::string& dir : scan)
        removeLeftovers(dir);
}

} // namespace
} // namespace vxdl

namespace vxdl {
namespace {

int startCall(const char* urls, const char* paths, const char* folder, const char* sha256s,
              bool checked, bool resumable, int attempts, int appId, DownloadNotify notify,
              const char* patches = nullptr) {
    if (!notify)
        return -1;
    try {
        std::call_once(vxdl::g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        vxdl::Call call;
        call.urls = urls ? urls : "";
        call.paths = paths ? paths : "";
        call.folder = folder ? folder : "";
        if (checked)
            call.sha256s = vx::fromAnsi(sha256s ? sha256s : "");
        call.extraCas = extraCas();
        call.attempts = attempts < 1 ? 1 : (attempts > 100 ? 100 : attempts);
        call.id = appId;
        call.notify = notify;
        call.resumable = resumable;
        if (patches)
            call.patches = vx::fromAnsi(patches);
        call.connections = vxdl::g_connections.load();
        if (const long long mib = vxdl::g_freeSpaceMiB.load(); mib >= 0)
            call.freeSpace = static_cast<std::uint64_t>(mib) * 1024 * 1024;
        // Listed before the thread starts, so that a CancelDown right after this returns
        // finds the call.
        call.running = vxdl::enlist(appId);
        auto running = call.running;
        try {
            std::thread([call = std::move(call)]() mutable {
                vxdl::Worker worker(std::move(call));
                worker.run();
            }).detach();
        } catch (...) {
            vxdl::leave(running);
            return -1;
        }
        return 0;
    } catch (...) {
        return -1;
    }
}

} // namespace
} // namespace vxdl

extern "C" VXDL_EXPORT int VXDL_CALL DownFile(const char* urls, const char* paths,
                                              const char* folder, int attempts, int appId,
                                              DownloadNotify notify) {
    return vxdl::startCall(urls, paths, folder, nullptr, false, false, attempts, appId, notify);
}

extern "C" VXDL_EXPORT int VXDL_CALL DownFileSha256(const char* urls, const char* paths,
                                                    const char* folder, const char* sha256s,
                                                    int attempts, int appId,
                                                    DownloadNotify notify) {
    return vxdl::startCall(urls, paths, folder, sha256s, true, false, attempts, appId, notify);
}

extern "C" VXDL_EXPORT int VXDL_CALL DownLoaderTrustCaFile(const char* pemPath) {
    try {
        std::shared_ptr<const std::string> pem;
        if (pemPath && *pemPath) {
            auto text = vx::http::readCaFile(vx::fromAnsi(pemPath));
            if (!text)
                return -1;
            pem = std::make_shared<const std::string>(std::move(*text));
        }
        std::lock_guard lock(vxdl::g_trustMutex);
        vxdl::g_extraCas = std::move(pem);
        return 0;
    } catch (...) {
        return -1;
    }
}

extern "C" VXDL_EXPORT int VXDL_CALL CleanLeftovers(const char* folder) {
    try {
        if (!folder)
            return -1;
        const std::string path = vxdl::localPath(vx::fromAnsi(folder));
        if (path.empty())
            return -1;
        vxdl::cleanLeftovers({path});
        return 0;
    } catch (...) {
        return -1;
    }
}

extern "C" VXDL_EXPORT int VXDL_CALL CancelDown(int appId) {
    try {
        std::lock_guard lock(vxdl::g_runningMutex);
        int found = 0;
        for (const auto& r : vxdl::g_running) {
            if (r->id == appId) {
                r->paused = false; // a cancel after a pause removes what the pause kept
                r->cancel.set();
                ++found;
            }
        }
        return found > 0 ? 0 : -1;
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

extern "C" VXDL_EXPORT void VXDL_CALL DownLoaderCrashAtStepForTests(int step) {
    vxdl::crashAtStepForTests(step);
}

extern "C" VXDL_EXPORT void VXDL_CALL DownLoaderSetMinimumRateForTests(int windowMs, int minBytesPerSecond) {
    vxdl::g_rateWindowMs = windowMs > 0 ? windowMs : 0;
    vxdl::g_minRate = minBytesPerSecond > 0 ? minBytesPerSecond : 0;
}

extern "C" VXDL_EXPORT int VXDL_CALL DownLoaderSetRateLimit(int bytesPerSecond) {
    vxdl::RateLimit::shared().set(bytesPerSecond);
    return 0;
}

extern "C" VXDL_EXPORT void VXDL_CALL DownLoaderSetFreeSpaceForTests(int mebibytes) {
    vxdl::g_freeSpaceMiB = mebibytes < 0 ? -1 : mebibytes;
}

extern "C" VXDL_EXPORT int VXDL_CALL DownFileResumable(const char* urls, const char* paths,
                                                       const char* folder, const char* sha256s,
                                                       int attempts, int appId,
                                                       DownloadNotify notify) {
    return vxdl::startCall(urls, paths, folder, sha256s, true, true, attempts, appId, notify);
}

extern "C" VXDL_EXPORT int VXDL_CALL PauseDown(int appId) {
    try {
        std::lock_guard lock(vxdl::g_runningMutex);
        int found = 0;
        for (const auto& r : vxdl::g_running) {
            // A call being cancelled stays so; one past its last download ends as it will.
            if (r->id != appId || !r->pausable || (r->cancel.isSet() && !r->paused))
                continue;
            r->paused = true;
            r->cancel.set();
            ++found;
        }
        return found > 0 ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

extern "C" VXDL_EXPORT int VXDL_CALL DiscardPartials(const char* paths) {
    try {
        if (!paths)
            return -1;
        for (const std::string& path : vxdl::splitLines(vx::fromAnsi(paths)))
            vxdl::removePartial(vxdl::localPath(path));
        return 0;
    } catch (...) {
        return -1;
    }
}

extern "C" VXDL_EXPORT int VXDL_CALL DownLoaderSetConnections(int connections) {
    if (connections < 1 || connections > vxdl::kMaxConnections)
        return -1;
    vxdl::g_connections = connections;
    return 0;
}

extern "C" VXDL_EXPORT int VXDL_CALL DownFilePatched(const char* urls, const char* paths,
                                                     const char* folder, const char* sha256s,
                                                     const char* patches, int attempts, int appId,
                                                     DownloadNotify notify) {
    return vxdl::startCall(urls, paths, folder, sha256s, true, true, attempts, appId, notify,
                           patches ? patches : "");
}
