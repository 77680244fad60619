#include "http/HttpThread.h"

#include "core/MainThread.h"
#include "core/Text.h"
#include "core/Trust.h"
#include "http/CurlSupport.h"
#include "http/FormUrl.h"
#include "http/ReplyDecoding.h"
#include "platform/Platform.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vx {

namespace {

std::atomic<int> g_live{0};

void globalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

constexpr const char* kAccept =
    "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
    "application/vnd.ms-excel, application/msword, */*";

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// A header value that could end its line: with CR or LF it would smuggle header lines or
// a second request onto the wire, and a NUL would cut it short unseen.
bool headerValueSafe(std::string_view v) {
    return v.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool isHttps(std::string_view url) { return url.size() >= 8 && iequals(url.substr(0, 8), "https://"); }

// The certificates of config.xml's cafile, read once per file; null when it holds none.
std::shared_ptr<const std::string> extraAuthorities(const std::string& caFile) {
    static std::mutex lock;
    static std::string cachedFor;
    static std::shared_ptr<const std::string> cached;
    std::lock_guard<std::mutex> hold(lock);
    if (cachedFor != caFile) {
        auto pem = vx::http::readCaFile(caFile);
        cached = pem ? std::make_shared<const std::string>(std::move(*pem)) : nullptr;
        cachedFor = caFile;
    }
    return cached;
}

std::mutex g_hookLock;
std::function<void(const std::string&)> g_certificateHook;

// The outcome of one request/response exchange.
struct Reply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string statusLine;      // e.g. "HTTP/1.1 302 Found"
    std::string contentEncoding; // joined when repeated
    std::string contentType;
    std::string location; // absolute URL of the Location header, if any
    std::string body;     // body of a 2xx reply; other replies' bodies are dropped
    std::string error;    // why the exchange failed, for debugging
    bool certificate = false; // it failed on the server's certificate

    bool ok() const { return code == CURLE_OK && status >= 200 && status < 300; }
    // A 3xx that was not followed: the caller restarts at its Location.
    bool unfollowedRedirect() const {
        return statusLine.find("HTTP/1.1 30") != std::string::npos ||
               statusLine.find("HTTP/1.0 30") != std::string::npos;
    }
};

} // namespace

// The libcurl side of a worker: one easy handle, reused for every exchange of the worker
// (redirect hops and restarts), never reusing a connection.
struct THttpThread::Client {
    THttpThread* owner = nullptr;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    std::string requestContentType;         // Content-Type of a POST body
    std::vector<std::string> customHeaders; // extra header lines (the cookie line)
    char errorBuffer[CURL_ERROR_SIZE] = {};
    bool certificateFailed = false; // an exchange of this worker failed on a certificate
    std::shared_ptr<const std::string> extraCas; // config.xml's authorities, while it runs

    // State of the exchange in progress.
    Reply* reply = nullptr;
    bool headersDone = false;
    bool bodyWanted = false;
    bool downBegun = false;
    std::int64_t received = 0;
    Stream* upload = nullptr;
    std::int64_t uploadSize = 0;
    std::int64_t sent = 0;
    bool upBegun = false;
    bool upEnded = false;
    bool connected = false;
    std::chrono::steady_clock::time_point lastActivity;

    ~Client() {
        if (headerList)
            curl_slist_free_all(headerList);
        if (easy)
            curl_easy_cleanup(easy);
    }

    void touch() { lastActivity = std::chrono::steady_clock::now(); }

