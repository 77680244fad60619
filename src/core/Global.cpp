#include "core/Global.h"

#include <cstdio>

#include "core/Text.h"
#include "core/Xml.h"
#include "platform/Platform.h"

#ifndef VX_BASE_URL
#define VX_BASE_URL "http://127.0.0.1:18080/"
#endif

namespace vx {

std::string AppPath;
std::string ConfigPath;
std::string AppsPath;
std::string ImgsPath;
std::string ConfigXml;
std::string UsersXml;

const char* const kBuildBaseUrl = VX_BASE_URL;
std::string BaseUrl = VX_BASE_URL;
std::string BaseUrlNoSlash = std::string(BaseUrl, 0, BaseUrl.size() - 1);

std::string Title;
std::string SalesID;
std::string AgentID;
TUserInfo UserInfo;
std::vector<std::unique_ptr<TMyApp>> AppList;

namespace {
ShowMsgHook g_showMsgHook;
}

void SetBaseUrl(std::string_view url) {
    BaseUrl = std::string(url);
    if (BaseUrl.empty() || BaseUrl.back() != '/')
        BaseUrl += '/';
    BaseUrlNoSlash = BaseUrl.substr(0, BaseUrl.size() - 1);
}

TMyApp* FindApp(int32_t appID) {
    for (const auto& app : AppList)
        if (app->appID == appID)
            return app.get();
    return nullptr;
}

TMyApp& AddApp(int32_t appID) {
    AppList.push_back(std::make_unique<TMyApp>());
    AppList.back()->appID = appID;
    return *AppList.back();
}

std::optional<std::string> InstalledVersion(const std::string& verFile) {
    if (!platform::fileExists(verFile))
        return std::nullopt;
    pugi::xml_document doc;
    // An unreadable or malformed local descriptor reads as an empty version, which differs
    // from any offered version: the user is offered an update that repairs it.
    std::string local;
    if (xml::load(doc, verFile))
        local = xml::elementText(doc.document_element(), "version");
    return local;
}

std::string AppStatus(const TMyApp& app, const std::optional<std::string>& installedVersion) {
    if (!app.DownStatu.empty())
        return app.DownStatu;
    if (!installedVersion)
        return std::string(kStatusNotInstalled);
    return *installedVersion != app.version ? std::string(kStatusUpgradable)
                                            : std::string(kStatusNormal);
}

std::string AppStatus(const TMyApp& app) {
    if (!app.DownStatu.empty())
        return app.DownStatu;
    return AppStatus(app, InstalledVersion(app.VerFile));
}

std::string AppStatus(int32_t appID) {
    const TMyApp* app = FindApp(appID);
    return app ? AppStatus(*app) : std::string(kStatusNotAdded);
}

void InitSharedState() { InitSharedState(platform::executablePath()); }

void InitSharedState(const std::string& executablePath) {
    const std::string sep(1, platform::kSeparator);
    auto cut = executablePath.find_last_of(platform::kSeparator == '/' ? "/" : "\\/");
    AppPath = cut == std::string::npos ? std::string() : executablePath.substr(0, cut + 1);
    ConfigPath = AppPath + "Config" + sep;
    AppsPath = AppPath + "apps" + sep;
    ImgsPath = AppPath + "imgs" + sep;
    ConfigXml = ConfigPath + "config.xml";
    UsersXml = ConfigPath + "Users.xml";
    platform::createDir(AppsPath.substr(0, AppsPath.size() - 1));
    AppList.clear();
    EnableDebugPrivilege();
}

void SetShowMsgHook(ShowMsgHook hook) { g_showMsgHook = std::move(hook); }

void ShowMsg(const std::string& text) {
    if (g_showMsgHook)
        g_showMsgHook(Title, text);
    else
        std::fprintf(stderr, "[%s] %s\n", Title.c_str(), text.c_str());
}

void EnableDebugPrivilege() { platform::enableDebugPrivilege(); }

} // namespace vx
