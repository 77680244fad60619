#include "api/UJsExterned.h"

#include <cctype>
#include <filesystem>
#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "api/PageCalls.h"
#include "api/PageHost.h"
#include "core/Background.h"
#include "core/Crypto.h"
#include "core/Digests.h"
#include "core/Text.h"
#include "core/Xml.h"
#include "http/HttpThread.h"
#include "link/HelperLibraries.h"
#include "link/LinkNotify.h"
#include "platform/Platform.h"

namespace vx {

bool installBusy = false;

namespace {

constexpr std::string_view kPurposeLogin = "登录";
constexpr std::string_view kPurposeAdd = "安装";

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

// A login reply's statu: "true"/"false" in any case, or a decimal number (an optional sign,
// digits, optionally "." and more digits; zero is false). Anything else counts as a
// refusal: "nan", "inf", "0x1", "1e3", " 1", "1.", ".5".
bool statuIsTrue(std::string_view s) {
    if (iequals(s, "true"))
        return true;
    std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    bool nonZero = false;
    auto digits = [&] {
        const std::size_t from = i;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
            nonZero = nonZero || s[i] != '0';
        return i > from;
    };
    if (!digits())
        return false;
    if (i < s.size() && s[i] == '.' && (++i, !digits()))
        return false;
    return i == s.size() && nonZero;
}

// Sets an attribute matched without regard to case, creating it when missing.
void setAttr(pugi::xml_node node, const char* name, const std::string& value) {
    for (pugi::xml_attribute a : node.attributes())
        if (iequals(a.name(), name)) {
            a.set_value(value.c_str());
            return;
        }
    node.append_attribute(name) = value.c_str();
}

// A fresh Users.xml: declaration, document type and the root element.
void newUsersDocument(pugi::xml_document& doc) {
    doc.reset();
    auto decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "utf-8";
    doc.append_child(pugi::node_doctype).set_value("VXFrame");
    doc.append_child("VXFrame");
}

// A folder name from the service that stays one plain level below the applications folder.
bool isPlainFolderName(std::string_view dir) {
    if (dir.empty() || dir == "." || dir == "..")
        return false;
    return dir.find_first_of("/\\:") == std::string_view::npos;
}

std::string joinLines(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& i : items)
        out += i + "\r\n";
    return out;
}

std::string fileNameOf(const std::string& path) {
    auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

} // namespace

namespace {

struct DownloadList {
    std::vector<std::string> urls;
    std::vector<std::string> paths;
};

// One entry of an updateFile element: its address, its local path and its listed digest.
struct UpdateEntry {
    std::string url, local, md5;
};

// The entries of an updateFile element, in order. Each child's Dir, with "{app}" standing for
// remoteBase in the address and for localBase in the path, followed by its Name. Entries whose
// path would leave localBase are skipped.
std::vector<UpdateEntry> listEntries(pugi::xml_node files, const std::string& remoteBase,
                                     const std::string& localBase) {
    std::vector<UpdateEntry> entries;
    for (pugi::xml_node f : files.children()) {
        if (f.type() != pugi::node_element)
            continue;
        const std::string dir = xml::attr(f, "Dir"), name = xml::attr(f, "Name");
        std::string local = localPathBelow(localBase, dir, name);
        if (local.empty())
            continue;
        entries.push_back({replaceAppToken(dir, remoteBase) + name, std::move(local),
                           xml::attr(f, "MD5")});
    }
    return entries;
}

// The entries to fetch: those `unchanged` does not accept (given the entry's index), without
// addresses already listed.
DownloadList collectDownloads(const std::vector<UpdateEntry>& entries,
                              const std::function<bool(std::size_t)>& unchanged) {
    DownloadList list;
    std::unordered_set<std::string> seen;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (unchanged(i) || !seen.insert(entries[i].url).second)
            continue;
        list.urls.push_back(entries[i].url);
        list.paths.push_back(entries[i].local);
    }
    return list;
}

} // namespace

