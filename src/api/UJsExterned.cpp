#include "api/UJsExterned.h"
#include "core/Log.h"

#include "api/ApiSupport.h"

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

using namespace api;

bool installBusy = false;

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
    : executablePath(platform::executablePath()), clientProcessId(platform::currentProcessId()),
      m_host(host), m_link(link),
      m_downloader(downloader) {
    std::error_code ec;
    scriptFolder = std::filesystem::current_path(ec).string();
}

// --- Page calls ---------------------------------------------------------------------------

void TVX_JS::pageCall(const std::string& script) {
    if (m_host.hasBrowserView())
        m_host.executeInMainFrame(script);
}

void TVX_JS::ShowStatus(const std::string& text) {
    log::write("status", text);
    pageCall(page::ST_softStatu(text));
}

void TVX_JS::sendLink(int32_t appId, std::string_view payload) {
    m_link.sendToApp(linkMessage(appId, payload));
}

// --- Link messages and the start page ------------------------------------------------------------

namespace {

// The application id of the link server's report that an application connected (+1) or
// left (-1); 0 for every other message.
int linkPresence(const std::string& text, int32_t& appId) {
    static constexpr std::string_view kOnline = "应用上线", kOffline = "应用下线";
    int delta = 0;
    if (text.rfind(kOnline, 0) == 0)
        delta = 1;
    else if (text.rfind(kOffline, 0) == 0)
        delta = -1;
    else
        return 0;
    const auto at = text.find("appID=");
    if (at == std::string::npos)
        return 0;
    std::size_t end = at + 6;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
        ++end;
    return parseInt32(text.substr(at + 6, end - at - 6), appId) ? delta : 0;
}

} // namespace

void TVX_JS::LinkNotify(const std::string& textAnsi) {
    int32_t appId = 0;
    const int presence = linkPresence(fromAnsi(textAnsi), appId);
    if (presence != 0)
        log::write("link", (presence > 0 ? "application online: " : "application offline: ") +
                               std::to_string(appId));
    if (const int delta = presence; delta > 0) {
        ++m_connections[appId];
    } else if (delta < 0) {
        if (auto it = m_connections.find(appId); it != m_connections.end() && --it->second <= 0)
            m_connections.erase(it);
    }
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
