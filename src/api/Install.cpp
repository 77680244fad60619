// The page API: installs and updates of applications, the downloader's messages.

#include "api/UJsExterned.h"
#include "core/Log.h"

#include <algorithm>

#include "api/ApiSupport.h"
#include "api/PageCalls.h"
#include "api/PageHost.h"
#include "core/Background.h"
#include "core/Digests.h"
#include "core/MainThread.h"
#include "http/HttpThread.h"
#include "link/HelperLibraries.h"
#include "platform/Platform.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace vx {

using namespace api;

namespace {
// The downloader's status text when an undo could not put every old file back.
constexpr std::string_view kUndoFailedPrefix = "无法恢复旧文件";

// What a finished download placed, for the log: the sizes of its files, or of a package's
// entries as its list records them.
std::filesystem::path fsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

unsigned long long placedBytes(const std::vector<std::string>& targetsAnsi) {
    unsigned long long bytes = 0;
    for (const auto& t : targetsAnsi) {
        const std::string path = fromAnsi(t);
        std::error_code ec;
        if (const auto size = std::filesystem::file_size(fsPath(path), ec); !ec) {
            bytes += size;
            continue;
        }
        std::ifstream entries(fsPath(path + ".entries"));
        std::string crc;
        unsigned long long size = 0;
        for (std::string line; std::getline(entries, line);)
            if (std::istringstream(line) >> crc >> size)
                bytes += size;
    }
    return bytes;
}
} // namespace

// --- Install and update ------------------------------------------------------------------------

std::string TVX_JS::_InstallApp(const std::string& _appid) {
    if (installBusy || m_queue.pending())
        return std::string(texts::kBusy);
    TMyApp* app = findAppByText(_appid);
    if (!app)
        return std::string(texts::kInstallFailed);
    app->DownStatu = texts::kInstalling;
    _DownApp(app);
    return std::string(texts::kInstalling);
}

std::string TVX_JS::_UpdateApp(const std::string& _appid) {
    if (installBusy || m_queue.pending())
        return std::string(texts::kBusy);
    TMyApp* app = findAppByText(_appid);
    if (!app)
        return std::string(texts::kUpdateFailed);
    _CheckAPPVer(app);
    app->DownStatu = texts::kUpdating;
    return std::string(texts::kUpdating);
}

void TVX_JS::_DownApp(TMyApp* info) { requestDescriptor(info, &TVX_JS::onInstallDescriptor); }

void TVX_JS::_CheckAPPVer(TMyApp* info) { requestDescriptor(info, &TVX_JS::onUpdateDescriptor); }

void TVX_JS::requestDescriptor(TMyApp* info, DescriptorStep step) {
    if (!info)
        return;
    beginAppOperation(info->appID);
    m_operation.appDir = info->appDir;
    m_operation.verFile = info->VerFile;
    m_operation.verUrl = info->VerUrl;
    m_operation.dirUrl = info->DirUrl;
    const std::string index = std::to_string(info->appID);
    const bool install = step == &TVX_JS::onInstallDescriptor;
    log::write("operation", "id=" + index + " descriptor " + info->VerUrl);
    fetchDescriptor(info->VerUrl, index,
                    [this, step, index, install, serial = m_operation.serial](
                        const std::string& text, const std::string& refusal) {
        if (!isCurrent(serial))
            return; // cancelled while the descriptor was on its way
        if (!refusal.empty()) {
            ShowStatus(refusal);
            return failOperation(index, install ? texts::kInstallFailed : texts::kUpdateFailed);
        }
        (this->*step)(index, text);
    });
}

TMyApp* TVX_JS::operationApp(const std::string& index) {
    TMyApp* app = findAppByText(index);
    if (!app || app->appID != m_operation.appId || app->appDir != m_operation.appDir ||
        app->VerFile != m_operation.verFile || app->VerUrl != m_operation.verUrl ||
        app->DirUrl != m_operation.dirUrl)
        return nullptr;
    return app;
}

void TVX_JS::beginAppOperation(int32_t appId) {
    installBusy = true;
    m_operation.running = true;
    m_operation.downloading = false;
    m_operation.cancelling = false;
    m_operation.appId = appId;
    m_operation.queued = m_beginningQueued;
    m_operation.pausing = false;
    m_operation.requeue = false;
    m_operation.queueUid = m_queue.user();
    m_operation.targets.clear();
    m_operation.began = std::chrono::steady_clock::now();
    ++m_operation.serial;
    log::write("operation", "begin id=" + std::to_string(appId) + (m_operation.queued ? " (queued)" : ""));
}

