// The page API beyond the first set: the download queue, pause and resume, the rate limit,
// verification and repair of installed files (docs/page-api.md).

#include "api/UJsExterned.h"

#include "api/ApiSupport.h"
#include "api/PageCalls.h"
#include "api/PageHost.h"
#include "core/Digests.h"
#include "core/MainThread.h"
#include "link/HelperLibraries.h"
#include "platform/Platform.h"

#include <climits>
#include <fstream>
#include <memory>
#include <sstream>

namespace vx {

using namespace api;

namespace {

std::optional<unsigned long long> g_freeSpaceForTests;

bool installedNow(const TMyApp& app) { return InstalledVersion(app.VerFile).has_value(); }

// The status the files give, whatever operation state the record carries.
std::string filesStatus(const TMyApp& app) {
    const auto installed = InstalledVersion(app.VerFile);
    if (!installed)
        return std::string(kStatusNotInstalled);
    return *installed != app.version ? std::string(kStatusUpgradable)
                                     : std::string(kStatusNormal);
}

} // namespace

std::string texts::diskSpaceShort(unsigned long long needed, unsigned long long available) {
    constexpr unsigned long long kMiB = 1024ull * 1024ull;
    return std::string(kDiskSpacePrefix) + "需要 " + std::to_string((needed + kMiB - 1) / kMiB) +
           " MB，可用 " + std::to_string(available / kMiB) + " MB";
}

void TVX_JS::setFreeSpaceForTests(std::optional<unsigned long long> bytes) {
    g_freeSpaceForTests = bytes;
}

std::string TVX_JS::spaceRefusal(const std::string& folder, unsigned long long needed) const {
    if (needed == 0)
        return {};
    const auto free = g_freeSpaceForTests ? g_freeSpaceForTests : platform::freeSpace(folder);
    if (!free || *free >= needed)
        return {};
    return texts::diskSpaceShort(needed, *free);
}

void TVX_JS::loadQueue(const std::string& file) {
    m_queue = DownloadQueue(file);
    m_queue.load();
    m_queue.setUser(_uid);
}

void TVX_JS::loadRateLimit(const std::string& settingFile, int configured) {
    m_rateLimitFile = settingFile;
    int kib = std::max(configured, 0);
    if (std::ifstream in(settingFile); in) {
        std::string text;
        std::getline(in, text);
        int32_t stored = 0;
        if (parseInt32(trimSpaces(text), stored) && stored >= 0)
            kib = stored;
    }
    m_rateLimitKib = kib;
    if (kib > 0 || configured > 0)
        (void)m_downloader.SetRateLimit(kib > INT_MAX / 1024 ? INT_MAX : kib * 1024);
}

// --- The queue -------------------------------------------------------------------------------

std::optional<std::string> TVX_JS::underWay(const TMyApp& app) const {
    switch (m_queue.placeOf(app.appID)) {
    case DownloadQueue::Place::Waiting: return std::string(texts::kQueued);
    case DownloadQueue::Place::Paused: return std::string(texts::kPaused);
    case DownloadQueue::Place::Active: return AppStatus(app);
    case DownloadQueue::Place::None: break;
    }
    if (m_operation.running && m_operation.appId == app.appID)
        return AppStatus(app);
    return std::nullopt;
}

std::string TVX_JS::enqueue(TMyApp& app, QueuedKind kind) {
    m_queue.enqueue({app.appID, kind, {}});
    app.DownStatu = texts::kQueued;
    pageCall(page::ST_setFlatDivAnlv(std::to_string(app.appID), texts::kQueued));
    startNextQueued();
    return AppStatus(app);
}

std::string TVX_JS::_QueueApp(const std::string& appid) {
    TMyApp* app = findAppByText(appid);
    if (!app)
        return std::string(kStatusNotAdded);
    if (auto answer = underWay(*app))
        return *answer;
    const std::string files = filesStatus(*app);
    QueuedKind kind = QueuedKind::Install;
    if (files == kStatusUpgradable)
        kind = QueuedKind::Update;
    else if (files != kStatusNotInstalled)
        return files; // nothing to fetch
    return enqueue(*app, kind);
}

std::string TVX_JS::_GetQueue() { return m_queue.text(); }

std::string TVX_JS::_MoveInQueue(const std::string& appid, int position) {
    int32_t id = 0;
    if (parseInt32(appid, id))
        (void)m_queue.move(id, position);
    return m_queue.text();
}

std::string TVX_JS::_RemoveFromQueue(const std::string& appid) {
    TMyApp* app = findAppByText(appid);
    if (!app)
        return std::string(kStatusNotAdded);
    const int32_t id = app->appID;
    if (m_queue.placeOf(id) == DownloadQueue::Place::Active) {
        if (m_operation.running && m_operation.appId == id)
            return _CancelInstall(appid);
        m_queue.finish(m_queue.user()); // left by a kill, not begun again yet
    } else if (auto removed = m_queue.remove(id)) {
        if (!removed->partials.empty())
            m_downloader.DiscardPartials(joinLines(removed->partials));
    } else {
        return AppStatus(*app);
    }
    app->DownStatu.clear();
    const std::string status = AppStatus(*app);
    pageCall(page::ST_icoStatu(appid, status));
    return status;
}

std::string TVX_JS::_PauseApp(const std::string& appid) {
    TMyApp* app = findAppByText(appid);
    if (!app)
        return std::string(kStatusNotAdded);
    const int32_t id = app->appID;
    if (m_queue.pause(id)) {
        app->DownStatu = texts::kPaused;
        pageCall(page::ST_setFlatDivAnlv(appid, texts::kPaused));
        return std::string(texts::kPaused);
    }
    if (m_operation.running && m_operation.appId == id) {
        // An install or update started by the first set of functions joins the queue as its
        // running entry, so that it can be resumed like one.
        if (!m_operation.queued && !m_operation.cancelling && !m_operation.pausing &&
            m_queue.placeOf(id) == DownloadQueue::Place::None &&
            (!m_operation.downloading || m_downloader.canResume())) {
            m_queue.adopt({id, app->DownStatu == texts::kUpdating ? QueuedKind::Update
                                                                   : QueuedKind::Install, {}});
            m_operation.queued = true;
            m_operation.queueUid = m_queue.user();
        }
        if (m_operation.queued && stopQueued(false))
            return std::string(texts::kPaused);
        return AppStatus(*app); // too late: its files are being placed
    }
    return AppStatus(*app);
}

std::string TVX_JS::_ResumeApp(const std::string& appid) {
    TMyApp* app = findAppByText(appid);
    if (!app)
        return std::string(kStatusNotAdded);
    if (!m_queue.resume(app->appID))
        return AppStatus(*app);
    app->DownStatu = texts::kQueued;
    pageCall(page::ST_setFlatDivAnlv(appid, texts::kQueued));
    startNextQueued();
    return AppStatus(*app);
}

void TVX_JS::startNextQueued() {
    if (!m_queueReady || installBusy || m_operation.running)
        return;
    while (auto next = m_queue.begin()) {
        if (!FindApp(next->id)) {
            m_queue.finish(m_queue.user()); // no longer in the user's list
            continue;
        }
        beginQueued(*next);
        return;
    }
}

void TVX_JS::beginQueued(const QueuedApp& entry) {
    TMyApp* app = FindApp(entry.id);
    const std::string index = std::to_string(entry.id);
    m_beginningQueued = true;
    if (entry.kind == QueuedKind::Repair) {
        startRepair(app);
    } else if (!installedNow(*app)) {
        app->DownStatu = texts::kInstalling;
        pageCall(page::ST_setFlatDivAnlv(index, texts::kInstalling));
        _DownApp(app);
    } else {
        app->DownStatu = texts::kUpdating;
        pageCall(page::ST_setFlatDivAnlv(index, texts::kUpdating));
        _CheckAPPVer(app);
    }
    m_beginningQueued = false;
}

bool TVX_JS::stopQueued(bool requeue) {
    if (!m_operation.running || !m_operation.queued || m_operation.cancelling)
        return false;
    if (m_operation.pausing)
        return true;
    m_operation.requeue = requeue;
    if (m_operation.downloading) {
        // Refused once the download has decided on its end: the files are placed whole
        // first, never half.
        if (!m_downloader.PauseDown(m_operation.appId))
            return false;
        m_operation.pausing = true; // its final "已暂停" ends the operation
        return true;
    }
    // Nothing fetched yet: the steps still under way see the operation gone.
    ++m_operation.serial;
    m_operation.pausing = true;
    endStopped();
    return true;
}

void TVX_JS::endStopped() {
    const int32_t id = m_operation.appId;
    if (m_operation.requeue)
        m_queue.requeueActive(m_operation.queueUid);
    else
        m_queue.pauseActive(m_operation.queueUid, m_operation.targets);
    const bool requeue = m_operation.requeue;
    m_operation.queued = false;
    m_pendingDescriptors.erase(id);
    ++m_filesGeneration;
    if (TMyApp* app = FindApp(id)) {
        // Put back for another user's login: the record shows its files' state meanwhile.
        if (requeue) {
            app->DownStatu.clear();
        } else {
            app->DownStatu = texts::kPaused;
            pageCall(page::ST_setFlatDivAnlv(std::to_string(id), texts::kPaused));
        }
    }
    endAppOperation();
}

// --- The rate limit --------------------------------------------------------------------------

std::string TVX_JS::_SetRateLimit(int kib) {
    if (kib < 0)
        return std::to_string(m_rateLimitKib);
    if (!m_downloader.SetRateLimit(kib > INT_MAX / 1024 ? INT_MAX : kib * 1024))
        return std::to_string(m_rateLimitKib);
    m_rateLimitKib = kib;
    if (!m_rateLimitFile.empty())
        (void)platform::writeFileAtomic(m_rateLimitFile, std::to_string(kib) + "\n", true);
    return std::to_string(kib);
}

std::string TVX_JS::_GetRateLimit() { return std::to_string(m_rateLimitKib); }

// --- Verification and repair -----------------------------------------------------------------

std::vector<TVX_JS::VerifyItem> TVX_JS::verifyItems(const TMyApp& app, bool& listed,
                                                    bool& packageOnly) const {
    listed = false;
    packageOnly = false;
    std::vector<VerifyItem> items;
    pugi::xml_document doc;
    if (!xml::load(doc, app.VerFile))
        return items;
    const pugi::xml_node root = doc.document_element();
    if (pugi::xml_node files = xml::findElement(root, "updateFile")) {
        for (auto& e : listEntries(files, app.DirUrl, app.appDir)) {
            VerifyItem item;
            item.path = e.local;
            item.url = e.url;
            item.sha256 = e.sha256;
            item.kind = e.sha256.empty() ? DigestKind::Md5 : DigestKind::Sha256;
            item.digest = e.sha256.empty() ? e.md5 : e.sha256;
            items.push_back(std::move(item));
        }
        if (!items.empty()) {
            listed = true;
            return items;
        }
    }
    // A package install: the entries the downloader recorded beside the package's path.
    const std::string zip = xml::elementText(root, "zipFile");
    const std::string record = zip.empty() ? std::string() : localPathBelow(app.appDir, "{app}", zip);
    std::ifstream in(record.empty() ? std::string() : record + ".entries", std::ios::binary);
    if (!in)
        return items;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream f(line);
        std::string crc, size, name;
        if (!(f >> crc >> size) || f.get() != ' ' || !std::getline(f, name) || name.empty() ||
            crc.size() != 8 || name.back() == '/')
            continue;
        const std::string local = localPathBelow(app.appDir, "{app}", name);
        if (local.empty())
            continue;
        VerifyItem item;
        item.path = local;
        item.digest = crc;
        item.kind = DigestKind::Crc32;
        items.push_back(std::move(item));
    }
    listed = !items.empty();
    packageOnly = listed;
    return items;
}