std::string replaceAppToken(std::string_view text, std::string_view with) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (startsWithNoCase(text.substr(i), "{app}")) {
            out += with;
            i += 5;
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::string localPathBelow(const std::string& base, const std::string& dir,
                           const std::string& name) {
    std::string path = replaceAppToken(dir, base) + name;
    if (platform::kSeparator == '/')
        for (char& c : path)
            if (c == '\\')
                c = '/';
    if (path.size() <= base.size() || path.compare(0, base.size(), base) != 0)
        return {};
    std::string rest;
    std::string component;
    auto flush = [&]() -> bool {
        if (component == "..")
            return false;
        if (!component.empty() && component != ".") {
            if (!rest.empty())
                rest += platform::kSeparator;
            rest += component;
        }
        component.clear();
        return true;
    };
    for (std::size_t i = base.size(); i < path.size(); ++i) {
        char c = path[i];
        if (c == ':')
            return {}; // a drive or a stream name
        if (c == '/' || c == '\\') {
            if (!flush())
                return {};
        } else {
            component += c;
        }
    }
    if (!flush() || rest.empty())
        return {};
    // A name must remain: "{app}" alone with an empty name is the folder itself.
    if (name.empty())
        return {};
    return base + rest;
}

TVX_JS::TVX_JS(IPageHost& host, ILinkServer& link, IDownloader& downloader)
    : executablePath(platform::executablePath()), m_host(host), m_link(link),
      m_downloader(downloader) {
    std::error_code ec;
    scriptFolder = std::filesystem::current_path(ec).string();
}

// --- Page calls ---------------------------------------------------------------------------

void TVX_JS::pageCall(const std::string& script) {
    if (m_host.hasBrowserView())
        m_host.executeInMainFrame(script);
}

void TVX_JS::ShowStatus(const std::string& text) { pageCall(page::ST_softStatu(text)); }

void TVX_JS::sendLink(int32_t appId, std::string_view payload) {
    m_link.sendToApp(linkMessage(appId, payload));
}

// --- Account and login ------------------------------------------------------------------------

void TVX_JS::_LoginFun(const std::string& user, const std::string& pwd,
                       const std::string& savePwd, const std::string& autoLogin) {
    ckPwd = savePwd;
    ckAuto = autoLogin;
    _User = user;
    _pwd = pwd;
    auto body = std::make_shared<TMsMultiPartFormDataStream>();
    body->AddFormField("user", user);
    body->AddFormField("pws", pwd);
    body->AddFormField("pid", _GetConfigValue("pid"));
    auto* worker = new THttpThread(BaseUrl + "Login.php", "", "", "0", body.get(), kSendPost,
                                   readTimeout);
    worker->FSendDone = [this, body](THttpThread*, PReturnInfo info) { onLoginReply(info->str); };
}

void TVX_JS::onLoginReply(const std::string& reply) {
    const std::string token0 = ScrambleParam("0");
    if (reply.empty()) {
        pageCall(page::ST_Login(false, token0, texts::kLoginTimeout));
        return;
    }
    pugi::xml_document doc;
    pugi::xml_node root;
    if (xml::parse(doc, reply))
        root = doc.document_element();
    pugi::xml_node statu = xml::findElement(root, "statu");
    const std::string msg = xml::elementText(root, "msg");
    if (!statu) {
        pageCall(page::ST_Login(false, token0, msg.empty() ? texts::kLoginBadReply : msg));
        return;
    }
    if (!statuIsTrue(xml::text(statu))) {
        pageCall(page::ST_Login(false, token0, msg));
        return;
    }
    const std::string uid = xml::elementText(root, "uid");
    if (uid.empty()) {
        // Every later request identifies the user by this id: without it there is no login.
        pageCall(page::ST_Login(false, token0, texts::kLoginBadReply));
        return;
    }
    if (!saveUsersXml())
        pageCall(page::ST_Login(false, token0, texts::kLoginNotAdmin));
    m_link.CloseAll();
    UserInfo.user = xml::elementText(root, "user");
    UserInfo.qq = xml::elementText(root, "qq");
    UserInfo.aid = xml::elementText(root, "agentId");
    UserInfo.uid = uid;
    _uid = uid;
    m_link.SetUid(toAnsi(uid));
    OpenTimer(false);
    process = kPurposeLogin;
    requestList(Purpose::Login, "0");
    m_host.enableRefreshTimer();
}

bool TVX_JS::saveUsersXml() {
    const std::string storedPwd = ckPwd == "1" ? _pwd : std::string();
    const std::string autoText = ckPwd == "1" && ckAuto == "1" ? "true" : "false";
    pugi::xml_document doc;
    if (!platform::fileExists(UsersXml)) {
        newUsersDocument(doc);
    } else {
        // A file that could not be read (denied, an I/O error) may be perfectly good: it is
        // left alone, and nothing is remembered this time.
        auto data = xml::readFile(UsersXml);
        if (!data)
            return false;
        if (!xml::parse(doc, data.value()) || !doc.document_element()) {
            // Read but broken: keep a copy for whoever wants to look, then start afresh so
            // that logins keep working.
            std::error_code ec;
            std::filesystem::copy_file(UsersXml, UsersXml + ".broken",
                                       std::filesystem::copy_options::overwrite_existing, ec);
            doc.reset();
            newUsersDocument(doc);
        }
    }
    pugi::xml_node root = doc.document_element();
    if (pugi::xml_node def = xml::findElement(root, "DefUser")) {
        setAttr(def, "user", _User);
        setAttr(def, "pwd", storedPwd);
        setAttr(def, "auto", autoText);
    } else {
        def = root.append_child("DefUser");
        def.append_attribute("user") = _User.c_str();
        def.append_attribute("pwd") = storedPwd.c_str();
        def.append_attribute("auto") = autoText.c_str();
    }
    bool found = false;
    for (pugi::xml_node child : root.children()) {
        if (child.type() == pugi::node_element && std::string_view(child.name()) == "User" &&
            xml::attr(child, "user") == _User) {
            setAttr(child, "pwd", storedPwd);
            found = true;
            break;
        }
    }
    if (!found) {
        pugi::xml_node u = root.append_child("User");
        u.append_attribute("user") = _User.c_str();
        u.append_attribute("pwd") = storedPwd.c_str();
    }
    // Remembered passwords: readable by the user alone.
    return xml::save(doc, UsersXml, true).ok();
}

std::string TVX_JS::_GetProductID() {
    if (_productID.empty())
        _productID = ScrambleParam("0");
    return _productID;
}

std::string TVX_JS::_GetUid() {
    if (_uid.empty())
        _uid = "0";
    return ScrambleParam(_uid);
}

std::string TVX_JS::_GetUser() { return _User; }
std::string TVX_JS::_GetPwd() { return _pwd; }
std::string TVX_JS::_GetAutoLogin() { return ckAuto; }

void TVX_JS::_SetAutoLogin(const std::string& _auto) {
    ckAuto = _auto;
    pugi::xml_document doc;
    if (!xml::load(doc, UsersXml))
        return;
    pugi::xml_node def = xml::findElement(doc.document_element(), "DefUser");
    if (!def)
        return;
    setAttr(def, "auto", _auto == "1" ? "true" : "false");
    (void)xml::save(doc, UsersXml, true);
}

bool TVX_JS::_CloseAutoLogin() {
    pugi::xml_document doc;
    if (!xml::load(doc, UsersXml))
        return false;
    pugi::xml_node def = xml::findElement(doc.document_element(), "DefUser");
    if (!def)
        return false;
    setAttr(def, "auto", "false");
    return xml::save(doc, UsersXml, true).ok();
}

std::string TVX_JS::_GetConfigValue(const std::string& _Name) {
    pugi::xml_document doc;
    if (!xml::load(doc, ConfigXml))
        return {};
    return xml::elementText(doc.document_element(), _Name);
}

// --- Catalogue ---------------------------------------------------------------------------------

void TVX_JS::_GetMyApps() { requestList(Purpose::None, "0"); }

void TVX_JS::requestList(Purpose purpose, const std::string& index) {
    auto* worker = new THttpThread(BaseUrl + "myApps.php?u=" + ScrambleParam(_uid), "", "",
                                   index, nullptr, kSendGetText, readTimeout);
    worker->FSendDone = [this, purpose](THttpThread*, PReturnInfo info) {
        parseListReply(purpose, info->index, info->str);
    };
}

void TVX_JS::parseListReply(Purpose purpose, const std::string& index, const std::string& reply) {
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
            for (const TMyApp& a : r.apps)
                r.versions.emplace(a.VerFile, InstalledVersion(a.VerFile));
            return r;
        },
        [this, purpose, index](ListReply r) { onListReply(purpose, index, r); });
}

