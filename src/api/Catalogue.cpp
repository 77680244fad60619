// The page API: the user's application list, adding applications, statuses.

#include "api/UJsExterned.h"
#include "core/Log.h"

#include "api/ApiSupport.h"
#include "api/PageCalls.h"
#include "core/Digests.h"
#include "api/PageHost.h"
#include "core/Background.h"
#include "core/Crypto.h"
#include "core/Global.h"
#include "http/HttpThread.h"
#include "http/MsMultiPartFormData.h"
#include "link/HelperLibraries.h"
#include "platform/Platform.h"

#include <cctype>
#include <memory>
#include <unordered_map>

namespace vx {

using namespace api;

// --- Catalogue ---------------------------------------------------------------------------------

void TVX_JS::_GetMyApps() { requestList(Purpose::None, "0"); }

void TVX_JS::requestList(Purpose purpose, const std::string& index) {
    auto* worker = new THttpThread(BaseUrl + "myApps.php?u=" + ScrambleParam(_uid), "", "",
                                   index, nullptr, kSendGetText, readTimeout);
    worker->FSendDone = [this, purpose, uid = _uid](THttpThread*, PReturnInfo info) {
        parseListReply(purpose, info->index, info->str, uid);
    };
}

void TVX_JS::parseListReply(Purpose purpose, const std::string& index, const std::string& reply,
                            const std::string& uid) {
    const std::uint64_t arrival = m_listsArrived++;
    // A list of thousands of applications takes a while to parse: that happens off the main
    // thread, the merge and the page calls here.
    // The installed descriptors of the listed applications are read there too, for the
    // statuses; unless the client changed files meanwhile, the statuses use them.
    runInBackground(
        [reply, base = BaseUrl, apps = AppsPath, generation = m_filesGeneration] {
            ListReply r;
            r.generation = generation;
            r.doc = std::make_shared<pugi::xml_document>();
            if (reply.empty() || !xml::parse(*r.doc, reply) || !r.doc->document_element()) {
                r.doc.reset();
                return r;
            }
            r.apps = listedApps(*r.doc, base, apps);
            for (const TMyApp& a : r.apps) {
                const auto before = platform::fileStamp(a.VerFile);
                auto version = InstalledVersion(a.VerFile);
                const auto after = platform::fileStamp(a.VerFile);
                const std::int64_t settled =
                    platform::fileClockNow() - digestCacheSettleTime().count();
                if (before && after && *before == *after && after->modified < settled &&
                    after->changed < settled)
                    r.stamped.emplace(a.VerFile, std::pair{*after, version});
                r.versions.emplace(a.VerFile, std::move(version));
            }
            return r;
        },
        [this, purpose, index, uid, arrival](ListReply r) {
            m_parsedLists.emplace(arrival, ParsedList{purpose, index, uid, std::move(r)});
            while (!m_parsedLists.empty() && m_parsedLists.begin()->first == m_listsMerged) {
                auto next = m_parsedLists.extract(m_parsedLists.begin());
                ++m_listsMerged;
                ParsedList& list = next.mapped();
                // Asked for a user who is no longer the one logged in: nothing of it is his.
                if (list.uid != _uid)
                    continue;
                onListReply(list.purpose, list.index, list.reply);
            }
        });
}

std::string TVX_JS::_AddNewTestApp(const std::string& appid) {
    process = kPurposeAdd;
    auto body = std::make_shared<TMsMultiPartFormDataStream>();
    body->AddFormField("uid", ScrambleParam(_uid));
    body->AddFormField("appId", toAnsi(appid));
    auto* worker =
        new THttpThread(BaseUrl + "userAppAdd.php", "", "", appid, body.get(), kSendPost,
                        readTimeout);
    worker->FSendDone = [this, body, uid = _uid](THttpThread*, PReturnInfo info) {
        parseListReply(Purpose::Add, info->index, info->str, uid);
    };
    return std::string(texts::kAdding);
}

namespace {

// The first element of each name below an element, in document order (names compared without
// regard to case): what xml::elementText would find for each name, gathered in one walk.
class FirstElements {
public:
    explicit FirstElements(pugi::xml_node under) {
        xml::forEachElementBelow(under, [this](pugi::xml_node e) {
            std::string key = e.name();
            for (char& c : key)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            m_first.emplace(std::move(key), e);
            return true;
        });
    }
    std::string text(std::string name) const {
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        auto it = m_first.find(name);
        return it == m_first.end() ? std::string() : xml::text(it->second);
    }

private:
    std::unordered_map<std::string, pugi::xml_node> m_first;
};

} // namespace

bool mergeAppList(const std::string& reply) {
    pugi::xml_document doc;
    if (!xml::parse(doc, reply).ok() || !doc.document_element())
        return false;
    mergeAppList(doc);
    return true;
}

std::vector<TMyApp> listedApps(const pugi::xml_document& doc, const std::string& baseUrl,
                               const std::string& appsPath) {
    const std::string sep(1, platform::kSeparator);
    std::vector<TMyApp> out;
    for (pugi::xml_node node : doc.document_element().children()) {
        if (node.type() != pugi::node_element)
            continue;
        const FirstElements e(node);
        int32_t id = 0;
        if (!parseInt32(e.text("appId"), id))
            continue; // not an application
        if (id == 0)
            continue; // the downloader's messages for id 0 are those of the client's own update
        const std::string dir = e.text("Dir");
        if (!isPlainFolderName(dir))
            continue; // would place the application outside the applications folder
        TMyApp& app = out.emplace_back();
        app.appID = id;
        app.appName = e.text("Name");
        app.DirUrl = baseUrl + "apps/" + dir + "/";
        app.appDir = appsPath + dir + sep;
        const std::string ico = e.text("Ico");
        app.logoFile = app.appDir + ico;
        app.logoUrl = app.DirUrl + ico;
        app.MainFile = e.text("MainFile");
        app.VerUrl = app.DirUrl + "version.xml";
        app.VerFile = app.appDir + "version.xml";
        app.version = e.text("Version");
        app.appPrice = e.text("price");
        app.showStatu = e.text("Statu") == "显示";
        app.nessary = e.text("nessary") == "是";
        app.note = e.text("Note");
        const std::string img = e.text("Img");
        app.VideoImg = app.appDir + img;
        app.VideoImgUrl = app.DirUrl + img;
        app.VideoUrl = e.text("Url");
        app.sortIDs = e.text("Sort");
        app.myAppVersionName = e.text("myAppVersionName");
    }
    return out;
}

void mergeAppList(const pugi::xml_document& doc) { mergeAppList(listedApps(doc, BaseUrl, AppsPath)); }

void mergeAppList(std::vector<TMyApp>&& listed) {
    // The records by id, so that a long list is merged in linear time (FindApp scans).
    std::unordered_map<int32_t, TMyApp*> byId;
    byId.reserve(AppList.size() + listed.size());
    for (const auto& a : AppList)
        byId.emplace(a->appID, a.get());
    for (TMyApp& from : listed) {
        // No folder is made here: it is made when something is first written into it.
        TMyApp*& app = byId[from.appID];
        if (!app)
            app = &AddApp(from.appID);
        // What the list says replaces the record in place (pointers to it stay good); the
        // client's own state of it (DownStatu, update) stays.
        from.itemIndex = app->itemIndex;
        from.update = app->update;
        from.DownStatu = std::move(app->DownStatu);
        *app = std::move(from);
    }
}

void TVX_JS::onListReply(Purpose purpose, const std::string& index, ListReply& reply) {
    const bool ok = reply.doc != nullptr;
    log::write("catalogue", ok ? "list merged: " + std::to_string(reply.apps.size()) + " application(s)"
                               : std::string("list failed"));
    if (ok) {
        saveCatalogueCache(_uid, reply.apps);
        mergeAppList(std::move(reply.apps));
    }
    const InstalledVersions* known =
        reply.generation == m_filesGeneration ? &reply.versions : nullptr;
    if (known) {
        // What was read off the main thread saves the next refresh its reading.
        for (auto& [file, read] : reply.stamped) {
            auto [keeps, fresh] = m_volumeKeepsChangeTimes.emplace(read.first.volume, true);
            if (fresh)
                keeps->second = platform::keepsChangeTimes(file);
            if (keeps->second)
                m_knownVersions[file] = KnownVersion{read.first, std::move(read.second)};
        }
    }
    int32_t id = 0;
    TMyApp* app = purpose == Purpose::Add && parseInt32(index, id) ? FindApp(id) : nullptr;
    if (ok) {
        if (purpose == Purpose::Login)
            pageCall(page::ST_Login(true, ScrambleParam(UserInfo.uid), texts::kLoginOk));
        // The user's list is known: his queue, as it stood, shows its state and goes on.
        for (const auto& e : m_queue.waiting())
            if (TMyApp* queued = FindApp(e.id); queued && !(m_operation.running && m_operation.appId == e.id))
                queued->DownStatu = texts::kQueued;
        for (const auto& e : m_queue.paused())
            if (TMyApp* paused = FindApp(e.id); paused && !(m_operation.running && m_operation.appId == e.id))
                paused->DownStatu = texts::kPaused;
        m_queueReady = true;
        if (purpose == Purpose::Add) {
            pageCall(page::ST_setFlatDivAnlv(index, texts::kAdded));
            if (installBusy || m_queue.pending()) {
                pageCall(page::tsmsg(texts::kBusyAfterAdd));
            } else if (app) {
                if (platform::fileExists(app->VerFile)) {
                    app->DownStatu.clear();
                } else {
                    app->DownStatu = texts::kInstalling;
                    pageCall(page::ST_setFlatDivAnlv(index, texts::kInstalling));
                    installBusy = true;
                    _DownApp(app);
                }
            }
        }
        refreshStatuses(known);
        startNextQueued();
    } else {
        if (purpose == Purpose::Login)
            pageCall(page::ST_Login(false, ScrambleParam("0"), texts::kListFailed));
        if (purpose == Purpose::Add) {
            if (app)
                app->DownStatu = texts::kAddFailed;
            pageCall(page::ST_setFlatDivAnlv(index, texts::kAddFailed));
        }
    }
    process.clear();
}

std::string TVX_JS::CheckAPP(const TMyApp* info) {
    return info ? AppStatus(*info) : std::string(kStatusNotAdded);
}

std::string TVX_JS::_CheckAPP(const std::string& _appid) {
    std::string status = CheckAPP(findAppByText(_appid));
    if (status == kStatusNormal)
        m_link.sendToApp(toAnsi("appID=" + _appid + "&parma=ShowForm%3Fa"));
    return status;
}

void TVX_JS::_RefreshApp() { refreshStatuses(nullptr); }

void TVX_JS::refreshStatuses(const InstalledVersions* known) {
    for (const auto& app : AppList) {
        if (app->nessary)
            continue;
        std::string status;
        auto it = known ? known->find(app->VerFile) : InstalledVersions::const_iterator{};
        if (known && it != known->end())
            status = AppStatus(*app, it->second);
        else if (!app->DownStatu.empty())
            status = app->DownStatu;
        else
            status = AppStatus(*app, installedVersionNow(app->VerFile));
        pageCall(page::ST_icoStatu(std::to_string(app->appID), status));
    }
}

std::optional<std::string> TVX_JS::installedVersionNow(const std::string& verFile) {
    const auto stamp = platform::fileStamp(verFile);
    if (!stamp) {
        m_knownVersions.erase(verFile);
        return InstalledVersion(verFile);
    }
    auto [keeps, fresh] = m_volumeKeepsChangeTimes.emplace(stamp->volume, true);
    if (fresh)
        keeps->second = platform::keepsChangeTimes(verFile);
    if (auto hit = m_knownVersions.find(verFile);
        keeps->second && hit != m_knownVersions.end() && hit->second.stamp == *stamp)
        return hit->second.version;
    auto version = InstalledVersion(verFile);
    // A write within the file system's clock tick after this read would keep the stamp as
    // it is: only a file whose times are older than that is remembered (the digest cache's
    // rule).
    const std::int64_t settled = platform::fileClockNow() - digestCacheSettleTime().count();
    if (keeps->second && stamp->modified < settled && stamp->changed < settled)
        m_knownVersions[verFile] = KnownVersion{*stamp, version};
    else
        m_knownVersions.erase(verFile);
    return version;
}

void TVX_JS::_OpenTimer() { OpenTimer(true); }

void TVX_JS::OpenTimer(bool bb) {
    m_link.sendToApp(bb ? "appID=4&parma=ShowForm%3Fa" : "appID=4&parma=HideForm%3Fa");
}

} // namespace vx
