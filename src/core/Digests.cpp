#include "core/Digests.h"

#include <algorithm>
#include <atomic>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "core/Background.h"
#include "core/Crypto.h"
#include "core/MainThread.h"
#include "core/Signing.h"
#include "platform/Platform.h"

namespace vx {

namespace {

std::atomic<long long> g_read{0};
std::atomic<std::int64_t> g_settleNs{2'000'000'000};
std::function<bool(const std::string&)> g_changeTimeProbe; // tests only; set before any job

constexpr std::string_view kCacheHeader = "vxdigests 1";

// The digest's length tells its kind (32 hex digits MD5, 64 SHA-256), so a cache written
// before SHA-256 existed still reads.
struct Entry {
    platform::FileStamp stamp;
    std::string md5;
};

DigestKind kindOf(const std::string& digest) {
    return digest.size() == 64 ? DigestKind::Sha256
           : digest.size() == 8 ? DigestKind::Crc32
                                : DigestKind::Md5;
}

// The cache's key of a file: its path and the kind of its digest.
std::string cacheKey(const std::string& path, DigestKind kind) {
    return (kind == DigestKind::Sha256 ? "S" : kind == DigestKind::Crc32 ? "C" : "M") + path;
}

std::unordered_map<std::string, Entry> loadCache(const std::string& file) {
    std::unordered_map<std::string, Entry> cache;
    platform::SharedReadFile in;
    if (file.empty() || !in.open(file))
        return cache;
    std::string text;
    char buf[65536];
    for (long long n; (n = in.read(buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kCacheHeader)
        return cache;
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        Entry e;
        std::string path;
        if (!(f >> e.md5 >> e.stamp.size >> e.stamp.modified >> e.stamp.changed >>
              e.stamp.volume >> e.stamp.index) ||
            f.get() != '\t' || !std::getline(f, path) || path.empty() ||
            (e.md5.size() != 32 && e.md5.size() != 64 && e.md5.size() != 8))
            return {}; // a damaged cache is no cache
        const DigestKind kind = kindOf(e.md5);
        cache[cacheKey(path, kind)] = std::move(e);
    }
    return cache;
}

void saveCache(const std::string& file, const std::vector<std::pair<std::string, Entry>>& entries) {
    std::string text(kCacheHeader);
    text += '\n';
    for (const auto& [path, e] : entries) {
        if (path.find_first_of("\r\n") != std::string::npos)
            continue;
        text += e.md5 + ' ' + std::to_string(e.stamp.size) + ' ' +
                std::to_string(e.stamp.modified) + ' ' + std::to_string(e.stamp.changed) + ' ' +
                std::to_string(e.stamp.volume) + ' ' + std::to_string(e.stamp.index) + '\t' +
                path + '\n';
    }
    // A cache that cannot be written costs only the next check's reading.
    (void)platform::writeFileAtomic(file, text);
}

void runJob(const std::vector<DigestRequest>& files, const std::string& cacheFile,
            std::vector<Digest>& results) {
    std::vector<std::string> paths; // the cache's keys
    for (const auto& f : files)
        paths.push_back(cacheKey(f.path, f.kind));
    results.assign(paths.size(), Digest{});
    const auto cache = loadCache(cacheFile);
    std::vector<std::optional<Entry>> keep(paths.size());
    std::vector<std::size_t> toRead;
    std::unordered_map<std::string, std::size_t> first; // a path listed twice is read once
    std::vector<std::size_t> sameAs(paths.size());
    // A volume that keeps no change times cannot tell a same-size replacement with its
    // modification time kept from the file before: its files are read every time, and none
    // is recorded. Asked once per volume of the job.
    std::unordered_map<std::uint64_t, bool> volumeKeeps;
    std::vector<char> cacheable(paths.size(), 0);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const auto stamp = platform::fileStamp(files[i].path);
        if (!stamp)
            continue;
        auto [v, fresh] = volumeKeeps.emplace(stamp->volume, true);
        if (fresh)
            v->second = g_changeTimeProbe ? g_changeTimeProbe(files[i].path)
                                          : platform::keepsChangeTimes(files[i].path);
        cacheable[i] = v->second;
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
        auto [it, fresh] = first.emplace(paths[i], i);
        sameAs[i] = it->second;
        if (!fresh)
            continue;
        auto hit = cacheable[i] ? cache.find(paths[i]) : cache.end();
        if (hit != cache.end()) {
            auto stamp = platform::fileStamp(files[i].path);
            if (stamp && *stamp == hit->second.stamp) {
                results[i] = hit->second.md5;
                keep[i] = hit->second;
                continue;
            }
        }
        toRead.push_back(i);
    }

    std::atomic<std::size_t> next{0};
    const std::int64_t settle = g_settleNs.load();
    auto work = [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < toRead.size();) {
            const std::size_t i = toRead[k];
            const auto before = platform::fileStamp(files[i].path);
            auto md5 = files[i].kind == DigestKind::Sha256  ? FileSHA256(files[i].path)
                       : files[i].kind == DigestKind::Crc32 ? FileCRC32(files[i].path)
                                                            : FileMD5(files[i].path);
            g_read.fetch_add(1);
            if (!md5)
                continue; // unreadable: no digest
            results[i] = md5.value();
            const auto after = platform::fileStamp(files[i].path);
            const std::int64_t settled = platform::fileClockNow() - settle;
            if (cacheable[i] && before && after && *before == *after && !md5.value().empty() &&
                after->modified < settled && after->changed < settled)
                keep[i] = Entry{*after, md5.value()};
        }
    };
    const unsigned width =
        std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(),
                                        static_cast<unsigned>(toRead.size())));
    // Threads the system will not give are done without: the job's own thread reads what
    // the started ones leave, and every started one is joined.
    std::vector<std::thread> pool;
    try {
        for (unsigned t = 1; t < width; ++t) {
            detail::checkThreadStart();
            pool.emplace_back(work);
        }
    } catch (const std::system_error&) {
    }
    work();
    for (auto& t : pool)
        t.join();