    static size_t onHeader(char* data, size_t size, size_t nitems, void* userp) {
        auto* c = static_cast<Client*>(userp);
        const size_t len = size * nitems;
        c->touch();
        std::string_view line(data, len);
        Reply& r = *c->reply;
        if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
            // A new response (an interim 1xx may precede the final one).
            r.statusLine = std::string(trim(line));
            r.status = 0;
            const auto sp = r.statusLine.find(' ');
            if (sp != std::string::npos)
                r.status = std::strtol(r.statusLine.c_str() + sp + 1, nullptr, 10);
            r.contentEncoding.clear();
            r.contentType.clear();
            r.location.clear();
            c->headersDone = false;
            c->bodyWanted = false;
            return len;
        }
        if (trim(line).empty()) {
            if (r.status >= 200) {
                c->headersDone = true;
                c->bodyWanted = r.status < 300;
                if (c->bodyWanted) {
                    curl_off_t cl = -1;
                    curl_easy_getinfo(c->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &cl);
                    c->downBegun = true;
                    c->owner->progressBegin(cl > 0 ? cl : 0);
                    c->touch();
                }
            }
            return len;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos)
            return len;
        const std::string_view name = trim(line.substr(0, colon));
        const std::string_view value = trim(line.substr(colon + 1));
        if (iequals(name, "Content-Encoding")) {
            if (!r.contentEncoding.empty())
                r.contentEncoding += ", ";
            r.contentEncoding += value;
        } else if (iequals(name, "Content-Type")) {
            r.contentType = std::string(value);
        }
        return len;
    }

    static size_t onBody(char* data, size_t size, size_t nmemb, void* userp) {
        auto* c = static_cast<Client*>(userp);
        const size_t len = size * nmemb;
        c->touch();
        if (!c->bodyWanted)
            return len;
        if (c->owner->sendType != kSendGetStream &&
            c->received + static_cast<std::int64_t>(len) > kMaxTextReply)
            return 0; // an endless or enormous text reply: a failed transfer
        try {
            c->reply->body.append(data, len);
        } catch (...) {
            return 0; // out of memory: ends the transfer as a failure
        }
        c->received += static_cast<std::int64_t>(len);
        c->owner->progressWork(c->received);
        c->touch();
        return len;
    }

    static size_t onRead(char* buffer, size_t size, size_t nitems, void* userp) {
        auto* c = static_cast<Client*>(userp);
        c->touch();
        if (!c->upload)
            return 0;
        if (!c->upBegun) {
            c->upBegun = true;
            c->owner->progressBegin(c->uploadSize);
        }
        const size_t n = c->upload->read(buffer, size * nitems);
        c->sent += static_cast<std::int64_t>(n);
        if (n > 0)
            c->owner->progressWork(c->sent);
        if ((n == 0 || c->sent >= c->uploadSize) && !c->upEnded) {
            c->upEnded = true;
            c->owner->progressEnd();
        }
        c->touch();
        return n;
    }

    static int onSeek(void* userp, curl_off_t offset, int origin) {
        auto* c = static_cast<Client*>(userp);
        if (!c->upload || origin != SEEK_SET)
            return CURL_SEEKFUNC_CANTSEEK;
        if (c->upload->seek(offset, SeekOrigin::Begin) != offset)
            return CURL_SEEKFUNC_FAIL;
        c->sent = offset;
        return CURL_SEEKFUNC_OK;
    }

    static int onPrereq(void* userp, char*, char*, int, int) {
        auto* c = static_cast<Client*>(userp);
        c->connected = true;
        c->touch();
        return CURL_PREREQFUNC_OK;
    }

    // The read time-out: no data in either direction for the owner's time-out, once
    // connected, ends the transfer.
    static int onProgress(void* userp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto* c = static_cast<Client*>(userp);
        if (!c->connected)
            return 0;
        if (std::chrono::steady_clock::now() - c->lastActivity > c->owner->m_readTimeout)
            return 1;
        return 0;
    }

    // The request headers of the next exchange, in a fixed order. Throws for a Referer or
    // cookie text that could end its line: such a request is never sent, it fails.
    void buildHeaders(bool post) {
        if (!headerValueSafe(owner->refer) || !headerValueSafe(owner->cookies))
            throw std::invalid_argument("a line break in a header value");
        if (headerList) {
            curl_slist_free_all(headerList);
            headerList = nullptr;
        }
        std::vector<std::string> lines;
        if (!owner->refer.empty())
            lines.push_back("Referer: " + owner->refer);
        lines.push_back(std::string("User-Agent: ") + kUserAgent);
        lines.push_back("Connection: close");
        lines.push_back(std::string("Accept: ") + kAccept);
        lines.push_back("Accept-Language: zh-cn");
        lines.push_back("Accept-Encoding: gzip, deflate");
        lines.push_back("Cache-Control: no-cache");
        if (post && !requestContentType.empty())
            lines.push_back("Content-Type: " + requestContentType);
        // libcurl would add these by itself otherwise.
        lines.push_back("Expect:");
        if (!post)
            lines.push_back("Content-Type:");
        for (const auto& h : customHeaders)
            lines.push_back(h);
        for (const auto& l : lines) {
            curl_slist* next = curl_slist_append(headerList, l.c_str());
            if (!next)
                throw std::bad_alloc();
            headerList = next;
        }
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
    }

    // One exchange: GET, or POST of `body` (size bytes from its position).
    Reply perform(const std::string& u, Stream* body, std::int64_t size) {
        Reply r;
        reply = &r;
        headersDone = bodyWanted = downBegun = false;
        received = 0;
        upload = body;
        uploadSize = size;
        sent = 0;
        upBegun = upEnded = false;
        connected = false;
        errorBuffer[0] = 0;
        touch();

        buildHeaders(body != nullptr);
        curl_easy_setopt(easy, CURLOPT_URL, u.c_str());
        vx::http::useSystemProxy(easy, u);
        if (body) {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(size));
        } else {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        }
        r.code = curl_easy_perform(easy);
        if (upBegun && !upEnded) {
            upEnded = true;
            owner->progressEnd();
        }
        if (downBegun)
            owner->progressEnd();
        if (r.code != CURLE_OK) {
            r.error = errorBuffer[0] ? errorBuffer : curl_easy_strerror(r.code);
            if (r.code == CURLE_PEER_FAILED_VERIFICATION)
                certificateFailed = r.certificate = true;
        } else if (r.status >= 300 && r.status < 400) {
            char* loc = nullptr;
            if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &loc) == CURLE_OK && loc)
                r.location = loc;
            // From https to plain http the rest of the exchange, cookie and all, would travel
            // unprotected: such a redirect is never followed, and the transfer fails.
            if (isHttps(u) && !isHttps(r.location) && !r.location.empty()) {
                r.location.clear();
                r.error = "redirect from https to http refused";
            }
        }
        if (!r.ok())
            r.body.clear(); // an error reply's body is not content
        upload = nullptr;
        reply = nullptr;
        return r;
    }

    // A GET that follows redirects itself, up to kMaxRedirects of them.
    Reply get(std::string u) {
        for (int hops = 0;; ++hops) {
            Reply r = perform(u, nullptr, 0);
            if (r.code == CURLE_OK && r.status >= 300 && r.status < 400 && !r.location.empty() &&
                hops < kMaxRedirects) {
                u = r.location;
                continue;
            }
            return r;
        }
    }
};

