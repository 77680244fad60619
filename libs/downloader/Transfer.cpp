#include "Transfer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "RateLimit.h"
#include "Security.h"
#include "http/CurlSupport.h"

namespace vxdl {

namespace {

constexpr std::size_t kMaxHeaderValue = 1024;

std::string trim(std::string s) {
    auto notSpace = [](unsigned char c) { return c != ' ' && c != '\t' && c != '\r' && c != '\n'; };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return s;
}

bool isHttps(const std::string& url) { return lower(url.substr(0, 8)) == "https://"; }

bool parseUint(const std::string& s, std::uint64_t& out) {
    if (s.empty() || s.size() > 19)
        return false;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    out = v;
    return true;
}

// "bytes S-E/T" (T may be "*").
struct ContentRange {
    std::uint64_t start = 0, end = 0;
    std::optional<std::uint64_t> total;
};

std::optional<ContentRange> parseContentRange(const std::string& value) {
    std::string v = lower(trim(value));
    if (v.rfind("bytes ", 0) != 0)
        return std::nullopt;
    v = trim(v.substr(6));
    auto dash = v.find('-'), slash = v.find('/');
    if (dash == std::string::npos || slash == std::string::npos || dash > slash)
        return std::nullopt;
    ContentRange r;
    if (!parseUint(trim(v.substr(0, dash)), r.start) ||
        !parseUint(trim(v.substr(dash + 1, slash - dash - 1)), r.end) || r.end < r.start)
        return std::nullopt;
    std::string total = trim(v.substr(slash + 1));
    if (total != "*") {
        std::uint64_t t = 0;
        if (!parseUint(total, t) || t <= r.end)
            return std::nullopt;
        r.total = t;
    }
    return r;
}

// curl's low-speed limit (1 byte/s over the stall time) lets a server that sends a byte
// every few seconds hold a transfer, and with it an install, for ever. This guard ends a
// transfer whose average over the last window fell below the minimum rate, judged only once
// it has run a whole window. It keeps a sample of the received count every twentieth of the
// window, so a window is measured to within 5 % of its length, with a bounded memory.
// Time in which the bandwidth limit held the transfer back is not the server's: the minimum
// shrinks by the share of the window spent so, so that a limit below the minimum rate (or
// shared by many transfers) never passes for a slow server.
class RateGuard {
public:
    using Clock = std::chrono::steady_clock;

    RateGuard(long windowMs, long minRate)
        : m_window(std::chrono::milliseconds(windowMs)),
          m_step(std::max<std::chrono::milliseconds>(m_window / 20, std::chrono::milliseconds(1))),
          m_minBytes(static_cast<std::uint64_t>(minRate) * static_cast<std::uint64_t>(windowMs) / 1000) {
        m_samples.push_back({Clock::now(), 0, Clock::duration::zero()});
    }

