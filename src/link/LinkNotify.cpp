#include "link/LinkNotify.h"

#include <optional>
#include <vector>

#include "core/Global.h"
#include "core/Text.h"
#include "core/Trust.h"
#include "core/Xml.h"
#include "http/FormUrl.h"
#include "link/HelperLibraries.h"
#include "platform/Platform.h"

namespace vx {

namespace {

// Keywords in the order they are tested.
constexpr std::string_view kOnline = "应用上线";
constexpr std::string_view kOffline = "应用下线";
constexpr std::string_view kLoginInfo = "登陆信息";
constexpr std::string_view kRunApp = "运行应用";
constexpr std::string_view kCallOk = "调用成功";
constexpr std::string_view kAppInfo = "获取应用信息";
constexpr std::string_view kUserInfo = "获取用户信息";
constexpr std::string_view kStarted = "启动成功";
constexpr std::string_view kStartFailed = "启动失败";
constexpr std::string_view kRequestSeen = "收到应用请求";
constexpr std::string_view kServerError = "服务器错误";

constexpr std::string_view kKeywords[] = {kOnline,  kOffline,      kLoginInfo,   kRunApp,
                                          kCallOk,  kAppInfo,      kUserInfo,    kStarted,
                                          kStartFailed, kRequestSeen, kServerError};

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

// The parameters of a request: "keyword:" removed wherever it stands, "&" and line breaks
// separate the key=value lines.
class Params {
public:
    Params(std::string_view text, std::string_view keyword) {
        std::string marker = std::string(keyword) + ":";
        std::string t;
        for (std::size_t i = 0; i < text.size();) {
            if (startsWithNoCase(text.substr(i), marker)) {
                i += marker.size();
                continue;
            }
            t += text[i++];
        }
        std::string line;
        for (char c : t) {
            if (c == '&' || c == '\r' || c == '\n') {
                m_lines.push_back(std::move(line));
                line.clear();
            } else {
                line += c;
            }
        }
        m_lines.push_back(std::move(line));
    }

    std::string raw(std::string_view key) const {
        std::string prefix = std::string(key) + "=";
        for (const auto& l : m_lines)
            if (startsWithNoCase(l, prefix))
                return l.substr(prefix.size());
        return {};
    }

    std::optional<std::string> decoded(std::string_view key) const {
        auto bytes = FormUrlDecode(toAnsi(raw(key)));
        if (!bytes)
            return std::nullopt;
        return fromAnsi(*bytes);
    }

    std::optional<int32_t> integer(std::string_view key) const {
        int32_t n = 0;
        if (!parseInt32(raw(key), n))
            return std::nullopt;
        return n;
    }

private:
    std::vector<std::string> m_lines;
};

void send(LinkContext& ctx, int32_t appId, std::string_view payload) {
    ctx.server.sendToApp(linkMessage(appId, payload));
}

void sendError(LinkContext& ctx, int32_t appId, std::string_view what) {
    send(ctx, appId, "error?msg=" + linkEncode(what));
}

// A box opened from the link runs a modal loop, inside which further link messages are
// handled: a peer sending bad logins would otherwise stack one box inside another.
bool g_linkBoxOpen = false;

void showLinkBox(const std::string& text) {
    if (g_linkBoxOpen)
        return;
    g_linkBoxOpen = true;
    struct Reset {
        ~Reset() { g_linkBoxOpen = false; }
    } reset;
    ShowMsg(text);
}

void takeOverUser(const Params& p, LinkContext& ctx) {
    ctx.server.CloseAll();
    std::string TUserInfo::*fields[] = {&TUserInfo::user, &TUserInfo::qq, &TUserInfo::aid,
                                        &TUserInfo::uid};
    const char* keys[] = {"user", "qq", "aid", "uid"};
    for (int i = 0; i < 4; ++i) {
        auto v = p.decoded(keys[i]);
        if (!v) {
            showLinkBox("登陆失败");
            return;
        }
        UserInfo.*fields[i] = *v;
    }
    ctx.server.SetUid(toAnsi(UserInfo.uid));
    ctx.openTimer(false);
}

// A main file named by the service must stay inside the application's folder, like the
// folders of its files: no absolute path, no drive, no "..".
bool isSafeRelativePath(std::string_view name) {
    if (name.empty() || name.front() == '/' || name.front() == '\\' ||
        name.find(':') != std::string_view::npos)
        return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos)
            end = name.size();
        if (name.substr(start, end - start) == "..")
            return false;
        start = end + 1;
    }
    return true;
}

} // namespace