void TVX_JS::verifyFiles(int32_t id, std::vector<VerifyItem> items,
                         std::function<void(std::vector<VerifyItem> damaged)> done) {
    // The files are hashed a slice at a time (each slice on every core), so that the page
    // sees the share done rise; nothing comes from the digest cache: a file that rotted in
    // place keeps its stamp.
    struct Job {
        std::vector<VerifyItem> items, damaged;
        std::size_t next = 0;
        std::function<void(std::vector<VerifyItem>)> done;
        std::function<void()> step;
    };
    auto job = std::make_shared<Job>();
    job->items = std::move(items);
    job->done = std::move(done);
    const std::size_t slice = std::max<std::size_t>(1, job->items.size() / 20);
    std::weak_ptr<Job> weak = job;
    job->step = [this, id, slice, weak] {
        auto job = weak.lock();
        if (!job)
            return;
        if (job->next >= job->items.size()) {
            auto finish = std::move(job->done);
            return finish(std::move(job->damaged));
        }
        const std::size_t from = job->next, to = std::min(job->items.size(), from + slice);
        std::vector<DigestRequest> requests;
        for (std::size_t i = from; i < to; ++i)
            requests.push_back({job->items[i].path, job->items[i].kind});
        job->next = to;
        computeDigests(std::move(requests), "",
                       [this, id, job, from, to](std::vector<Digest> digests) {
            for (std::size_t i = from; i < to; ++i) {
                const Digest& d = digests[i - from];
                const VerifyItem& item = job->items[i];
                const bool good = d && !d->empty() &&
                                  (item.kind == DigestKind::Md5 ? *d == item.digest
                                                                : iequals(*d, item.digest));
                if (!good)
                    job->damaged.push_back(item);
            }
            if (auto call = page::ST_jdt(std::to_string(id),
                                         std::to_string(100 * to / job->items.size())))
                pageCall(*call);
            if (job->step)
                job->step();
        });
    };
    if (job->items.empty())
        return job->step();
    job->step();
}