    // `received`: body bytes received so far in this transfer (never falls); `held`: the
    // time the bandwidth limit has held it back so far (never falls either).
    bool tooSlow(std::uint64_t received, Clock::duration held) {
        const auto now = Clock::now();
        if (now - m_samples.back().at >= m_step)
            m_samples.push_back({now, received, held});
        // The front stays the newest sample at least a window old.
        while (m_samples.size() >= 2 && now - m_samples[1].at >= m_window)
            m_samples.pop_front();
        const Sample& first = m_samples.front();
        const auto span = now - first.at;
        if (span < m_window)
            return false;
        const auto free = span - std::min(span, held - first.held);
        const double share = std::chrono::duration<double>(free) / std::chrono::duration<double>(span);
        return static_cast<double>(received - first.bytes) < static_cast<double>(m_minBytes) * share;
    }

private:
    struct Sample {
        Clock::time_point at;
        std::uint64_t bytes;
        Clock::duration held;
    };
    std::chrono::milliseconds m_window, m_step;
    std::uint64_t m_minBytes;
    std::deque<Sample> m_samples;
};

// The file being received, with the running SHA-256 of its bytes when the job names one.
// Every write and every emptying goes through here, so the digest always covers exactly the
// bytes in the file: an attempt that resumes goes on from the digest of the prefix already
// received, one that starts over starts a new digest. No byte is read twice.
class Received {
public:
    Received(TempFile& file, bool digest) : m_file(file) {
        if (digest)
            m_digest = std::make_unique<Sha256>();
    }
    std::uint64_t size() const { return m_file.size(); }
    Status write(const char* data, std::size_t size) {
        Status s = m_file.write(data, size);
        if (s && m_digest)
            m_digest->update(data, size);
        return s;
    }
    Status truncate() {
        if (m_digest)
            m_digest->reset();
        return m_file.truncate();
    }
    // False when the job names a digest and the bytes have another.
    bool matches(const std::string& sha256) const { return !m_digest || m_digest->hex() == sha256; }
    // The bytes already in the file (a kept partial) enter the digest first.
    Status takeExisting() {
        if (!m_digest || m_file.size() == 0)
            return {};
        return m_file.readBack([this](const char* data, std::size_t n) { m_digest->update(data, n); });
    }

private:
    TempFile& m_file;
    std::unique_ptr<Sha256> m_digest;
};

// What survives across the attempts of one file.
struct FileState {
    std::optional<std::uint64_t> total; // the whole file's size, once a response told it
    std::string validator;              // strong ETag or Last-Modified of the file
    bool rangesRefused = false;         // the server said "Accept-Ranges: none"
};

// One attempt's view of the response, filled by curl's callbacks.
struct Attempt {
    CURL* curl = nullptr;
    Received* file = nullptr;
    FileState* state = nullptr;
    Progress* progress = nullptr;
    std::size_t index = 0;
    std::uint64_t requestedStart = 0;
    RateGuard* rate = nullptr;
    std::uint64_t received = 0; // body bytes of this attempt, for the rate guard
    RateGuard::Clock::duration held{}; // time the bandwidth limit held this attempt back
    // On shared connections every wait for the limit holds every transfer back: the time
    // counts from what the thread had been held when the attempt began.
    SharedConnections* shared = nullptr;
    std::chrono::nanoseconds sharedHeldBefore{};
    const FileJob* job = nullptr;
    bool keptPart = false; // the file is the job's kept partial, with its info file

    // Headers of the latest response (redirects reset them).
    std::optional<std::uint64_t> contentLength;
    std::string contentRange, etag, lastModified, acceptRanges;

    bool prepared = false;
    bool localError = false;
    bool badRange = false;
    bool badStatus = false;
    bool tooSlow = false;
    bool downgrade = false;
    CancelFlag* cancel = nullptr;
    std::string reason;

    // The time the bandwidth limit has held this attempt back so far.
    RateGuard::Clock::duration heldSoFar() const {
        if (!shared)
            return held;
        return std::chrono::duration_cast<RateGuard::Clock::duration>(shared->held() - sharedHeldBefore);
    }

