#include "link/HelperLibraries.h"

#include "core/MainThread.h"
#include "core/Text.h"
#include "downloader/DownLoader.h"
#include "platform/Platform.h"
#include "tcpserver/TCPServer.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace vx {

namespace {

LinkMessageHandler g_linkHandler;
DownloadMessageHandler g_downloadHandler;

// The link messages handed to the main thread and not yet taken by it. A peer that sends
// faster than the main thread handles would otherwise grow this queue without end; when it
// is full the library's callback waits, so the link server reads nothing more and TCP
// pushes back on the senders. Nothing is dropped, except when the client is closing.
class LinkInbox {
public:
    // Waits for room (or for the release); false when released.
    bool admit(std::size_t bytes) {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [&] {
            return m_released || m_pending == 0 ||
                   (m_pending < kMaxMessages && m_bytes + bytes <= kMaxBytes);
        });
        if (m_released)
            return false;
        ++m_pending;
        m_bytes += bytes;
        return true;
    }
    void taken(std::size_t bytes) {
        {
            std::lock_guard lock(m_mutex);
            --m_pending;
            m_bytes -= bytes;
        }
        m_cv.notify_all();
    }
    // Lets every waiting and later callback return at once: the library waits for a running
    // callback when it stops, and the main thread that stops it no longer takes messages.
    void release(bool released) {
        {
            std::lock_guard lock(m_mutex);
            m_released = released;
        }
        m_cv.notify_all();
    }

    static constexpr std::size_t kMaxMessages = 1024;
    static constexpr std::size_t kMaxBytes = 4u * 1024 * 1024;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::size_t m_pending = 0;
    std::size_t m_bytes = 0;
    bool m_released = false;
};

LinkInbox g_linkInbox;

// The libraries call these on their own threads: copy the text, hand it to the main thread.
void TCPSERVER_CALL linkCallback(const char* text) {
    try {
        std::string copy = text ? text : "";
        const std::size_t size = copy.size() + 1;
        if (!g_linkInbox.admit(size))
            return;
        if (!postToMainThread([copy = std::move(copy), size] {
                g_linkInbox.taken(size);
                if (g_linkHandler)
                    g_linkHandler(copy);
            }))
            g_linkInbox.taken(size);
    } catch (...) {
        // Nothing may escape into the library.
    }
}

// Downloader calls started and not yet ended by their final message.
std::atomic<int> g_downloadsRunning{0};

bool isFinalMessage(const std::string& ansi) {
    static const std::string done = toAnsi("完成"), cancelled = toAnsi("已取消"),
                             paused = toAnsi("已暂停");
    return ansi == done || ansi == cancelled || ansi == paused || ansi.rfind("error:", 0) == 0;
}

void VXDL_CALL downloadCallback(int id, const char* text) {
    std::string copy = text ? text : "";
    bool final = false;
    try {
        final = isFinalMessage(copy);
        postToMainThread([id, copy = std::move(copy)] {
            if (g_downloadHandler)
                g_downloadHandler(id, copy);
        });
    } catch (...) {
    }
    // Counted down once the message is queued: whoever sees the count reach zero finds every
    // message of the ended calls on the main thread's queue.
    if (final)
        g_downloadsRunning.fetch_sub(1);
}

// Hands a call to the downloader: it counts as running until its final message. A call the
// library refuses, or one with no entry to take it, ends at once with an "error:" message, or
// the operation waiting for it (and every later install) would wait for ever.
template <typename Start>
void handOver(int appId, bool present, Start start) {
    g_downloadsRunning.fetch_add(1);
    if (present && start() == 0)
        return;
    const std::string why = toAnsi(present ? "下载器无法启动" : "下载器不可用");
    downloadCallback(appId, why.c_str());
    downloadCallback(appId, ("error:" + why).c_str());
}

// Declared here rather than taken from the library's header: older libraries lack it.
using CancelDownProc = int(VXDL_CALL*)(int appId);
using CleanLeftoversProc = int(VXDL_CALL*)(const char* folder);
using DownFileSha256Proc = int(VXDL_CALL*)(const char* urls, const char* paths, const char* folder,
                                           const char* sha256s, int attempts, int appId,
                                           DownloadNotify notify);
using TrustCaFileProc = int(VXDL_CALL*)(const char* pemPath);
using PauseDownProc = int(VXDL_CALL*)(int appId);
using DiscardPartialsProc = int(VXDL_CALL*)(const char* paths);
using SetRateLimitProc = int(VXDL_CALL*)(int bytesPerSecond);
using SetConnectionsProc = int(VXDL_CALL*)(int connections);
using DownFilePatchedProc = int(VXDL_CALL*)(const char* urls, const char* paths, const char* folder,
                                            const char* sha256s, const char* patches, int attempts,
                                            int appId, DownloadNotify notify);