std::string linkEncode(std::string_view utf8) { return FormUrlEncode(toAnsi(utf8)); }

std::string linkMessage(int32_t appId, std::string_view payloadUtf8) {
    return "appID=" + std::to_string(appId) + "&parma=" + linkEncode(payloadUtf8);
}

void LinkNotify(const std::string& textAnsi, LinkContext& ctx) {
    const std::string text = fromAnsi(textAnsi);
    std::string_view keyword;
    for (auto k : kKeywords)
        if (startsWithNoCase(text, k)) {
            keyword = k;
            break;
        }
    if (keyword.empty())
        return;
    const Params p(text, keyword);

    if (keyword == kLoginInfo) {
        takeOverUser(p, ctx);
    } else if (keyword == kRunApp) {
        auto id = p.integer("appID");
        if (!id)
            return sendError(ctx, 0, "CallApp:参数错误");
        auto parma = p.decoded("parma");
        if (!parma)
            return sendError(ctx, *id, "CallApp:参数错误");
        ctx.runApp(*id, *parma);
    } else if (keyword == kAppInfo) {
        auto id = p.integer("MyID");
        if (!id)
            return sendError(ctx, 0, "GetAppInfo:参数错误");
        if (const TMyApp* app = FindApp(*id))
            send(ctx, *id,
                 "AppInfo?appPrice=" + linkEncode(app->appPrice) + "&myAppVersionName=" +
                     linkEncode(app->myAppVersionName) + "&help=" + linkEncode(app->VideoUrl));
        else
            send(ctx, *id, "Close?fdsa");
    } else if (keyword == kUserInfo) {
        auto id = p.integer("MyID");
        if (!id)
            return sendError(ctx, 0, "GetUserInfo:参数错误");
        send(ctx, *id, "UserInfo?uid=" + UserInfo.uid);
    } else if (keyword == kStarted) {
        ctx.showStatus(text);
    }
    // The events and the remaining keywords need nothing.
}

namespace {

// The installed descriptor of the record's folder is this application's and names the
// record's main file.
bool signedMainFile(const TMyApp& app) {
    pugi::xml_document doc;
    if (!xml::load(doc, app.VerFile))
        return false;
    const pugi::xml_node root = doc.document_element();
    const std::string owner = trimSpaces(xml::elementText(root, "appId"));
    if (!owner.empty() && owner != std::to_string(app.appID))
        return false;
    std::string named = trimSpaces(xml::elementText(root, "MainFile"));
    std::string listed = app.MainFile;
    for (std::string* p : {&named, &listed})
        for (char& c : *p)
            if (c == '\\')
                c = '/';
#ifdef _WIN32
    return !named.empty() && iequals(named, listed); // one file, whatever the case
#else
    return !named.empty() && named == listed;
#endif
}

} // namespace

void RunApp(int32_t appID, const std::string& parma,
            const std::function<void(const std::string&)>& showStatus) {
    try {
        const TMyApp* app = FindApp(appID);
        if (!app) {
            showStatus("参数错误!");
            return;
        }
        const std::string path = app->appDir + app->MainFile;
        if (app->MainFile.empty() || !platform::fileExists(path)) {
            showStatus("应用不存在：" + path);
            return;
        }
        // Under signed descriptors the list (which nobody signs) does not choose what runs:
        // only the main file that the installed descriptor names.
        if (Trust.signingRequired && !signedMainFile(*app)) {
            showStatus(std::string(kCannotStart) + path);
            return;
        }
        // Packages made on Windows, or by tools that keep no modes, unpack the main file
        // without its execute bit; a start would then fail.
        if (!isSafeRelativePath(app->MainFile) || !platform::makeOwnerExecutable(path)) {
            showStatus(std::string(kCannotStart) + path);
            return;
        }
        bool started = false;
        LaunchFile(app->MainFile, parma, app->appDir, &started);
        if (!started)
            showStatus(std::string(kCannotStart) + path);
    } catch (...) {
        // A failed start is not reported to anyone.
    }
}

} // namespace vx