    // Decides, once the final response's body starts, what to do with the bytes already
    // on disk. False when the body must not be written.
    bool prepare() {
        prepared = true;
        long code = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        std::string newValidator;
        if (!etag.empty() && etag.rfind("W/", 0) != 0)
            newValidator = etag;
        else if (!lastModified.empty())
            newValidator = lastModified;
        if (code == 200) {
            // The whole file again: a server that ignores Range, or a file that changed.
            if (file->size() > 0) {
                if (Status s = file->truncate(); !s) {
                    localError = true;
                    reason = s.error();
                    return false;
                }
                progress->setBytes(index, 0);
            }
            state->total = contentLength;
            state->validator = newValidator;
            if (lower(acceptRanges) == "none")
                state->rangesRefused = true;
            // The info says what the bytes that follow belong to before the first of them is
            // written: a kill at any moment leaves a partial that a later call can judge.
            if (keptPart) {
                if (Status s = writePartInfo(job->target, {job->url, newValidator, contentLength}); !s) {
                    localError = true;
                    reason = s.error();
                    return false;
                }
            }
            if (contentLength)
                progress->setSize(index, *contentLength);
            return true;
        }
        if (code == 206) {
            auto range = parseContentRange(contentRange);
            bool changed = (state->total && range && range->total && *range->total != *state->total) ||
                           (!state->validator.empty() && !newValidator.empty() &&
                            newValidator != state->validator);
            // A part is only believable as the answer to a Range this attempt sent, and
            // when its length agrees with the range it claims.
            const bool asked = requestedStart > 0;
            const bool lengthAgrees =
                !range || !contentLength || *contentLength == range->end - range->start + 1;
            if (!asked || !range || range->start != requestedStart || changed || !lengthAgrees) {
                badRange = true;
                reason = "服务器返回的续传范围不正确";
                return false;
            }
            if (range->total) {
                state->total = range->total;
                progress->setSize(index, *range->total);
            }
            return true;
        }
        badStatus = true;
        reason = "服务器返回 HTTP " + std::to_string(code);
        return false;
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self) {
        auto* a = static_cast<Attempt*>(self);
        std::string line(data, size * count);
        if (line.rfind("HTTP/", 0) == 0) {
            a->contentLength.reset();
            a->contentRange.clear();
            a->etag.clear();
            a->lastModified.clear();
            a->acceptRanges.clear();
            return size * count;
        }
        auto colon = line.find(':');
        if (colon == std::string::npos)
            return size * count;
        std::string name = lower(trim(line.substr(0, colon)));
        std::string value = trim(line.substr(colon + 1));
        if (value.size() > kMaxHeaderValue)
            return size * count;
        if (name == "content-length") {
            std::uint64_t v = 0;
            if (parseUint(value, v))
                a->contentLength = v;
        } else if (name == "content-range") {
            a->contentRange = value;
        } else if (name == "etag") {
            a->etag = value;
        } else if (name == "last-modified") {
            a->lastModified = value;
        } else if (name == "accept-ranges") {
            a->acceptRanges = value;
        } else if (name == "location" && lower(value.substr(0, 5)) == "http:") {
            // A hop from https to plain http (also further down a chain that began with
            // http) would send the rest unprotected: the transfer ends here.
            long code = 0;
            char* at = nullptr;
            curl_easy_getinfo(a->curl, CURLINFO_RESPONSE_CODE, &code);
            curl_easy_getinfo(a->curl, CURLINFO_EFFECTIVE_URL, &at);
            if (code >= 300 && code < 400 && at && isHttps(at)) {
                a->downgrade = true;
                a->reason = "服务器把 https 下载地址重定向到了不加密的 http 地址，已拒绝";
                return 0;
            }
        }
        return size * count;
    }

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self) {
        auto* a = static_cast<Attempt*>(self);
        try {
            if (!a->prepared && !a->prepare())
                return 0;
            if (a->badRange || a->badStatus || a->localError)
                return 0;
            // Under a bandwidth limit each piece waits for its turn before it is written (the
            // reads behind it wait in the socket, which slows the server down in turn).
            RateLimit& limit = RateLimit::shared();
            for (std::size_t done = 0, total = size * count; done < total;) {
                const std::size_t n = std::min(total - done, limit.piece());
                RateGuard::Clock::duration waited{};
                const bool go = limit.take(n, *a->cancel, waited);
                if (a->shared)
                    a->shared->addHeld(waited);
                else
                    a->held += waited;
                if (!go)
                    return 0; // stopped; the caller sees the flag
                if (Status s = a->file->write(data + done, n); !s) {
                    a->localError = true;
                    a->reason = s.error();
                    return 0;
                }
                done += n;
                a->received += n;
                a->progress->setBytes(a->index, a->file->size());
            }
            return size * count;
        } catch (...) {
            a->localError = true;
            a->reason = "内存不足";
            return 0;
        }
    }
};

// A person's words for the curl failures a user meets.
std::string describe(CURLcode rc) {
    switch (rc) {
    case CURLE_COULDNT_CONNECT:
        return "无法连接服务器";
    case CURLE_COULDNT_RESOLVE_HOST:
        return "无法解析服务器地址";
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "无法解析代理服务器地址";
    case CURLE_OPERATION_TIMEDOUT:
        return "连接超时或传输停滞";
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        return "连接中断";
    case CURLE_SEND_ERROR:
        return "发送请求失败";
    case CURLE_TOO_MANY_REDIRECTS:
        return "重定向次数过多";
    case CURLE_UNSUPPORTED_PROTOCOL:
        return "不支持的下载地址";
    case CURLE_URL_MALFORMAT:
        return "下载地址格式错误";
    case CURLE_SSL_CONNECT_ERROR:
        return "安全连接失败";
    default:
        return std::string("网络错误: ") + curl_easy_strerror(rc);
    }
}

// A certificate that does not verify (an unknown authority, another host's name, expired)
// stays so on the next attempt, and neither may a missing trust store be waited out.
// (CURLE_SSL_CACERT is the same code as CURLE_PEER_FAILED_VERIFICATION.)
bool certificateFailure(CURLcode rc) {
    switch (rc) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return true;
    default:
        return false;
    }
}

