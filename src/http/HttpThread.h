#pragma once
// The HTTP worker: one thread per request.
//
// Use (on the main thread):
//
//     auto* th = new vx::THttpThread(url, "", "", "0", body, vx::kSendPost);
//     th->FSendDone = [](vx::THttpThread*, vx::PReturnInfo info) { use(info->str); };
//     // optionally th->FOnBegin / FOnWork / FOnEnd
//     return; // back to the event loop
//
// The constructor configures the request and queues the thread's start on the main
// thread (vx::mainThread().post), so the transfer begins only once the main thread is
// back in its event loop: handlers assigned right after construction see every event,
// however fast the transfer is. Construct workers and assign their handlers on the main
// thread, and do not touch a worker after returning to the loop.
//
// Every event runs on the main thread; the worker waits while its handler runs. FSendDone
// fires exactly once, failure included, and the worker destroys itself right after it
// returns: the caller keeps no reference and never deletes a worker. A failed transfer
// (connection refused, time-out, HTTP error status, corrupt gzip, redirect loop, a CR, LF
// or NUL in the Referer or cookie text, which is never sent) is seen only as an empty `str`
// (or a null `stm` for send type 1); no exception leaves a worker.
//
// The multipart body or the form list passed in belongs to the caller and must stay alive
// until FSendDone; the worker closes a multipart body (PrepareStreamForDispatch) in its
// constructor and reads it on its own thread. A downloaded `stm` belongs to whoever keeps
// the shared pointer (normally the FSendDone handler).

#include "http/MemoryStream.h"
#include "http/MsMultiPartFormData.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vx {

// The result record, copied by value between a worker and its handlers.
struct TReturnInfo {
    std::string str;                    // reply text (send types 0 and 2); empty on failure
    std::string cookie;                 // always empty
    std::string index;                  // the caller's tag, returned unchanged
    std::shared_ptr<TMemoryStream> stm; // reply bytes of send type 1; null otherwise or on failure
    std::int32_t count = 0;             // low 32 bits of the last progress count
    // Send type 0 with FKeepBytes: the reply's bytes as served, after content decoding and
    // before any charset conversion (what a signature of the reply covers).
    std::string bytes;
    // A failed transfer whose server certificate did not verify (unknown authority, wrong
    // host name, expired): a status text can say so instead of a bare failure.
    bool certificateFailed = false;
};
using PReturnInfo = TReturnInfo*;

class THttpThread;
// Every event's handler: the worker and its record. The record is valid only during the
// call (copy what you need); `stm` may be kept by copying the shared pointer.
using TThreadDone = std::function<void(THttpThread* sender, PReturnInfo info)>;

// Send types.
enum : int {
    kSendGetText = 0,   // GET, reply decoded to text (str)
    kSendGetStream = 1, // GET, reply bytes kept (stm)
    kSendPost = 2,      // POST of the multipart body or the form list, reply as text
};

class THttpThread {
public:
    // No data for this long ends a transfer.
    static constexpr std::chrono::milliseconds kDefaultReadTimeout{30000};
    // Largest reply body of the text send types (0 and 2): a longer one fails like any other
    // transfer (empty str) instead of growing without end in memory and then stalling the
    // main thread's parse. The service's largest reply, a list of thousands of
    // applications, is a few MiB.
    static constexpr std::int64_t kMaxTextReply = 32LL << 20;
    // Redirects a GET follows by itself.
    static constexpr int kMaxRedirects = 10;
    // 3xx replies in a row that restart the request as a GET of their Location.
    static constexpr int kMaxRestarts = 5;
    // The User-Agent of every request (the browser view's too).
    static constexpr const char* kUserAgent = "%!!#)QWZRTYUIzxcvbp47mkL)ty6";

    // A worker whose POST body is a list of "name=value" lines, sent form-URL-encoded.
    // _postdata may be null; it is ignored for send types 0 and 1.
    THttpThread(std::string _url, std::string _refer, std::string _cookies, std::string _index,
                const std::vector<std::string>* _postdata, int _type,
                std::chrono::milliseconds readTimeout = kDefaultReadTimeout);
    // A worker whose POST body is a multipart body; it is closed here, on the caller's
    // thread. _postdata may be null; it is ignored for send types 0 and 1.
    THttpThread(std::string _url, std::string _refer, std::string _cookies, std::string _index,
                TMsMultiPartFormDataStream* _postdata, int _type,
                std::chrono::milliseconds readTimeout = kDefaultReadTimeout);
    // A worker without a body (GET).
    THttpThread(std::string _url, std::string _refer, std::string _cookies, std::string _index,
                std::nullptr_t, int _type,
                std::chrono::milliseconds readTimeout = kDefaultReadTimeout);

    THttpThread(const THttpThread&) = delete;
    THttpThread& operator=(const THttpThread&) = delete;

    // The transfer is over; fired exactly once.
    TThreadDone FSendDone;
    // A body transfer (request or reply) begins; count = its expected size (0 if unknown).
    TThreadDone FOnBegin;
    // Bytes moved; count = bytes so far of the current body.
    TThreadDone FOnWork;
    // A body transfer ended.
    TThreadDone FOnEnd;

    // Keep the reply's bytes in `bytes` as well (send type 0). Set before returning to the loop.
    bool FKeepBytes = false;

    // Called on the main thread, before FSendDone, for every transfer of any worker that
    // failed on the server's certificate, with the request URL (a status text for the user).
    static void setCertificateFailureHook(std::function<void(const std::string& url)> hook);

    // True when the reply text was decoded as UTF-8. Read it in a handler.
    bool isutf8() const { return m_isutf8; }
    // The request URL given to the constructor.
    const std::string& requestUrl() const { return url; }

    // Workers constructed and not yet destroyed, in the whole process (for orderly
    // shutdown and tests).
    static int liveCount();

private:
    struct Client;

    ~THttpThread();
    void PrepareRequest();
    void start();
    void run();
    void Execute();

    std::string FetchText(const std::string& u, const std::string& label, int restarts);
    void FetchStream(const std::string& u, int restarts);
    std::string PostForm(const std::string& u, const std::vector<std::string>& list,
                         const std::string& label);
    std::string PostMultipart(const std::string& u, TMsMultiPartFormDataStream& body,
                              const std::string& label);
    std::string PostBody(const std::string& u, Stream& body, std::int64_t size,
                         const std::string& label);

    void fire(TThreadDone THttpThread::*event);
    void noteHandlers();
    void progressBegin(std::int64_t expected);
    void progressWork(std::int64_t soFar);
    void progressEnd();

    // Counts this worker in liveCount() from its first member to its last.
    struct LiveToken {
        LiveToken();
        ~LiveToken();
        LiveToken(const LiveToken&) = delete;
        LiveToken& operator=(const LiveToken&) = delete;
    } m_liveToken;
    std::unique_ptr<Client> http;
    TReturnInfo RtInfo;
    std::unique_ptr<TReturnInfo> PRtInfo;
    std::string url;
    std::string refer;
    std::string cookies;
    TMsMultiPartFormDataStream* postdata = nullptr;
    const std::vector<std::string>* postdata1 = nullptr;
    int sendType = 0;
    bool m_isutf8 = false;
    PReturnInfo RtInfo_D = nullptr;
    std::chrono::milliseconds m_readTimeout;
    // Which progress handlers were assigned when the main thread last dealt with this
    // worker (bits 1, 2, 4: begin, work, end). Only the main thread assigns handlers, and
    // nobody else holds the worker, so the hand-over of an event found unassigned there
    // can be skipped.
    std::atomic<unsigned> m_wanted{0};
};

} // namespace vx
