// The page API while the service cannot be reached: the catalogue cache of the last user and
// the functions of the client's own offline page.

#include "api/UJsExterned.h"

#include "api/ApiSupport.h"
#include "api/PageHost.h"
#include "core/Background.h"
#include "core/JsString.h"
#include "platform/Platform.h"

#include <filesystem>

namespace vx {

using namespace api;

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCachePrefix = "Catalogue-";

// A user id as a file name: letters, digits, "-" and "_" stay, anything else is written as
// "%XX".
std::string cacheNameOf(const std::string& uid) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : uid) {
        if (std::isalnum(c) || c == '-' || c == '_') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string folderNameOf(const TMyApp& app) {
    std::string dir = app.appDir.size() > AppsPath.size() ? app.appDir.substr(AppsPath.size())
                                                          : std::string();
    while (!dir.empty() && (dir.back() == '/' || dir.back() == platform::kSeparator))
        dir.pop_back();
    return dir;
}

} // namespace

std::string TVX_JS::catalogueCacheFile(const std::string& uid) {
    return ConfigPath + std::string(kCachePrefix) + cacheNameOf(uid) + ".xml";
}

void TVX_JS::saveCatalogueCache(const std::string& uid, const std::vector<TMyApp>& listed) {
    if (uid.empty() || ConfigPath.empty())
        return;
    // The list reply's own form, so that the catalogue's reader takes it back; what a start
    // and an uninstall need, nothing about the user beyond his id in the name.
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("apps");
    for (const TMyApp& a : listed) {
        pugi::xml_node app = root.append_child("app");
        auto add = [&](const char* name, const std::string& value) {
            app.append_child(name).text() = value.c_str();
        };
        add("appId", std::to_string(a.appID));
        add("Name", a.appName);
        add("Dir", folderNameOf(a));
        add("MainFile", a.MainFile);
        add("Version", a.version);
        add("Statu", a.showStatu ? "显示" : "");
        add("nessary", a.nessary ? "是" : "");
        add("installed", platform::fileExists(a.VerFile) ? "1" : "0");
    }
    runInBackground(
        [file = catalogueCacheFile(uid), text = xml::serialize(doc)] {
            return static_cast<bool>(platform::writeFileAtomic(file, text, true));
        },
        [](bool) {});
}

void TVX_JS::enterOffline() {
    // The cache written last is the last user's.
    std::error_code ec;
    fs::path newest;
    fs::file_time_type newestTime{};
    for (fs::directory_iterator it(ConfigPath, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kCachePrefix, 0) != 0 || it->path().extension() != ".xml")
            continue;
        std::error_code e2;
        const auto when = fs::last_write_time(it->path(), e2);
        if (!e2 && (newest.empty() || when > newestTime))
            newest = it->path(), newestTime = when;
    }
    pugi::xml_document doc;
    if (newest.empty() || !xml::load(doc, newest.string()))
        return;
    auto listed = listedApps(doc, BaseUrl, AppsPath);
    // Nothing can be fetched while the service is away: an installed application counts as
    // current, so that it starts ("有升级" would refuse it). The next list sets the versions
    // the service offers.
    for (TMyApp& app : listed)
        if (auto installed = InstalledVersion(app.VerFile))
            app.version = *installed;
    mergeAppList(std::move(listed));
}

std::string TVX_JS::_GetOfflineApps() {
    std::string out = "[";
    for (const auto& app : AppList) {
        const std::string status = AppStatus(*app);
        if (status == kStatusNotInstalled || !InstalledVersion(app->VerFile))
            continue;
        if (out.size() > 1)
            out += ",";
        out += "{\"id\":" + jsStringLiteral(std::to_string(app->appID)) +
               ",\"name\":" + jsStringLiteral(app->appName) +
               ",\"version\":" + jsStringLiteral(InstalledVersion(app->VerFile).value_or("")) +
               ",\"status\":" + jsStringLiteral(status) + "}";
    }
    return out + "]";
}

void TVX_JS::_RetryOnline() { m_host.retryOnline(); }

} // namespace vx