std::string TVX_JS::_AddNewTestApp(const std::string& appid) {
    process = kPurposeAdd;
    auto body = std::make_shared<TMsMultiPartFormDataStream>();
    body->AddFormField("uid", ScrambleParam(_uid));
    body->AddFormField("appId", toAnsi(appid));
    auto* worker =
        new THttpThread(BaseUrl + "userAppAdd.php", "", "", appid, body.get(), kSendPost,
                        readTimeout);
    worker->FSendDone = [this, body](THttpThread*, PReturnInfo info) {
        parseListReply(Purpose::Add, info->index, info->str);
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
        // What the list says; the client's own state of the record (DownStatu, update)
        // stays.
        app->appName = std::move(from.appName);
        app->DirUrl = std::move(from.DirUrl);
        app->appDir = std::move(from.appDir);
        app->logoFile = std::move(from.logoFile);
        app->logoUrl = std::move(from.logoUrl);
        app->MainFile = std::move(from.MainFile);
        app->VerUrl = std::move(from.VerUrl);
        app->VerFile = std::move(from.VerFile);
        app->version = std::move(from.version);
        app->appPrice = std::move(from.appPrice);
        app->showStatu = from.showStatu;
        app->nessary = from.nessary;
        app->note = std::move(from.note);
        app->VideoImg = std::move(from.VideoImg);
        app->VideoImgUrl = std::move(from.VideoImgUrl);
        app->VideoUrl = std::move(from.VideoUrl);
        app->sortIDs = std::move(from.sortIDs);
        app->myAppVersionName = std::move(from.myAppVersionName);
    }
}