void TVX_JS::failOperation(const std::string& index, std::string_view state) {
    std::string_view shown = texts::kInstallFailed;
    log::write("operation", "end id=" + index + " failed (" + std::string(state) + ") after " +
                                std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                   std::chrono::steady_clock::now() - m_operation.began)
                                                   .count()) + " ms");
    if (TMyApp* app = findAppByText(index)) {
        if (app->DownStatu == texts::kRepairing)
            state = shown = texts::kRepairFailed;
        app->DownStatu = state;
    }
    pageCall(page::ST_setFlatDivAnlv(index, shown));
    endAppOperation();
}

void TVX_JS::endAppOperation() {
    // An operation of the queue leaves it (a stopped one was moved already), and the next
    // one begins once the caller is done.
    if (m_operation.queued)
        m_queue.finish(m_operation.queueUid);
    m_operation.queued = false;
    mainThread().post([this, alive = std::weak_ptr<int>(m_alive)] {
        if (alive.lock())
            startNextQueued();
    });
    m_operation.running = false;
    m_operation.downloading = false;
    m_operation.cancelling = false;
    // A client check started beside this operation still runs: the hold passes to it.
    if (m_clientCheck == ClientCheck::Beside)
        m_clientCheck = ClientCheck::Owner;
    else
        installBusy = false;
    // Its restart waited for this operation: it comes once the caller is done.
    if (m_clientRestartPending) {
        m_clientRestartPending = false;
        mainThread().post([this] {
            ShowMsg(std::string(texts::kClientDownloaded));
            UpdateMain();
        });
    }
}

void TVX_JS::endClientCheck() {
    if (m_clientCheck == ClientCheck::Owner)
        installBusy = false;
    m_clientCheck = ClientCheck::None;
}

void TVX_JS::onInstallDescriptor(const std::string& index, const std::string& reply) {
    if (reply.empty() || !icontains(reply, "<zipFile>"))
        return failOperation(index, texts::kInstallFailed);
    pugi::xml_document doc;
    if (!xml::parse(doc, reply))
        return failOperation(index, texts::kInstallFailed);
    const std::string zip = xml::elementText(doc.document_element(), "zipFile");
    TMyApp* app = operationApp(index);
    if (!app)
        return failOperation(index, texts::kInstallFailed);
    const std::string local = localPathBelow(app->appDir, "{app}", zip);
    if (zip.empty() || local.empty())
        return failOperation(index, texts::kInstallFailed);
    const std::string sha256 = xml::elementText(doc.document_element(), "zipSHA256");
    const std::string version = xml::elementText(doc.document_element(), "version");
    std::string why = ownerRefusal(doc.document_element(), app->appID, app->VerFile, app->VerUrl);
    if (why.empty())
        why = digestRefusal(sha256, app->VerUrl);
    if (why.empty())
        why = rollbackRefusal(version, app->VerFile, app->VerUrl, index);
    if (!why.empty()) {
        ShowStatus(why);
        return failOperation(index, texts::kInstallFailed);
    }
    // The package and what it unpacks to (its stage) before anything is fetched; the
    // downloader checks again with the package's own figures before unpacking.
    unsigned long long unpacked = 0;
    if (const std::string size = xml::elementText(doc.document_element(), "size");
        !size.empty() && size.size() < 19 && size.find_first_not_of("0123456789") == std::string::npos)
        unpacked = std::stoull(size);
    if (std::string why = spaceRefusal(app->appDir, 2 * unpacked); !why.empty()) {
        ShowStatus(why);
        return failOperation(index, texts::kInstallFailed);
    }
    recordAccepted(index, version);
    if (!platform::dirExists(app->appDir))
        platform::createDir(app->appDir.substr(0, app->appDir.size() - 1));
    m_operation.downloading = true;
    if (std::string why = startDownload(toAnsi(app->DirUrl + zip), toAnsi(local),
                                        toAnsi(app->appDir), {sha256}, app->appID);
        !why.empty()) {
        ShowStatus(why);
        return failOperation(index, texts::kInstallFailed);
    }
}

