#pragma once
// The two helper libraries as the client uses them: the link server (libTCPServer) and the
// downloader (libDownLoader). The interfaces take texts in the ANSI code page exactly as
// they cross the libraries' C boundary; tests fake them.
//
// HelperLibraries binds the real ones from the client's folder at run time. Their callbacks
// arrive on the libraries' own threads; the binding copies each text and posts it to the
// main thread (vx::mainThread()), where the handlers set below run, in order.

#include <functional>
#include <memory>
#include <string>

#include "core/Expected.h"

namespace vx {

class ILinkServer {
public:
    virtual ~ILinkServer() = default;
    virtual void CloseAll() = 0;
    virtual void SetUid(const std::string& uidAnsi) = 0;
    virtual void sendToApp(const std::string& messageAnsi) = 0;
};

class IDownloader {
public:
    virtual ~IDownloader() = default;
    // urls and paths: one item each, or several each followed by CR LF; folder: the package
    // folder or empty. Progress and the outcome arrive through the download handler.
    virtual void DownFile(const std::string& urlsAnsi, const std::string& pathsAnsi,
                          const std::string& folderAnsi, int attempts, int appId) = 0;
    // Stops the running download of appId; its handler then gets one final "已取消". False
    // when nothing of that id runs any more (its "完成" or "error:" is on its way).
    virtual bool CancelDown(int appId) = 0;
    // False when this downloader has no way to stop a download.
    virtual bool canCancelDown() const { return true; }
    // DownFile with each file's expected SHA-256 checked before anything is placed: one item
    // per address in the same CR LF form, 64 hex digits or empty (not checked). Only called
    // when canCheckSha256(); a downloader without the check must never be handed digests
    // it would ignore.
    virtual void DownFileSha256(const std::string& urlsAnsi, const std::string& pathsAnsi,
                                const std::string& folderAnsi, const std::string& sha256s,
                                int attempts, int appId) {
        (void)urlsAnsi, (void)pathsAnsi, (void)folderAnsi, (void)sha256s, (void)attempts,
            (void)appId;
    }
    virtual bool canCheckSha256() const { return false; }
    // Undoes and removes what a crash left in `folder` and below it (half-placed sets,
    // stages, temporary files); any thread, it may take a while. False when this
    // downloader cannot.
    virtual bool CleanLeftovers(const std::string& folderAnsi) {
        (void)folderAnsi;
        return false;
    }
    // DownFileSha256 whose partial downloads survive a pause or a kill and are continued by
    // the next such call for the same targets. Only called when canResume().
    virtual void DownFileResumable(const std::string& urlsAnsi, const std::string& pathsAnsi,
                                   const std::string& folderAnsi, const std::string& sha256s,
                                   int attempts, int appId) {
        DownFileSha256(urlsAnsi, pathsAnsi, folderAnsi, sha256s, attempts, appId);
    }
    virtual bool canResume() const { return false; }
    // Stops the running download of appId keeping its partial files; its handler then gets
    // one final "已暂停". False when nothing of that id runs or its outcome is decided.
    virtual bool PauseDown(int appId) {
        (void)appId;
        return false;
    }
    // Removes the kept partial downloads of the given targets (CR LF list).
    virtual void DiscardPartials(const std::string& pathsAnsi) { (void)pathsAnsi; }
    // The limit of all transfers together, bytes per second (0: none). False when this
    // downloader cannot limit.
    virtual bool SetRateLimit(int bytesPerSecond) {
        (void)bytesPerSecond;
        return false;
    }
    // DownFileResumable where a file may come from a binary patch against the installed
    // file: one item per address, "FROM|URL|SHA256" or empty. Only called when canPatch().
    virtual void DownFilePatched(const std::string& urlsAnsi, const std::string& pathsAnsi,
                                 const std::string& folderAnsi, const std::string& sha256s,
                                 const std::string& patches, int attempts, int appId) {
        (void)patches;
        DownFileResumable(urlsAnsi, pathsAnsi, folderAnsi, sha256s, attempts, appId);
    }
    virtual bool canPatch() const { return false; }
    // The number of files a download fetches at once (1 to 16), for downloads started
    // afterwards. False when this downloader cannot, or refuses the number.
    virtual bool setConnections(int connections) {
        (void)connections;
        return false;
    }
};

// Handlers of the libraries' callbacks, run on the main thread with the library's text.
using LinkMessageHandler = std::function<void(const std::string& textAnsi)>;
using DownloadMessageHandler = std::function<void(int appId, const std::string& textAnsi)>;
void setLinkMessageHandler(LinkMessageHandler handler);
void setDownloadMessageHandler(DownloadMessageHandler handler);

class HelperLibraries : public ILinkServer, public IDownloader {
public:
    HelperLibraries();
    ~HelperLibraries() override;

    // Loads the link server library from `folder` and looks up its entries. The error names
    // what is missing. StartServer is required; the other entries are looked up and a missing
    // one makes its call do nothing.
    Status bindLinkServer(const std::string& folder);
    // Loads the downloader library from `folder`; a missing library or entry makes DownFile
    // report the failure through the download handler instead.
    Status bindDownloader(const std::string& folder);

    // Starts the link server with the client's callback.
    bool StartServer(const std::string& address, const std::string& port);
    // Stops the link server (if bound) and unloads it.
    void DisconnectAllAndUnload();

    void CloseAll() override;
    void SetUid(const std::string& uidAnsi) override;
    void sendToApp(const std::string& messageAnsi) override;
    void DownFile(const std::string& urlsAnsi, const std::string& pathsAnsi,
                  const std::string& folderAnsi, int attempts, int appId) override;
    // Undoes and removes what a crash left in `folder` through the downloader's optional
    // CleanLeftovers entry (any thread; it may take a while). False without the entry.
    bool CleanLeftovers(const std::string& folderAnsi) override;
    // The downloader's CancelDown entry is optional (older libraries have none).
    bool CancelDown(int appId) override;
    bool canCancelDown() const override;
    // Downloader calls of this process that have not yet sent their final message ("完成",
    // "error:…", "已取消", "已暂停"); once it is 0, every message of theirs is queued.
    static int downloadsRunning();
    // The downloader's optional DownFileSha256 entry.
    void DownFileSha256(const std::string& urlsAnsi, const std::string& pathsAnsi,
                        const std::string& folderAnsi, const std::string& sha256s, int attempts,
                        int appId) override;
    bool canCheckSha256() const override;
    // The downloader's optional DownFileResumable, PauseDown, DiscardPartials and
    // DownLoaderSetRateLimit entries.
    void DownFileResumable(const std::string& urlsAnsi, const std::string& pathsAnsi,
                           const std::string& folderAnsi, const std::string& sha256s,
                           int attempts, int appId) override;
    bool canResume() const override;
    bool PauseDown(int appId) override;
    void DiscardPartials(const std::string& pathsAnsi) override;
    bool SetRateLimit(int bytesPerSecond) override;
    // The downloader's optional DownFilePatched and DownLoaderSetConnections entries.
    void DownFilePatched(const std::string& urlsAnsi, const std::string& pathsAnsi,
                         const std::string& folderAnsi, const std::string& sha256s,
                         const std::string& patches, int attempts, int appId) override;
    bool canPatch() const override;
    // config.xml's <connections>; the library keeps its default (4) without a call.
    bool setConnections(int connections) override;
    // Hands the downloader config.xml's extra certificate authorities (its optional
    // DownLoaderTrustCaFile entry). False without the entry or when the file is refused.
    bool trustCaFile(const std::string& pemPathAnsi);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace vx