bool retryable(CURLcode rc) {
    switch (rc) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_TOO_MANY_REDIRECTS:
        return false;
    default:
        return true;
    }
}

bool retryableHttp(long code) { return code == 408 || code == 416 || code == 429 || code >= 500; }

int xferInfo(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* a = static_cast<Attempt*>(self);
    if (a->cancel && a->cancel->isSet())
        return 1;
    try {
        if (a->prepared && !a->badRange && !a->badStatus)
            a->progress->setBytes(a->index, a->file->size());
        if (a->rate && a->rate->tooSlow(a->received, a->heldSoFar())) {
            a->tooSlow = true;
            a->reason = "传输过慢";
            return 1; // aborts the transfer
        }
    } catch (...) {
    }
    return 0;
}

} // namespace

std::string wireUrl(const std::string& url) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(url.size());
    for (unsigned char c : url) {
        if (c >= 0x80 || c == ' ') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

CancelFlag::CancelFlag(CancelFlag& parent) : m_parent(&parent) {
    std::lock_guard lock(parent.m_mutex);
    parent.m_children.push_back(this);
    if (parent.m_set)
        m_set = true;
}

CancelFlag::~CancelFlag() {
    if (!m_parent)
        return;
    std::lock_guard lock(m_parent->m_mutex);
    auto& c = m_parent->m_children;
    c.erase(std::remove(c.begin(), c.end(), this), c.end());
}

void CancelFlag::set() {
    std::lock_guard lock(m_mutex);
    m_set = true;
    for (CURLM* multi : m_multis)
        curl_multi_wakeup(multi);
    m_cv.notify_all();
    for (CancelFlag* child : m_children)
        child->set();
}

void CancelFlag::watch(CURLM* multi) {
    std::lock_guard lock(m_mutex);
    m_multis.push_back(multi);
}

void CancelFlag::unwatch(CURLM* multi) {
    std::lock_guard lock(m_mutex);
    m_multis.erase(std::remove(m_multis.begin(), m_multis.end(), multi), m_multis.end());
}

bool CancelFlag::waitFor(long ms) { return waitFor(std::chrono::milliseconds(ms)); }

bool CancelFlag::waitFor(std::chrono::nanoseconds time) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, time, [this] { return m_set.load(); });
}

SharedConnections::SharedConnections(CancelFlag& cancel) : m_cancel(cancel) {
    keepNewSocketsPrivate([this] { m_multi = curl_multi_init(); });
    if (!m_multi)
        throw std::runtime_error("curl_multi_init");
    curl_multi_setopt(m_multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    m_cancel.watch(m_multi);
    try {
        m_thread = std::thread([this] { loop(); });
    } catch (...) {
        m_cancel.unwatch(m_multi);
        curl_multi_cleanup(m_multi);
        throw;
    }
}

SharedConnections::~SharedConnections() {
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    curl_multi_wakeup(m_multi);
    m_thread.join();
    m_cancel.unwatch(m_multi);
    curl_multi_cleanup(m_multi);
}

CURLcode SharedConnections::run(CURL* easy) {
    std::unique_lock lock(m_mutex);
    m_adding.push_back(easy);
    curl_multi_wakeup(m_multi);
    for (;;) {
        auto it = std::find_if(m_ended.begin(), m_ended.end(), [easy](const auto& e) { return e.first == easy; });
        if (it != m_ended.end()) {
            const CURLcode rc = it->second;
            m_ended.erase(it);
            return rc;
        }
        m_cv.wait(lock);
    }
}

void SharedConnections::loop() {
    std::vector<CURL*> running;
    for (;;) {
        std::vector<std::pair<CURL*, CURLcode>> ended;
        {
            std::lock_guard lock(m_mutex);
            if (m_quit && running.empty() && m_adding.empty())
                return;
            for (CURL* easy : m_adding) {
                if (curl_multi_add_handle(m_multi, easy) == CURLM_OK)
                    running.push_back(easy);
                else
                    ended.emplace_back(easy, CURLE_FAILED_INIT);
            }
            m_adding.clear();
        }
        int still = 0;
        const CURLMcode mc = running.empty() ? CURLM_OK : curl_multi_perform(m_multi, &still);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(m_multi, &left))
            if (msg->msg == CURLMSG_DONE)
                ended.emplace_back(msg->easy_handle, msg->data.result);
        // A stop ends every transfer at once, as does a multi handle that fails.
        if (mc != CURLM_OK || m_cancel.isSet()) {
            const CURLcode rc = mc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY
                                : mc != CURLM_OK          ? CURLE_FAILED_INIT
                                                          : CURLE_ABORTED_BY_CALLBACK;
            for (CURL* easy : running)
                if (std::none_of(ended.begin(), ended.end(), [easy](const auto& e) { return e.first == easy; }))
                    ended.emplace_back(easy, rc);
        }
        for (const auto& e : ended) {
            if (std::find(running.begin(), running.end(), e.first) != running.end()) {
                curl_multi_remove_handle(m_multi, e.first);
                running.erase(std::remove(running.begin(), running.end(), e.first), running.end());
            }
        }
        if (!ended.empty()) {
            std::lock_guard lock(m_mutex);
            m_ended.insert(m_ended.end(), ended.begin(), ended.end());
            m_cv.notify_all();
        }
        // curl shortens the wait to its own next timeout; a new transfer, a stop or the
        // end wakes it at once.
        curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr);
    }
}

