#pragma once
// HTTP transfers of the downloader, on libcurl. One Fetcher per call (one connection that
// is reused across the call's files), used from the call's worker thread only.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FileOps.h"
#include "Progress.h"

#include <curl/curl.h>

namespace vxdl {

struct Timings {
    long connectTimeoutMs = 15000;
    long stallSeconds = 30;
    long retryDelayMs = 1000;
    // A transfer that has run a whole window and received less than minRate bytes per
    // second on average over the last window is abandoned (as a failed attempt).
    long rateWindowMs = 60000;
    long minRate = 1024;
};

// One file to fetch; texts are UTF-8.
struct FileJob {
    std::string url;
    std::string target;
    std::string name; // the target's file name, for status texts
    // The SHA-256 the file's bytes must have (64 lowercase hexadecimal digits); empty: any.
    std::string sha256;
    // The bytes go to the partial download kept beside the target (partialPath), which a
    // later call goes on with when the server's file is still the same; see fetch().
    bool resumable = false;
};

// What a kept partial download is part of, in its info file (partialInfoPath).
struct PartInfo {
    std::string url;       // as the call gave it
    std::string validator; // strong ETag or Last-Modified of the file; empty: none was sent
    std::optional<std::uint64_t> total;
};
std::optional<PartInfo> readPartInfo(const std::string& target);
// Replaces the info in one rename, flushed to the disk first.
Status writePartInfo(const std::string& target, const PartInfo& info);
// Removes the partial download kept for `target` and its info, unless a running call holds
// it (it is then left alone).
void removePartial(const std::string& target);

// A call's stop request (CancelDown), set from any thread. It wakes the call's transfers
// and their pauses between attempts at once.
class CancelFlag {
public:
    CancelFlag() = default;
    // A flag that is set with `parent` too (while both live), and may also be set alone:
    // one failed file of a call stops the call's other transfers through it.
    explicit CancelFlag(CancelFlag& parent);
    ~CancelFlag();
    CancelFlag(const CancelFlag&) = delete;
    CancelFlag& operator=(const CancelFlag&) = delete;
    void set();
    bool isSet() const { return m_set.load(); }
    // Waits for `ms` milliseconds or until the flag is set; true when it is set.
    bool waitFor(long ms);
    bool waitFor(std::chrono::nanoseconds time);

private:
    friend class Fetcher;
    friend class SharedConnections;
    // A multi handle to wake when the flag is set, from now until unwatch().
    void watch(CURLM* multi);
    void unwatch(CURLM* multi);
    std::atomic<bool> m_set{false};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<CURLM*> m_multis; // the transfers to wake, while they run
    CancelFlag* m_parent = nullptr;
    std::vector<CancelFlag*> m_children;
};

// The transfers of one call that run at once, on one multi handle and one thread that
// drives it: over HTTP/2 (an https server that offers it in the TLS handshake) they share
// one multiplexed connection; over HTTP/1.1 each has a connection of its own, kept for its
// next file. Fetchers on any thread hand their transfers to it and wait for their end; the
// transfers' callbacks then run on its thread, one at a time.
class SharedConnections {
public:
    // `cancel` wakes the thread when set (the transfers then end through their progress
    // callbacks). Throws when the multi handle or the thread cannot be had.
    explicit SharedConnections(CancelFlag& cancel);
    ~SharedConnections();
    SharedConnections(const SharedConnections&) = delete;
    SharedConnections& operator=(const SharedConnections&) = delete;

    // Runs the transfer set up on `easy` to its end; blocks the calling thread meanwhile.
    CURLcode run(CURL* easy);

    // Time the bandwidth limit has held the thread back so far, in any transfer: each
    // transfer on it was held that long too, since no other callback could run meanwhile.
    std::chrono::nanoseconds held() const { return std::chrono::nanoseconds(m_heldNs.load()); }
    void addHeld(std::chrono::nanoseconds time) { m_heldNs += time.count(); }

private:
    void loop();

    CancelFlag& m_cancel;
    CURLM* m_multi = nullptr;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<CURL*> m_adding;                     // handed over, not yet on the multi
    std::vector<std::pair<CURL*, CURLcode>> m_ended; // off the multi, not yet taken back
    bool m_quit = false;
    std::atomic<long long> m_heldNs{0};
    std::thread m_thread;
};

class Fetcher {
public:
    // `status` receives status texts (UTF-8) for the user; `cancel` (kept by the caller for
    // the Fetcher's whole life) stops the transfers when set. `extraCas`, when not null, is
    // the PEM text of certificate authorities that https transfers trust beside the system's.
    Fetcher(const Timings& timings, std::function<void(const std::string&)> status, CancelFlag& cancel,
            std::shared_ptr<const std::string> extraCas = nullptr);
    // The same, with the transfers run on `shared` (which must outlive the Fetcher).
    Fetcher(const Timings& timings, std::function<void(const std::string&)> status, CancelFlag& cancel,
            std::shared_ptr<const std::string> extraCas, SharedConnections& shared);
    ~Fetcher();
    Fetcher(const Fetcher&) = delete;
    Fetcher& operator=(const Fetcher&) = delete;

    // The size the server announces for a GET of `url` (HEAD request); nullopt when it
    // does not say. `reachable` becomes false when the server could not be reached at all.
    std::optional<std::uint64_t> headSize(const std::string& url, bool& reachable);

    // Downloads job.url into `file`, a new temporary file beside job.target (missing folders
    // made), with up to `attempts` attempts; progress of file `index` goes to `progress`.
    // For a resumable job `file` is the partial kept beside the target instead (unless
    // another call holds it, then a temporary file as for any job): bytes a call left there
    // for the same URL, with a validator, are asked for no more (Range and If-Range, as for
    // a later attempt) and counted as received; their digest is taken first. Each response
    // that starts the file over notes the URL and validator in the info file before its
    // first byte is written. A set cancel flag then leaves the partial to the caller.
    // A file whose bytes do not have job.sha256 (when given) is a failed attempt, and the
    // next one fetches it from its start. When complete the file is closed (flushed to the
    // disk first when `durable`) under its temporary name, for the caller to place; on
    // failure it is removed. The error says why the last attempt failed; a certificate that
    // does not verify fails at once. A set cancel flag ends it at once.
    Status fetch(std::size_t index, const FileJob& job, int attempts, Progress& progress, TempFile& file,
                 bool durable);

    // The stop request of this Fetcher is set.
    bool stopped() const { return m_cancel.isSet(); }

private:
    // Resets m_curl for a transfer of `wire` (a URL made by wireUrl).
    void setCommonOptions(const std::string& wire);
    // Runs the transfer set up on m_curl to its end, on m_multi or on m_shared.
    CURLcode perform();

    Timings m_timings;
    std::function<void(const std::string&)> m_status;
    CancelFlag& m_cancel;
    std::shared_ptr<const std::string> m_extraCas;
    char m_curlError[CURL_ERROR_SIZE] = {}; // curl's own words for the last failure
    CURL* m_curl = nullptr;
    // Our own multi handle rather than curl_easy_perform's hidden one, so that the sockets
    // it creates for itself can be made close-on-exec; it also keeps the call's connection.
    // Null when the transfers run on m_shared.
    CURLM* m_multi = nullptr;
    SharedConnections* m_shared = nullptr;
};

// A URL given by the client, made fit for the wire: non-ASCII bytes of the UTF-8 text and
// spaces are percent-encoded.
std::string wireUrl(const std::string& url);

} // namespace vxdl