// --- Construction -------------------------------------------------------------------------

THttpThread::THttpThread(std::string _url, std::string _refer, std::string _cookies,
                         std::string _index, const std::vector<std::string>* _postdata, int _type,
                         std::chrono::milliseconds readTimeout)
    : url(std::move(_url)), refer(std::move(_refer)), cookies(std::move(_cookies)),
      postdata1(_postdata), sendType(_type), m_readTimeout(readTimeout) {
    RtInfo.index = std::move(_index);
    PrepareRequest();
    start();
}

THttpThread::THttpThread(std::string _url, std::string _refer, std::string _cookies,
                         std::string _index, TMsMultiPartFormDataStream* _postdata, int _type,
                         std::chrono::milliseconds readTimeout)
    : url(std::move(_url)), refer(std::move(_refer)), cookies(std::move(_cookies)),
      postdata(_postdata), sendType(_type), m_readTimeout(readTimeout) {
    RtInfo.index = std::move(_index);
    PrepareRequest();
    start();
}

THttpThread::THttpThread(std::string _url, std::string _refer, std::string _cookies,
                         std::string _index, std::nullptr_t, int _type,
                         std::chrono::milliseconds readTimeout)
    : THttpThread(std::move(_url), std::move(_refer), std::move(_cookies), std::move(_index),
                  static_cast<const std::vector<std::string>*>(nullptr), _type, readTimeout) {}

THttpThread::~THttpThread() = default;

THttpThread::LiveToken::LiveToken() {
    g_live.fetch_add(1);
}
THttpThread::LiveToken::~LiveToken() {
    g_live.fetch_sub(1);
}

int THttpThread::liveCount() {
    return g_live.load();
}