Fetcher::Fetcher(const Timings& timings, std::function<void(const std::string&)> status,
                 CancelFlag& cancel, std::shared_ptr<const std::string> extraCas)
    : m_timings(timings), m_status(std::move(status)), m_cancel(cancel),
      m_extraCas(std::move(extraCas)), m_curl(curl_easy_init()) {
    if (!m_curl)
        throw std::runtime_error("curl_easy_init");
    keepNewSocketsPrivate([this] { m_multi = curl_multi_init(); });
    if (!m_multi) {
        curl_easy_cleanup(m_curl);
        throw std::runtime_error("curl_multi_init");
    }
    m_cancel.watch(m_multi);
}

Fetcher::Fetcher(const Timings& timings, std::function<void(const std::string&)> status, CancelFlag& cancel,
                 std::shared_ptr<const std::string> extraCas, SharedConnections& shared)
    : m_timings(timings), m_status(std::move(status)), m_cancel(cancel), m_extraCas(std::move(extraCas)),
      m_curl(curl_easy_init()), m_shared(&shared) {
    if (!m_curl)
        throw std::runtime_error("curl_easy_init");
}

Fetcher::~Fetcher() {
    curl_easy_cleanup(m_curl);
    if (!m_multi)
        return;
    m_cancel.unwatch(m_multi);
    curl_multi_cleanup(m_multi);
}

CURLcode Fetcher::perform() {
    m_curlError[0] = '\0';
    if (m_shared)
        return m_shared->run(m_curl);
    if (curl_multi_add_handle(m_multi, m_curl) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLMcode mc = CURLM_OK;
    for (int running = 1;;) {
        mc = curl_multi_perform(m_multi, &running);
        if (mc != CURLM_OK || running == 0 || m_cancel.isSet())
            break;
        // curl shortens the wait to its own next timeout (connect, stall, progress).
        mc = curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr);
        if (mc != CURLM_OK)
            break;
    }
    CURLcode rc = mc == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(m_multi, &left))
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == m_curl)
            rc = msg->data.result;
    curl_multi_remove_handle(m_multi, m_curl);
    return rc;
}