std::string TVX_JS::_VerifyApp(const std::string& appid) {
    TMyApp* app = findAppByText(appid);
    if (!app)
        return std::string(kStatusNotAdded);
    const int32_t id = app->appID;
    if (!installedNow(*app))
        return std::string(kStatusNotInstalled);
    if (m_operation.running && m_operation.appId == id)
        return std::string(texts::kBusy);
    if (m_verifying.count(id))
        return std::string(texts::kVerifying);
    bool listed = false, packageOnly = false;
    auto items = verifyItems(*app, listed, packageOnly);
    if (!listed) {
        pageCall(page::ST_setFlatDivAnlv(appid, texts::kCannotVerify));
        return std::string(texts::kCannotVerify);
    }
    m_verifying[id] = true;
    pageCall(page::ST_setFlatDivAnlv(appid, texts::kVerifying));
    verifyFiles(id, std::move(items), [this, id, appid](std::vector<VerifyItem> damaged) {
        m_verifying.erase(id);
        const std::string outcome = damaged.empty()
                                        ? std::string(texts::kFilesIntact)
                                        : std::string(texts::kFilesDamagedPrefix) +
                                              std::to_string(damaged.size());
        pageCall(page::ST_setFlatDivAnlv(appid, outcome));
        ShowStatus(outcome);
    });
    return std::string(texts::kVerifying);
}