void THttpThread::PrepareRequest() {
    globalInit();
    http = std::make_unique<Client>();
    http->owner = this;
    http->easy = curl_easy_init();

    if (sendType == kSendPost) {
        if (postdata) {
            http->requestContentType = postdata->FRequestContentType;
            postdata->PrepareStreamForDispatch();
            postdata->seek(0, SeekOrigin::Begin);
        } else if (postdata1) {
            http->requestContentType = "application/x-www-form-urlencoded";
        }
    }

    // The cookie text replaces any cookie header line: exactly one remains.
    if (!cookies.empty()) {
        auto& h = http->customHeaders;
        for (auto it = h.begin(); it != h.end(); ++it) {
            if (asciiLower(*it).find("cookie") != std::string::npos) {
                h.erase(it);
                break;
            }
        }
        h.push_back("cookie: " + cookies);
    }

    CURL* e = http->easy;
    if (!e)
        return; // Execute reports the failure as an empty reply
    curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &vx::http::openPrivateSocket);
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    // The proxy (docs/http.md, "Proxy") is chosen for each exchange, as redirects may change
    // the scheme.
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // Certificates are always verified; a cafile of config.xml adds to the system's.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!Trust.caFile.empty() && (http->extraCas = extraAuthorities(Trust.caFile)))
        vx::http::trustExtraCas(e, http->extraCas.get());
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, http->errorBuffer);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Client::onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, http.get());
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Client::onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, http.get());
    curl_easy_setopt(e, CURLOPT_READFUNCTION, &Client::onRead);
    curl_easy_setopt(e, CURLOPT_READDATA, http.get());
    curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &Client::onSeek);
    curl_easy_setopt(e, CURLOPT_SEEKDATA, http.get());
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &Client::onPrereq);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, http.get());
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Client::onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, http.get());
    // The reply's bytes are decoded by this worker, never by libcurl, so no
    // CURLOPT_ACCEPT_ENCODING; the Accept-Encoding header is set with the others.
    curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(e, CURLOPT_HTTP_TRANSFER_DECODING, 1L);
}

void THttpThread::start() {
    // The thread starts from the main thread's queue, after the constructing code has
    // assigned the handlers and returned to the event loop.
    mainThread().post([this] {
        noteHandlers();
        try {
            std::thread([this] { run(); }).detach();
        } catch (...) {
            // No thread could be started: finish here, still with exactly one FSendDone.
            RtInfo.cookie.clear();
            fire(&THttpThread::FSendDone);
            delete this;
        }
    });
}

void THttpThread::run() {
    Execute();
    delete this;
}

// --- The transfer -------------------------------------------------------------------------

void THttpThread::Execute() {
    try {
        if (!http->easy)
            throw std::runtime_error("no HTTP client");
        switch (sendType) {
        case kSendGetText:
            RtInfo.str = FetchText(url, "gb2312", 0);
            break;
        case kSendGetStream:
            RtInfo.stm = std::make_shared<TMemoryStream>();
            FetchStream(url, 0);
            break;
        case kSendPost:
            if (postdata)
                RtInfo.str = PostMultipart(url, *postdata, "gb2312");
            else if (postdata1)
                RtInfo.str = PostForm(url, *postdata1, "gb2312");
            break;
        default:
            break; // nothing is sent
        }
    } catch (...) {
        RtInfo.str.clear();
        RtInfo.bytes.clear();
        if (sendType == kSendGetStream)
            RtInfo.stm.reset();
    }
    RtInfo.cookie.clear();
    const bool failed = sendType == kSendGetStream ? !RtInfo.stm : RtInfo.str.empty();
    RtInfo.certificateFailed = failed && http && http->certificateFailed;
    if (RtInfo.certificateFailed) {
        try {
            mainThread().invoke([this] {
                std::function<void(const std::string&)> hook;
                {
                    std::lock_guard<std::mutex> hold(g_hookLock);
                    hook = g_certificateHook;
                }
                if (hook)
                    hook(url);
            });
        } catch (...) {
        }
    }
    fire(&THttpThread::FSendDone);
}

void THttpThread::setCertificateFailureHook(std::function<void(const std::string& url)> hook) {
    std::lock_guard<std::mutex> hold(g_hookLock);
    g_certificateHook = std::move(hook);
}

std::string THttpThread::FetchText(const std::string& u, const std::string& label, int restarts) {
    Reply r = http->get(u);
    if (r.ok()) {
        auto content = decodeContent(r.body, r.contentEncoding, static_cast<std::size_t>(kMaxTextReply));
        if (!content)
            return {}; // corrupt gzip: a failed transfer, not half a text
        if (FKeepBytes)
            RtInfo.bytes = *content;
        return decodeGetText(*content, label, m_isutf8);
    }
    if (r.unfollowedRedirect() && !r.location.empty() && restarts < kMaxRestarts) {
        refer = u;
        return FetchText(r.location, "gb2312", restarts + 1);
    }
    return {};
}