void Fetcher::setCommonOptions(const std::string& wire) {
    curl_easy_reset(m_curl);
    curl_easy_setopt(m_curl, CURLOPT_URL, wire.c_str());
    curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(m_curl, CURLOPT_MAXREDIRS, 10L);
    // Only web transfers: a package address must never read local files or other schemes.
    // An https address stays https: a redirect to plain http would hand the package to
    // anyone on the way (the GET also says so in its own words, see Attempt::onHeader).
    curl_easy_setopt(m_curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(m_curl, CURLOPT_REDIR_PROTOCOLS_STR, isHttps(wire) ? "https" : "http,https");
    vx::http::useSystemProxy(m_curl, wire);
    // Certificates are always verified, host name included; a call may only trust more
    // authorities than the system does.
    curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(m_curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (m_extraCas)
        vx::http::trustExtraCas(m_curl, m_extraCas.get());
    curl_easy_setopt(m_curl, CURLOPT_ERRORBUFFER, m_curlError);
    curl_easy_setopt(m_curl, CURLOPT_CONNECTTIMEOUT_MS, m_timings.connectTimeoutMs);
    curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_TIME, m_timings.stallSeconds);
    curl_easy_setopt(m_curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(m_curl, CURLOPT_BUFFERSIZE, 512L * 1024L);
    curl_easy_setopt(m_curl, CURLOPT_USERAGENT, "VXDownLoader/1.0");
    curl_easy_setopt(m_curl, CURLOPT_OPENSOCKETFUNCTION, &vx::http::openPrivateSocket);
    // A transfer that starts while another is connecting waits to learn whether it may
    // share that connection (HTTP/2) before it opens one of its own.
    if (m_shared)
        curl_easy_setopt(m_curl, CURLOPT_PIPEWAIT, 1L);
}

std::optional<std::uint64_t> Fetcher::headSize(const std::string& url, bool& reachable) {
    setCommonOptions(wireUrl(url));
    curl_easy_setopt(m_curl, CURLOPT_NOBODY, 1L);
    // A HEAD carries no body for the rate guard to weigh; one window is all it gets.
    curl_easy_setopt(m_curl, CURLOPT_TIMEOUT_MS, m_timings.rateWindowMs);
    CURLcode rc = perform();
    reachable = rc == CURLE_OK || rc == CURLE_HTTP_RETURNED_ERROR;
    long code = 0;
    curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &code);
    curl_off_t length = -1;
    curl_easy_getinfo(m_curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (rc != CURLE_OK || code != 200 || length < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(length);
}

std::optional<PartInfo> readPartInfo(const std::string& target) {
    const std::string path = partialInfoPath(target);
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
    if (!in)
        return std::nullopt;
    PartInfo info;
    bool sawUrl = false;
    std::string line;
    while (std::getline(in, line)) {
        const auto space = line.find(' ');
        const std::string key = line.substr(0, space), value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "url") {
            info.url = value;
            sawUrl = true;
        } else if (key == "validator") {
            info.validator = value;
        } else if (key == "total") {
            std::uint64_t t = 0;
            if (parseUint(value, t))
                info.total = t;
        }
    }
    if (!sawUrl)
        return std::nullopt;
    return info;
}

Status writePartInfo(const std::string& target, const PartInfo& info) {
    std::string text = "url " + info.url + "\nvalidator " + info.validator + "\n";
    if (info.total)
        text += "total " + std::to_string(*info.total) + "\n";
    TempFile file;
    if (Status s = file.create(partialInfoPath(target)); !s)
        return s;
    file.setDurable(true);
    if (Status s = file.write(text.data(), text.size()); !s)
        return s;
    return file.commit();
}

void removePartial(const std::string& target) {
    if (removeUnlessHeld(partialPath(target)))
        removeFile(partialInfoPath(target));
}

namespace {

// Opens the partial kept for a resumable job and decides what of it stays: the bytes of a
// call for the same URL whose file had a validator (so a file changed since cannot be
// spliced to them), no more than the file's size. A part as long as the whole file gives
// back its last byte, so that the server is asked for something (with If-Range) and still
// confirms the file before it is placed. False when another call holds it: the job then
// downloads to a temporary file of its own.
bool openPartial(const FileJob& job, TempFile& file, FileState& state, Status& error) {
    bool busy = false;
    if (Status s = file.openKept(partialPath(job.target), busy); !s) {
        if (!busy)
            error = s;
        return false;
    }
    const auto info = readPartInfo(job.target);
    std::uint64_t keep = 0;
    if (info && info->url == job.url && !info->validator.empty()) {
        keep = file.size();
        if (info->total && keep > *info->total)
            keep = 0;
        else if (info->total && keep == *info->total && keep > 0)
            keep -= 1;
    }
    if (keep != file.size()) {
        if (Status s = file.truncate(keep); !s) {
            error = s;
            return false;
        }
    }
    if (keep > 0) {
        state.total = info->total;
        state.validator = info->validator;
    }
    return true;
}

} // namespace

Status Fetcher::fetch(std::size_t index, const FileJob& job, int attempts, Progress& progress, TempFile& file,
                      bool durable) {
    static const Error cancelled{"已取消"};
    if (Status s = makeDirs(parentOf(job.target)); !s)
        return s;
    removeStaleTemps(job.target);
    FileState state;
    bool keptPart = false;
    if (job.resumable) {
        Status error;
        keptPart = openPartial(job, file, state, error);
        if (!error)
            return error;
    }
    if (!keptPart) {
        if (Status s = file.create(job.target); !s)
            return s;
    }
    file.setDurable(durable);
    // Stops the file: a temporary file goes, a kept partial is the caller's to keep or not.
    auto stopped = [&] {
        if (!keptPart)
            file.discard();
        return cancelled;
    };

    Received body(file, !job.sha256.empty());
    if (Status s = body.takeExisting(); !s)
        return s;
    if (file.size() > 0) {
        if (state.total)
            progress.setSize(index, *state.total);
        progress.setBytes(index, file.size());
    }
    const std::string wire = wireUrl(job.url);
    std::string lastReason;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (attempt > 1) {
            m_status("下载 " + job.name + " 失败：" + lastReason + "，正在重试（第 " +
                     std::to_string(attempt) + " 次，共 " + std::to_string(attempts) + " 次）");
            long delay = m_timings.retryDelayMs << std::min(attempt - 2, 3);
            if (m_cancel.waitFor(delay))
                return stopped();
        }

        Attempt a;
        a.curl = m_curl;
        a.file = &body;
        a.state = &state;
        a.progress = &progress;
        a.index = index;
        a.cancel = &m_cancel;
        a.job = &job;
        a.keptPart = keptPart;
        a.shared = m_shared;
        if (m_shared)
            a.sharedHeldBefore = m_shared->held();
        a.requestedStart = state.rangesRefused ? 0 : file.size();
        RateGuard rate(m_timings.rateWindowMs, m_timings.minRate);
        a.rate = &rate;
        if (a.requestedStart == 0 && file.size() > 0) {
            if (Status s = body.truncate(); !s)
                return s;
            progress.setBytes(index, 0);
        }

        setCommonOptions(wire);
        curl_easy_setopt(m_curl, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(m_curl, CURLOPT_HEADERFUNCTION, &Attempt::onHeader);
        curl_easy_setopt(m_curl, CURLOPT_HEADERDATA, &a);
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, &Attempt::onBody);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &a);
        curl_easy_setopt(m_curl, CURLOPT_XFERINFOFUNCTION, &xferInfo);
        curl_easy_setopt(m_curl, CURLOPT_XFERINFODATA, &a);
        curl_easy_setopt(m_curl, CURLOPT_NOPROGRESS, 0L);

        std::string range;
        curl_slist* headers = nullptr;
        if (a.requestedStart > 0) {
            range = std::to_string(a.requestedStart) + "-";
            curl_easy_setopt(m_curl, CURLOPT_RANGE, range.c_str());
            // A file that changed on the server since the first part comes back whole.
            if (!state.validator.empty())
                headers = curl_slist_append(headers, ("If-Range: " + state.validator).c_str());
        }
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, headers);

        CURLcode rc = perform();
        curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, nullptr);
        curl_slist_free_all(headers);

        if (m_cancel.isSet())
            return stopped();
        if (rc == CURLE_OK && !a.prepared)
            a.prepare(); // an empty body
        if (a.localError || a.downgrade)
            return Error{a.reason};
        if (a.tooSlow) {
            // What arrived is kept: the next attempt asks for the rest.
            lastReason = a.reason;
            continue;
        }
        if (a.badRange) {
            // Start over cleanly on the next attempt.
            lastReason = a.reason;
            if (Status s = body.truncate(); !s)
                return s;
            progress.setBytes(index, 0);
            state = FileState{};
            continue;
        }
        if (a.badStatus) {
            long code = 0;
            curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &code);
            if (!retryableHttp(code))
                return Error{a.reason};
            lastReason = a.reason;
            if (code == 416) {
                if (Status s = body.truncate(); !s)
                    return s;
                state = FileState{};
            }
            continue;
        }
        if (certificateFailure(rc)) {
            const std::string detail = m_curlError[0] ? m_curlError : curl_easy_strerror(rc);
            return Error{"证书验证失败（" + detail + "）"};
        }
        if (rc != CURLE_OK) {
            lastReason = describe(rc);
            if (!retryable(rc))
                return Error{lastReason};
            continue;
        }
        if (state.total && file.size() != *state.total) {
            lastReason = "数据不完整";
            continue;
        }
        if (!body.matches(job.sha256)) {
            // Not one byte of a wrong body is kept to resume onto: the next attempt fetches
            // the whole file again.
            lastReason = "SHA256校验失败";
            if (Status s = body.truncate(); !s)
                return s;
            progress.setBytes(index, 0);
            state = FileState{};
            continue;
        }
        return file.finish();
    }
    file.discard();
    return Error{lastReason};
}

} // namespace vxdl