std::string TVX_JS::_RepairApp(const std::string& appid) {
    TMyApp* app = findAppByText(appid);
    if (!app)
        return std::string(kStatusNotAdded);
    if (!installedNow(*app))
        return std::string(kStatusNotInstalled);
    if (auto answer = underWay(*app))
        return *answer;
    return enqueue(*app, QueuedKind::Repair);
}

void TVX_JS::startRepair(TMyApp* app) {
    const std::string index = std::to_string(app->appID);
    bool listed = false, packageOnly = false;
    auto items = verifyItems(*app, listed, packageOnly);
    if (packageOnly) {
        // The package is the only source of its files: it is fetched and placed again.
        app->DownStatu = texts::kRepairing;
        pageCall(page::ST_setFlatDivAnlv(index, texts::kRepairing));
        return _DownApp(app);
    }
    beginAppOperation(app->appID);
    m_operation.appDir = app->appDir;
    m_operation.verFile = app->VerFile;
    m_operation.verUrl = app->VerUrl;
    m_operation.dirUrl = app->DirUrl;
    app->DownStatu = texts::kRepairing;
    pageCall(page::ST_setFlatDivAnlv(index, texts::kRepairing));
    if (!listed)
        return failOperation(index, texts::kRepairFailed);
    verifyFiles(app->appID, std::move(items),
                [this, index, serial = m_operation.serial](std::vector<VerifyItem> damaged) {
        if (!isCurrent(serial))
            return;
        TMyApp* app = operationApp(index);
        if (!app)
            return failOperation(index, texts::kRepairFailed);
        if (damaged.empty()) {
            app->DownStatu.clear();
            pageCall(page::ST_setFlatDivAnlv(index, texts::kFilesIntact));
            endAppOperation();
            return _RefreshApp();
        }
        DownloadList list;
        for (const auto& d : damaged) {
            list.urls.push_back(d.url);
            list.paths.push_back(d.path);
            list.sha256s.push_back(d.sha256);
        }
        m_operation.downloading = true;
        if (std::string why = startDownload(toAnsi(joinLines(list.urls)),
                                            toAnsi(joinLines(list.paths)), "", list.sha256s,
                                            app->appID);
            !why.empty()) {
            ShowStatus(why);
            return failOperation(index, texts::kRepairFailed);
        }
    });
}

} // namespace vx