void TVX_JS::onUpdateDescriptor(const std::string& index, const std::string& reply) {
    if (reply.empty() || !icontains(reply, "<zipFile>"))
        return failOperation(index, texts::kUpdateFailed);
    auto doc = std::make_shared<pugi::xml_document>();
    if (!xml::parse(*doc, reply))
        return failOperation(index, texts::kUpdateFailed);
    pugi::xml_node files = xml::findElement(doc->document_element(), "updateFile");
    TMyApp* app = operationApp(index);
    const int32_t id = app ? app->appID : 0;
    if (!files || !app)
        return failOperation(index, texts::kUpdateFailed);
    // The installed files' digests are read on worker threads (an application may hold
    // gigabytes); the operation goes on here when they are known.
    auto entries = std::make_shared<std::vector<UpdateEntry>>(
        listEntries(files, app->DirUrl, app->appDir));
    const std::string version = xml::elementText(doc->document_element(), "version");
    std::string why = ownerRefusal(doc->document_element(), id, app->VerFile, app->VerUrl);
    if (why.empty())
        why = digestRefusal(*entries, app->VerUrl);
    if (why.empty())
        why = rollbackRefusal(version, app->VerFile, app->VerUrl, index);
    if (!why.empty()) {
        ShowStatus(why);
        return failOperation(index, texts::kUpdateFailed);
    }
    recordAccepted(index, version);
    // Each file is compared by the digest its entry gives: SHA-256 when listed, else MD5.
    std::vector<DigestRequest> paths;
    for (const auto& e : *entries)
        paths.push_back({e.local, e.sha256.empty() ? DigestKind::Md5 : DigestKind::Sha256});
    auto compare = [this, index, id, doc, entries,
                    serial = m_operation.serial](std::vector<Digest> digests) {
        if (!isCurrent(serial))
            return; // cancelled while the digests were computed
        TMyApp* app = operationApp(index);
        if (!app)
            return failOperation(index, texts::kUpdateFailed);
        // An unreadable local file counts as changed.
        const DownloadList list = collectDownloads(
            *entries, [&](std::size_t i) { return digests[i] && sameDigest((*entries)[i], *digests[i]); },
            [&](std::size_t i) { return (*entries)[i].sha256.empty() ? std::nullopt : digests[i]; });
        app->update = false;
        if (list.urls.empty()) {
            // Every file is already current: the installed descriptor becomes the new one.
            ++m_filesGeneration;
            (void)xml::save(*doc, app->VerFile);
            return failOperation(index, texts::kUpdateFailed);
        }
        unsigned long long needed = 0;
        for (std::size_t i = 0; i < entries->size(); ++i)
            if (!(digests[i] && sameDigest((*entries)[i], *digests[i])))
                needed += (*entries)[i].size;
        if (std::string why = spaceRefusal(app->appDir, needed); !why.empty()) {
            ShowStatus(why);
            return failOperation(index, texts::kUpdateFailed);
        }
        // The new descriptor replaces the installed one once its files are in place, so that
        // a failed download keeps offering the update.
        m_operation.downloading = true;
        // A changed file whose entry offers a patch from the installed one comes from the
        // patch where the downloader can (it falls back to the whole file by itself); the
        // rest goes as any download of the operation.
        const bool anyPatch = std::any_of(list.patches.begin(), list.patches.end(),
                                          [](const std::string& p) { return !p.empty(); });
        if (anyPatch && m_downloader.canPatch() && m_operation.running && m_operation.appId == app->appID) {
            m_operation.targets = splitLines(toAnsi(joinLines(list.paths)));
            log::write("operation", "id=" + index + " update of " + std::to_string(list.urls.size()) +
                                        " file(s), " +
                                        std::to_string(std::count_if(list.patches.begin(), list.patches.end(),
                                                                     [](const std::string& p) { return !p.empty(); })) +
                                        " by patch where the installed file is the one it patches");
            m_downloader.DownFilePatched(toAnsi(joinLines(list.urls)), toAnsi(joinLines(list.paths)), "",
                                         joinLines(list.sha256s), toAnsi(joinLines(list.patches)), 5,
                                         app->appID);
        } else if (std::string why = startDownload(toAnsi(joinLines(list.urls)),
                                            toAnsi(joinLines(list.paths)), "", list.sha256s,
                                            app->appID);
            !why.empty()) {
            ShowStatus(why);
            return failOperation(index, texts::kUpdateFailed);
        }
        m_pendingDescriptors[app->appID] = xml::serialize(*doc);
    };
    // An update that a kill cut short is undone first: digests of its half-placed set would
    // skip the files it had already replaced, which its recovery puts back afterwards.
    runInBackground(
        [downloader = &m_downloader, folder = toAnsi(app->appDir)] {
            return downloader->CleanLeftovers(folder);
        },
        [this, paths = std::move(paths), cache = app->appDir + std::string(kDigestCacheName),
         compare = std::move(compare), serial = m_operation.serial](bool) mutable {
            if (isCurrent(serial))
                computeDigests(std::move(paths), cache, std::move(compare));
        });
}

