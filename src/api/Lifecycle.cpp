// The page API: an installed application's life beside its install: running it, removing it,
// stopping an install or update that runs.

#include "api/UJsExterned.h"

#include "api/ApiSupport.h"
#include "api/PageCalls.h"
#include "core/Background.h"
#include "link/HelperLibraries.h"
#include "link/LinkNotify.h"
#include "platform/Platform.h"

#include <atomic>
#include <filesystem>
#include <system_error>
#include <chrono>

namespace vx {

using namespace api;

namespace {

namespace fs = std::filesystem;

// An application's folder as uninstall may remove it: a real folder (no link) directly below
// the applications folder. Empty otherwise.
std::optional<fs::path> removableAppDir(const std::string& appDir) {
    const std::string sep(1, platform::kSeparator);
    if (AppsPath.empty() || appDir.size() <= AppsPath.size() ||
        appDir.compare(0, AppsPath.size(), AppsPath) != 0)
        return std::nullopt;
    std::string name = appDir.substr(AppsPath.size());
    while (!name.empty() && (name.back() == '/' || name.back() == platform::kSeparator))
        name.pop_back();
    // Windows drops trailing dots and spaces from a name: "app." would be "app".
    if (!isPlainFolderName(name) || name.back() == '.' || name.back() == ' ')
        return std::nullopt;
    return fs::path(AppsPath) / fs::path(name);
}

std::atomic<unsigned> g_asideCounter{0};

} // namespace

std::string TVX_JS::_RunApp(const std::string& appid) {
    int32_t id = 0;
    const TMyApp* app = parseInt32(appid, id) ? FindApp(id) : nullptr;
    const std::string status = CheckAPP(app);
    // A failed update leaves the old files whole (the downloader places all or nothing):
    // the installed version runs.
    const bool oldIntact = status == texts::kUpdateFailed &&
                           InstalledVersion(app->VerFile).has_value();
    if (status != kStatusNormal && !oldIntact)
        return status;
    if (isConnected(id)) {
        sendLink(id, "ShowForm?a");
        return std::string(texts::kAppRunning);
    }
    RunApp(id, "", [this](const std::string& t) { ShowStatus(t); });
    return std::string(texts::kAppStarting);
}

std::string TVX_JS::_UninstallApp(const std::string& appid) {
    if (installBusy)
        return std::string(texts::kBusy);
    int32_t id = 0;
    TMyApp* app = parseInt32(appid, id) ? FindApp(id) : nullptr;
    if (!app)
        return std::string(kStatusNotAdded);
    // A program the client started from the folder is refused like a connected one, even
    // before it has registered on the link.
    if (isConnected(id) || platform::startedProgramRuns(app->appDir))
        return std::string(texts::kUninstallWhileRunning);
    const auto dir = removableAppDir(app->appDir);
    if (!dir)
        return std::string(texts::kUninstallFailed);
    // A folder that another record names too is not this application's alone.
    for (const auto& other : AppList)
        if (other->appID != id && removableAppDir(other->appDir) == dir)
            return std::string(texts::kUninstallFailed);
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(*dir, ec);
    if (st.type() != fs::file_type::not_found) {
        if (ec || st.type() != fs::file_type::directory)
            return std::string(texts::kUninstallFailed);
        // One rename takes the whole folder out of the way, so that a kill never leaves its
        // version.xml beside half of its files; the hidden name is removed off the main
        // thread, or by the next start (removeUninstalled).
        const fs::path aside =
            fs::path(AppsPath) / ("." + dir->filename().string() + std::string(kUninstalledMarker) +
                                  std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
                                  "-" + std::to_string(g_asideCounter++));
        fs::rename(*dir, aside, ec);
        if (ec)
            return std::string(texts::kUninstallFailed); // nothing is deleted
        ++m_filesGeneration;
        runInBackground([aside = aside.string()] { return platform::removeTree(aside); },
                        [](bool) {});
    }
    m_pendingDescriptors.erase(id);
    app->DownStatu.clear();
    app->update = false;
    const std::string status = AppStatus(*app);
    pageCall(page::ST_icoStatu(std::to_string(id), status));
    return status;
}

std::string TVX_JS::_CancelInstall(const std::string& appid) {
    int32_t id = 0;
    if (!parseInt32(appid, id) || id == 0 || !m_operation.running || m_operation.appId != id ||
        m_operation.cancelling)
        return {};
    if (!m_downloader.canCancelDown()) {
        ShowStatus(std::string(texts::kCancelUnsupported));
        return {};
    }
    if (m_operation.downloading) {
        // Refused: the download has already decided on its end, which is on its way.
        if (!m_downloader.CancelDown(id))
            return {};
        ++m_cancelledDownloads[id];
    }
    // The steps still under way (a descriptor request, digests) see the operation gone.
    ++m_operation.serial;
    m_pendingDescriptors.erase(id);
    if (TMyApp* app = FindApp(id))
        app->DownStatu.clear();
    ++m_filesGeneration;
    pageCall(page::ST_setFlatDivAnlv(std::to_string(id), texts::kCancelled));
    if (m_operation.downloading) {
        // The library undoes what it placed before its final "已取消" (DownloadNotify): until
        // then the operation holds, so nothing else starts on files still being put back,
        // and the statuses are read once they are.
        m_operation.cancelling = true;
        return std::string(texts::kCancelled);
    }
    endAppOperation();
    _RefreshApp();
    return std::string(texts::kCancelled);
}

} // namespace vx

namespace vx {

void removeUninstalled(const std::string& appsFolder) {
    std::error_code ec;
    std::vector<std::string> gone;
    for (fs::directory_iterator it(appsFolder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() > 1 && name[0] == '.' && name.find(kUninstalledMarker) != std::string::npos &&
            it->is_directory(ec) && !it->is_symlink(ec))
            gone.push_back(it->path().string());
    }
    for (const auto& path : gone)
        (void)platform::removeTree(path);
}

} // namespace vx