template <typename Fn>
Fn entry(const platform::DynamicLibrary* lib, const char* name) {
    return lib ? reinterpret_cast<Fn>(lib->symbol(name)) : nullptr;
}

} // namespace

void setLinkMessageHandler(LinkMessageHandler handler) { g_linkHandler = std::move(handler); }
void setDownloadMessageHandler(DownloadMessageHandler handler) {
    g_downloadHandler = std::move(handler);
}

struct HelperLibraries::Impl {
    std::unique_ptr<platform::DynamicLibrary> link;
    std::unique_ptr<platform::DynamicLibrary> down;
    StartServerProc startServer = nullptr;
    DisconnectAllProc disconnectAll = nullptr;
    CloseAllProc closeAll = nullptr;
    SetUidProc setUid = nullptr;
    SendToAppProc sendToApp = nullptr;
    decltype(&::DownFile) downFile = nullptr;
    CancelDownProc cancelDown = nullptr;
    CleanLeftoversProc cleanLeftovers = nullptr;
    DownFileSha256Proc downFileSha256 = nullptr;
    TrustCaFileProc trustCaFile = nullptr;
    DownFileSha256Proc downFileResumable = nullptr;
    PauseDownProc pauseDown = nullptr;
    DiscardPartialsProc discardPartials = nullptr;
    SetRateLimitProc setRateLimit = nullptr;
    SetConnectionsProc setConnections = nullptr;
    DownFilePatchedProc downFilePatched = nullptr;
};

HelperLibraries::HelperLibraries() : m_impl(std::make_unique<Impl>()) {}

HelperLibraries::~HelperLibraries() = default;

Status HelperLibraries::bindLinkServer(const std::string& folder) {
    auto lib = platform::loadLibrary(joinPath(folder, platform::sharedLibraryFileName("TCPServer")));
    if (!lib)
        return Error{lib.error()};
    m_impl->link = std::move(lib).value();
    m_impl->startServer = entry<StartServerProc>(m_impl->link.get(), "StartServer");
    m_impl->disconnectAll = entry<DisconnectAllProc>(m_impl->link.get(), "DisconnectAll");
    m_impl->closeAll = entry<CloseAllProc>(m_impl->link.get(), "CloseAll");
    m_impl->setUid = entry<SetUidProc>(m_impl->link.get(), "SetUid");
    m_impl->sendToApp = entry<SendToAppProc>(m_impl->link.get(), "sendToApp");
    if (!m_impl->startServer)
        return Error{"the link server library has no StartServer"};
    return {};
}

Status HelperLibraries::bindDownloader(const std::string& folder) {
    auto lib =
        platform::loadLibrary(joinPath(folder, platform::sharedLibraryFileName("DownLoader")));
    if (!lib)
        return Error{lib.error()};
    m_impl->down = std::move(lib).value();
    m_impl->downFile = entry<decltype(&::DownFile)>(m_impl->down.get(), "DownFile");
    m_impl->cancelDown = entry<CancelDownProc>(m_impl->down.get(), "CancelDown");
    m_impl->cleanLeftovers = entry<CleanLeftoversProc>(m_impl->down.get(), "CleanLeftovers");
    m_impl->downFileSha256 = entry<DownFileSha256Proc>(m_impl->down.get(), "DownFileSha256");
    m_impl->trustCaFile = entry<TrustCaFileProc>(m_impl->down.get(), "DownLoaderTrustCaFile");
    // Pausing means something only with partial files to continue: both or neither.
    m_impl->downFileResumable =
        entry<DownFileSha256Proc>(m_impl->down.get(), "DownFileResumable");
    m_impl->pauseDown = entry<PauseDownProc>(m_impl->down.get(), "PauseDown");
    if (!m_impl->downFileResumable || !m_impl->pauseDown)
        m_impl->downFileResumable = nullptr, m_impl->pauseDown = nullptr;
    m_impl->discardPartials = entry<DiscardPartialsProc>(m_impl->down.get(), "DiscardPartials");
    m_impl->setRateLimit = entry<SetRateLimitProc>(m_impl->down.get(), "DownLoaderSetRateLimit");
    m_impl->setConnections = entry<SetConnectionsProc>(m_impl->down.get(), "DownLoaderSetConnections");
    // A patched download is a resumable one: without that, none.
    m_impl->downFilePatched = m_impl->downFileResumable
                                  ? entry<DownFilePatchedProc>(m_impl->down.get(), "DownFilePatched")
                                  : nullptr;
    if (!m_impl->downFile)
        return Error{"the downloader library has no DownFile"};
    return {};
}

bool HelperLibraries::StartServer(const std::string& address, const std::string& port) {
    g_linkInbox.release(false);
    return m_impl->startServer &&
           m_impl->startServer(address.c_str(), port.c_str(), &linkCallback) == TCPSERVER_OK;
}