    for (std::size_t i = 0; i < paths.size(); ++i)
        if (sameAs[i] != i)
            results[i] = results[sameAs[i]];
    if (!cacheFile.empty()) {
        std::vector<std::pair<std::string, Entry>> entries;
        for (std::size_t i = 0; i < paths.size(); ++i)
            if (keep[i])
                entries.emplace_back(files[i].path, *keep[i]);
        saveCache(cacheFile, entries);
    }
}

} // namespace

void computeDigests(std::vector<std::string> paths, std::string cacheFile,
                    std::function<void(std::vector<Digest>)> done) {
    std::vector<DigestRequest> files;
    files.reserve(paths.size());
    for (auto& p : paths)
        files.push_back({std::move(p), DigestKind::Md5});
    computeDigests(std::move(files), std::move(cacheFile), std::move(done));
}

void computeDigests(std::vector<DigestRequest> paths, std::string cacheFile,
                    std::function<void(std::vector<Digest>)> done) {
    runInBackground(
        [paths = std::move(paths), cacheFile = std::move(cacheFile)] {
            std::vector<Digest> results;
            try {
                runJob(paths, cacheFile, results);
            } catch (...) {
                // Out of threads or memory: every file counts as unreadable, so changed.
                results.assign(paths.size(), Digest{});
            }
            return results;
        },
        std::move(done));
}

int digestJobsRunning() { return backgroundJobsRunning(); }

long long digestFilesRead() { return g_read.load(); }

void setDigestCacheSettleTime(std::chrono::nanoseconds settle) { g_settleNs = settle.count(); }

std::chrono::nanoseconds digestCacheSettleTime() { return std::chrono::nanoseconds(g_settleNs.load()); }

void setChangeTimeProbeForTests(std::function<bool(const std::string&)> probe) {
    g_changeTimeProbe = std::move(probe);
}

} // namespace vx