void THttpThread::FetchStream(const std::string& u, int restarts) {
    Reply r = http->get(u);
    if (r.ok()) {
        auto content = decodeContent(r.body, r.contentEncoding);
        if (!content) {
            RtInfo.stm.reset();
            return;
        }
        RtInfo.stm->write(*content);
        RtInfo.stm->seek(0, SeekOrigin::Begin);
        return;
    }
    if (r.unfollowedRedirect() && !r.location.empty() && restarts < kMaxRestarts) {
        refer = u;
        FetchStream(r.location, restarts + 1);
        return;
    }
    RtInfo.stm.reset();
}

std::string THttpThread::PostForm(const std::string& u, const std::vector<std::string>& list,
                                  const std::string& label) {
    std::string body;
    for (const auto& line : list) {
        if (!body.empty())
            body += '&';
        const auto eq = line.find('=');
        body += FormUrlEncode(std::string_view(line).substr(0, eq));
        if (eq != std::string::npos) {
            body += '=';
            body += FormUrlEncode(std::string_view(line).substr(eq + 1));
        }
    }
    TMemoryStream stream(std::move(body));
    return PostBody(u, stream, stream.size(), label);
}

std::string THttpThread::PostMultipart(const std::string& u, TMsMultiPartFormDataStream& body,
                                       const std::string& label) {
    body.seek(0, SeekOrigin::Begin);
    return PostBody(u, body, body.size(), label);
}

// Sends `size` bytes of `body` from its position; the reply text is decoded by the POST
// charset rules. A 307 or 308 asks for the same request elsewhere: the body is sent again,
// unchanged, to its Location (up to kMaxRedirects times, then the transfer fails), and the
// reply that lands is still a POST reply. Any other redirect is followed as a GET of a text.
std::string THttpThread::PostBody(const std::string& u, Stream& body, std::int64_t size,
                                  const std::string& label) {
    const std::int64_t start = body.position();
    std::string at = u;
    Reply r = http->perform(at, &body, size);
    for (int hops = 0; r.code == CURLE_OK && (r.status == 307 || r.status == 308) &&
                       !r.location.empty();
         ++hops) {
        if (hops >= kMaxRedirects || body.seek(start, SeekOrigin::Begin) != start)
            return {};
        at = r.location;
        r = http->perform(at, &body, size);
    }
    if (r.ok()) {
        auto content = decodeContent(r.body, r.contentEncoding, static_cast<std::size_t>(kMaxTextReply));
        if (!content)
            return {};
        return decodePostText(*content, contentTypeCharset(r.contentType), label, m_isutf8);
    }
    if (r.unfollowedRedirect() && r.status != 307 && r.status != 308 && !r.location.empty()) {
        refer = at;
        return FetchText(r.location, "gb2312", 1);
    }
    return {};
}

// --- Events -------------------------------------------------------------------------------

void THttpThread::noteHandlers() {
    m_wanted.store((FOnBegin ? 1u : 0u) | (FOnWork ? 2u : 0u) | (FOnEnd ? 4u : 0u));
}

void THttpThread::fire(TThreadDone THttpThread::*event) {
    unsigned bit = 0;
    if (event == &THttpThread::FOnBegin)
        bit = 1;
    else if (event == &THttpThread::FOnWork)
        bit = 2;
    else if (event == &THttpThread::FOnEnd)
        bit = 4;
    if (bit != 0 && !(m_wanted.load() & bit))
        return;
    try {
        mainThread().invoke([this, event] {
            // A copy, so that a handler may reassign its own event while it runs.
            TThreadDone handler = this->*event;
            if (!handler)
                return;
            if (!PRtInfo)
                PRtInfo = std::make_unique<TReturnInfo>();
            *PRtInfo = RtInfo;
            RtInfo_D = PRtInfo.get();
            try {
                handler(this, RtInfo_D);
            } catch (...) {
                // A handler's failure must not take the worker (or the loop) down.
            }
            noteHandlers();
        });
    } catch (...) {
    }
}

void THttpThread::progressBegin(std::int64_t expected) {
    RtInfo.count = static_cast<std::int32_t>(static_cast<std::uint32_t>(expected));
    fire(&THttpThread::FOnBegin);
}

void THttpThread::progressWork(std::int64_t soFar) {
    RtInfo.count = static_cast<std::int32_t>(static_cast<std::uint32_t>(soFar));
    fire(&THttpThread::FOnWork);
}

void THttpThread::progressEnd() {
    fire(&THttpThread::FOnEnd);
}

} // namespace vx