void TVX_JS::onListReply(Purpose purpose, const std::string& index, ListReply& reply) {
    const bool ok = reply.doc != nullptr;
    if (ok)
        mergeAppList(std::move(reply.apps));
    const InstalledVersions* known =
        reply.generation == m_filesGeneration ? &reply.versions : nullptr;
    int32_t id = 0;
    TMyApp* app = purpose == Purpose::Add && parseInt32(index, id) ? FindApp(id) : nullptr;
    if (ok) {
        if (purpose == Purpose::Login)
            pageCall(page::ST_Login(true, ScrambleParam(UserInfo.uid), texts::kLoginOk));
        if (purpose == Purpose::Add) {
            pageCall(page::ST_setFlatDivAnlv(index, texts::kAdded));
            if (installBusy) {
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
    int32_t id = 0;
    const TMyApp* app = parseInt32(_appid, id) ? FindApp(id) : nullptr;
    std::string status = CheckAPP(app);
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
        else
            status = AppStatus(*app);
        pageCall(page::ST_icoStatu(std::to_string(app->appID), status));
    }
}

void TVX_JS::_OpenTimer() { OpenTimer(true); }

void TVX_JS::OpenTimer(bool bb) {
    m_link.sendToApp(bb ? "appID=4&parma=ShowForm%3Fa" : "appID=4&parma=HideForm%3Fa");
}

// --- Navigation ----------------------------------------------------------------------------------

void TVX_JS::_OpenURL(const std::string& url) {
    m_host.openPopup(startsWithNoCase(url, "http://") ? url : BaseUrlNoSlash + url, std::nullopt);
}

void TVX_JS::_OpenURLA(const std::string& url, int w, int h) {
    m_host.openPopup(startsWithNoCase(url, "http://") ? url : BaseUrlNoSlash + url,
                     std::make_pair(w, h));
}

void TVX_JS::_OpenURLB(const std::string& url) {
    // Only web addresses reach the system's opener: anything else could open local files or
    // start programs registered for a scheme.
    if (startsWithNoCase(url, "http://") || startsWithNoCase(url, "https://"))
        m_host.openInSystemBrowser(url);
}

void TVX_JS::_ExcuteJs(const std::string& js) { pageCall(js); }

// --- Install and update ------------------------------------------------------------------------

std::string TVX_JS::_InstallApp(const std::string& _appid) {
    if (installBusy)
        return std::string(texts::kBusy);
    int32_t id = 0;
    TMyApp* app = parseInt32(_appid, id) ? FindApp(id) : nullptr;
    if (!app)
        return std::string(texts::kInstallFailed);
    app->DownStatu = texts::kInstalling;
    _DownApp(app);
    return std::string(texts::kInstalling);
}

std::string TVX_JS::_UpdateApp(const std::string& _appid) {
    if (installBusy)
        return std::string(texts::kBusy);
    int32_t id = 0;
    TMyApp* app = parseInt32(_appid, id) ? FindApp(id) : nullptr;
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
    installBusy = true;
    auto* worker = new THttpThread(info->VerUrl, "", "", std::to_string(info->appID), nullptr,
                                   kSendGetText, readTimeout);
    worker->FSendDone = [this, step](THttpThread*, PReturnInfo i) {
        (this->*step)(i->index, i->str);
    };
}

void TVX_JS::failOperation(const std::string& index, std::string_view state) {
    int32_t id = 0;
    if (TMyApp* app = parseInt32(index, id) ? FindApp(id) : nullptr)
        app->DownStatu = state;
    pageCall(page::ST_setFlatDivAnlv(index, texts::kInstallFailed));
    endAppOperation();
}

void TVX_JS::endAppOperation() {
    // A client check started beside this operation still runs: the hold passes to it.
    if (m_clientCheck == ClientCheck::Beside)
        m_clientCheck = ClientCheck::Owner;
    else
        installBusy = false;
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
    int32_t id = 0;
    TMyApp* app = parseInt32(index, id) ? FindApp(id) : nullptr;
    if (!app)
        return failOperation(index, texts::kInstallFailed);
    const std::string local = localPathBelow(app->appDir, "{app}", zip);
    if (zip.empty() || local.empty())
        return failOperation(index, texts::kInstallFailed);
    if (!platform::dirExists(app->appDir))
        platform::createDir(app->appDir.substr(0, app->appDir.size() - 1));
    m_downloader.DownFile(toAnsi(app->DirUrl + zip), toAnsi(local), toAnsi(app->appDir), 5,
                          app->appID);
}

void TVX_JS::onUpdateDescriptor(const std::string& index, const std::string& reply) {
    if (reply.empty() || !icontains(reply, "<zipFile>"))
        return failOperation(index, texts::kUpdateFailed);
    auto doc = std::make_shared<pugi::xml_document>();
    if (!xml::parse(*doc, reply))
        return failOperation(index, texts::kUpdateFailed);
    pugi::xml_node files = xml::findElement(doc->document_element(), "updateFile");
    int32_t id = 0;
    TMyApp* app = parseInt32(index, id) ? FindApp(id) : nullptr;
    if (!files || !app)
        return failOperation(index, texts::kUpdateFailed);
    // The installed files' digests are read on worker threads (an application may hold
    // gigabytes); the operation goes on here when they are known.
    auto entries = std::make_shared<std::vector<UpdateEntry>>(
        listEntries(files, app->DirUrl, app->appDir));
    std::vector<std::string> paths;
    for (const auto& e : *entries)
        paths.push_back(e.local);
    computeDigests(std::move(paths), app->appDir + std::string(kDigestCacheName),
                   [this, index, id, doc, entries](std::vector<Digest> digests) {
        TMyApp* app = FindApp(id);
        if (!app)
            return failOperation(index, texts::kUpdateFailed);
        // An unreadable local file counts as changed.
        const DownloadList list = collectDownloads(*entries, [&](std::size_t i) {
            return digests[i] && (*entries)[i].md5 == *digests[i];
        });
        app->update = false;
        if (list.urls.empty()) {
            // Every file is already current: the installed descriptor becomes the new one.
            ++m_filesGeneration;
            (void)xml::save(*doc, app->VerFile);
            return failOperation(index, texts::kUpdateFailed);
        }
        // The new descriptor replaces the installed one once its files are in place, so that
        // a failed download keeps offering the update.
        m_pendingDescriptors[app->appID] = xml::serialize(*doc);
        m_downloader.DownFile(toAnsi(joinLines(list.urls)), toAnsi(joinLines(list.paths)), "",
                              5, app->appID);
    });
}

void TVX_JS::DownloadNotify(int32_t id, const std::string& textAnsi) {
    const std::string text = fromAnsi(textAnsi);
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
        if (!app) {
            // installBusy stays set under the box: an install started now would be cut off by
            // the restart. UpdateMain ends the check.
            ShowMsg(std::string(texts::kClientDownloaded));
            UpdateMain();
            return;
        }
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
        _RefreshApp();
        app->DownStatu.clear();
        return;
    }
    if (startsWithNoCase(text, "error:")) {
        // The download failed for good: end the operation so the next one may start.
        if (!app)
            return endClientCheck();
        endAppOperation();
        m_pendingDescriptors.erase(id);
        app->DownStatu =
            app->DownStatu == texts::kUpdating ? texts::kUpdateFailed : texts::kInstallFailed;
        pageCall(page::ST_setFlatDivAnlv(std::to_string(app->appID), texts::kInstallFailed));
        _RefreshApp();
        return;
    }
    ShowStatus(text);
}

// --- Client self-update --------------------------------------------------------------------------

void TVX_JS::CheckMainVer() {
    // The check does not wait for a running operation; it may only end its own hold.
    if (m_clientCheck == ClientCheck::None)
        m_clientCheck = installBusy ? ClientCheck::Beside : ClientCheck::Owner;
    installBusy = true;
    auto* worker =
        new THttpThread(BaseUrl + std::string(kClientDescriptor), "", "", "", nullptr,
                        kSendGetText, readTimeout);
    worker->FSendDone = [this](THttpThread*, PReturnInfo i) { onClientDescriptor(i->str); };
}

void TVX_JS::onClientDescriptor(const std::string& reply) {
    auto doc = std::make_shared<pugi::xml_document>();
    pugi::xml_node files;
    if (icontains(reply, "<verInfo>") && xml::parse(*doc, reply))
        files = xml::findElement(doc->document_element(), "updateFile");
    if (!files)
        return endClientCheck();
    const std::string updateDir = AppPath + "Update" + platform::kSeparator;
    auto entries = std::make_shared<std::vector<UpdateEntry>>(
        listEntries(files, BaseUrl + "apps/KVLMZ/", updateDir));
    // Every entry is compared with the running executable's digest, read off this thread.
    computeDigests({executablePath}, "", [this, entries, updateDir](std::vector<Digest> own) {
        const std::string ownMd5 = own.front().value_or("");
        const DownloadList list = collectDownloads(
            *entries, [&](std::size_t i) { return (*entries)[i].md5 == ownMd5; });
        if (list.urls.empty())
            return endClientCheck();
        if (!platform::dirExists(updateDir))
            platform::createDir(AppPath + "Update");
        m_downloader.DownFile(toAnsi(joinLines(list.urls)), toAnsi(joinLines(list.paths)), "",
                              5, 0);
    });
}

void TVX_JS::UpdateMain() {
    const bool windows = platform::kSeparator == '\\';
    const std::string exeName = fileNameOf(executablePath);
    const std::string script = joinPath(scriptFolder, windows ? "temp.bat" : "temp.sh");
    const std::string text =
        windows ? updateScriptWindows(AppPath, exeName) : updateScriptPosix(AppPath, exeName);
    // Whatever happens below, the client's own update ends here.
    endClientCheck();
    if (Status st = platform::writeFileAtomic(script, text); !st) {
        // Without the script the client could not come back: stay open and say why.
        ShowStatus("无法写入升级脚本：" + st.error());
        return;
    }
    if (!platform::runScriptDetached(script, scriptFolder)) {
        ShowStatus("无法启动升级脚本：" + script);
        return;
    }
    m_host.closeMainWindow();
}

// --- Link messages and the start page ------------------------------------------------------------

void TVX_JS::LinkNotify(const std::string& textAnsi) {
    LinkContext ctx{m_link, [this](bool show) { OpenTimer(show); },
                    [this](const std::string& t) { ShowStatus(t); },
                    [this](int32_t appID, const std::string& parma) {
                        RunApp(appID, parma, [this](const std::string& t) { ShowStatus(t); });
                    }};
    vx::LinkNotify(textAnsi, ctx);
}

void TVX_JS::LoadUserList() {
    for (const auto& call : userListCalls(UsersXml))
        pageCall(call);
}

std::vector<std::string> userListCalls(const std::string& usersXml) {
    std::vector<std::string> calls;
    pugi::xml_document doc;
    if (!platform::fileExists(usersXml) || !xml::load(doc, usersXml))
        return calls;
    for (pugi::xml_node e : doc.document_element().children()) {
        if (e.type() != pugi::node_element)
            continue;
        const std::string_view name = e.name();
        const std::string user = xml::attr(e, "User"), pwd = xml::attr(e, "Pwd");
        if (name == "User")
            calls.push_back(page::ST_writeUserList(user, pwd, !pwd.empty()));
        else if (name == "DefUser")
            calls.push_back(
                page::ST_writeUserForm(user, pwd, !pwd.empty(), xml::attr(e, "auto") == "true"));
    }
    return calls;
}

} // namespace vx