void HelperLibraries::DisconnectAllAndUnload() {
    g_linkInbox.release(true);
    if (m_impl->disconnectAll)
        m_impl->disconnectAll();
    m_impl->startServer = nullptr;
    m_impl->disconnectAll = nullptr;
    m_impl->closeAll = nullptr;
    m_impl->setUid = nullptr;
    m_impl->sendToApp = nullptr;
    m_impl->link.reset();
}

void HelperLibraries::CloseAll() {
    if (m_impl->closeAll)
        m_impl->closeAll();
}

void HelperLibraries::SetUid(const std::string& uidAnsi) {
    if (m_impl->setUid)
        m_impl->setUid(uidAnsi.c_str());
}

void HelperLibraries::sendToApp(const std::string& messageAnsi) {
    if (m_impl->sendToApp)
        m_impl->sendToApp(messageAnsi.c_str());
}

void HelperLibraries::DownFile(const std::string& urlsAnsi, const std::string& pathsAnsi,
                               const std::string& folderAnsi, int attempts, int appId) {
    handOver(appId, m_impl->downFile != nullptr, [&] {
        return m_impl->downFile(urlsAnsi.c_str(), pathsAnsi.c_str(), folderAnsi.c_str(), attempts,
                                appId, &downloadCallback);
    });
}

void HelperLibraries::DownFileSha256(const std::string& urlsAnsi, const std::string& pathsAnsi,
                                     const std::string& folderAnsi, const std::string& sha256s,
                                     int attempts, int appId) {
    handOver(appId, m_impl->downFileSha256 != nullptr, [&] {
        return m_impl->downFileSha256(urlsAnsi.c_str(), pathsAnsi.c_str(), folderAnsi.c_str(),
                                      sha256s.c_str(), attempts, appId, &downloadCallback);
    });
}

bool HelperLibraries::canCheckSha256() const { return m_impl->downFileSha256 != nullptr; }

void HelperLibraries::DownFileResumable(const std::string& urlsAnsi, const std::string& pathsAnsi,
                                        const std::string& folderAnsi,
                                        const std::string& sha256s, int attempts, int appId) {
    if (!m_impl->downFileResumable)
        return DownFileSha256(urlsAnsi, pathsAnsi, folderAnsi, sha256s, attempts, appId);
    handOver(appId, true, [&] {
        return m_impl->downFileResumable(urlsAnsi.c_str(), pathsAnsi.c_str(), folderAnsi.c_str(),
                                         sha256s.c_str(), attempts, appId, &downloadCallback);
    });
}

bool HelperLibraries::canResume() const { return m_impl->downFileResumable != nullptr; }

bool HelperLibraries::PauseDown(int appId) {
    return m_impl->pauseDown && m_impl->pauseDown(appId) == 0;
}

void HelperLibraries::DiscardPartials(const std::string& pathsAnsi) {
    if (m_impl->discardPartials)
        (void)m_impl->discardPartials(pathsAnsi.c_str());
}

bool HelperLibraries::SetRateLimit(int bytesPerSecond) {
    return m_impl->setRateLimit && m_impl->setRateLimit(bytesPerSecond) == 0;
}

void HelperLibraries::DownFilePatched(const std::string& urlsAnsi, const std::string& pathsAnsi,
                                      const std::string& folderAnsi, const std::string& sha256s,
                                      const std::string& patches, int attempts, int appId) {
    if (!m_impl->downFilePatched)
        return DownFileResumable(urlsAnsi, pathsAnsi, folderAnsi, sha256s, attempts, appId);
    handOver(appId, true, [&] {
        return m_impl->downFilePatched(urlsAnsi.c_str(), pathsAnsi.c_str(), folderAnsi.c_str(),
                                       sha256s.c_str(), patches.c_str(), attempts, appId,
                                       &downloadCallback);
    });
}

bool HelperLibraries::canPatch() const { return m_impl->downFilePatched != nullptr; }

bool HelperLibraries::setConnections(int connections) {
    return m_impl->setConnections && m_impl->setConnections(connections) == 0;
}

bool HelperLibraries::trustCaFile(const std::string& pemPathAnsi) {
    return m_impl->trustCaFile && m_impl->trustCaFile(pemPathAnsi.c_str()) == 0;
}

bool HelperLibraries::CleanLeftovers(const std::string& folderAnsi) {
    return m_impl->cleanLeftovers && m_impl->cleanLeftovers(folderAnsi.c_str()) == 0;
}

bool HelperLibraries::CancelDown(int appId) {
    return m_impl->cancelDown && m_impl->cancelDown(appId) == 0;
}

int HelperLibraries::downloadsRunning() { return g_downloadsRunning.load(); }

bool HelperLibraries::canCancelDown() const { return m_impl->cancelDown != nullptr; }

} // namespace vx