void TVX_JS::DownloadNotify(int32_t id, const std::string& textAnsi) {
    const std::string text = fromAnsi(textAnsi);
    if (!startsWithNoCase(text, "process:"))
        log::write("downloader", "id=" + std::to_string(id) + " " + text);
    if (text == texts::kPaused) {
        // The final message of a download stopped by PauseDown: its partial files are kept.
        if (m_operation.running && m_operation.pausing && m_operation.appId == id)
            endStopped();
        return;
    }
    if (auto cancelled = m_cancelledDownloads.find(id); cancelled != m_cancelledDownloads.end()) {
        // The rest of a download stopped by _CancelInstall. Only its final message matters:
        // the library has undone its files then, so the operation ends and the statuses are
        // read now.
        if (text == texts::kCancelled && --cancelled->second == 0) {
            m_cancelledDownloads.erase(cancelled);
            if (m_operation.running && m_operation.cancelling && m_operation.appId == id) {
                ++m_filesGeneration;
                endAppOperation();
                _RefreshApp();
            }
        } else if (text.rfind(kUndoFailedPrefix, 0) == 0) {
            ShowStatus(text); // the old files wait in the stage for the next start
        }
        return;
    }
    if (!startsWithNoCase(text, "process:"))
        ++m_filesGeneration; // files may have been placed
    TMyApp* app = FindApp(id);
    if (startsWithNoCase(text, "process:")) {
        if (!app)
            return;
        std::string progress;
        for (std::size_t i = 0; i < text.size();) {
            if (startsWithNoCase(std::string_view(text).substr(i), "process:"))
                i += 8;
            else
                progress += text[i++];
        }
        if (auto call = page::ST_jdt(std::to_string(app->appID), progress))
            pageCall(*call);
        else
            ShowStatus(text);
        return;
    }
    if (text == texts::kDone) {
        if (!app)
            return clientDownloaded();
        // The files went into the folder the operation began with; a record that names
        // another folder by now gets nothing of it, its descriptor least of all.
        if (m_operation.running && m_operation.appId == id &&
            !operationApp(std::to_string(id))) {
            m_pendingDescriptors.erase(id);
            failOperation(std::to_string(id), app->DownStatu == texts::kUpdating
                                                  ? texts::kUpdateFailed
                                                  : texts::kInstallFailed);
            return _RefreshApp();
        }
        log::write("operation", "end id=" + std::to_string(id) + " done, " +
                                    std::to_string(placedBytes(m_operation.targets)) + " bytes placed, after " +
                                    std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                       std::chrono::steady_clock::now() - m_operation.began)
                                                       .count()) + " ms");
        endAppOperation();
        if (auto pending = m_pendingDescriptors.find(id); pending != m_pendingDescriptors.end()) {
            (void)platform::writeFileAtomic(app->VerFile, pending->second);
            m_pendingDescriptors.erase(pending);
        }
        const std::string appId = std::to_string(app->appID);
        if (app->DownStatu == texts::kInstalling)
            pageCall(page::ST_setFlatDivAnlv(appId, texts::kInstallDone));
        else if (app->DownStatu == texts::kUpdating)
            pageCall(page::ST_setFlatDivAnlv(appId, texts::kUpdateDone));
        else if (app->DownStatu == texts::kRepairing)
            pageCall(page::ST_setFlatDivAnlv(appId, texts::kRepairDone));
        _RefreshApp();
        app->DownStatu.clear();
        return;
    }
    if (startsWithNoCase(text, "error:")) {
        // The download failed for good: end the operation so the next one may start.
        if (!app) {
            m_clientDownload.clear();
            return endClientCheck();
        }
        endAppOperation();
        m_pendingDescriptors.erase(id);
        // Too little space is said on the status line (the downloader's own check).
        if (const std::string why = text.substr(6); why.rfind(texts::kDiskSpacePrefix, 0) == 0)
            ShowStatus(why);
        const bool repair = app->DownStatu == texts::kRepairing;
        app->DownStatu = repair ? texts::kRepairFailed
                         : app->DownStatu == texts::kUpdating ? texts::kUpdateFailed
                                                              : texts::kInstallFailed;
        pageCall(page::ST_setFlatDivAnlv(std::to_string(app->appID),
                                         repair ? texts::kRepairFailed : texts::kInstallFailed));
        _RefreshApp();
        return;
    }
    ShowStatus(text);
}

} // namespace vx
