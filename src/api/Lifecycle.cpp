// The page API: an installed application's life beside its install: running it, removing it,
// stopping an install or update that runs.

#include "api/UJsExterned.h"

#include "api/ApiSupport.h"
#include "api/PageCalls.h"
#include "link/HelperLibraries.h"
#include "link/LinkNotify.h"
#include "platform/Platform.h"

#include <filesystem>
#include <system_error>

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
    if (!isPlainFolderName(name))
        return std::nullopt;
    return fs::path(AppsPath) / fs::path(name);
}

} // namespace

std::string TVX_JS::_RunApp(const std::string& appid) {
    int32_t id = 0;
    const TMyApp* app = parseInt32(appid, id) ? FindApp(id) : nullptr;
    const std::string status = CheckAPP(app);
    if (status != kStatusNormal)
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
    if (isConnected(id))
        return std::string(texts::kUninstallWhileRunning);
    const auto dir = removableAppDir(app->appDir);
    if (!dir)
        return std::string(texts::kUninstallFailed);
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(*dir, ec);
    if (st.type() != fs::file_type::not_found) {
        if (ec || st.type() != fs::file_type::directory)
            return std::string(texts::kUninstallFailed);
        ++m_filesGeneration;
        fs::remove_all(*dir, ec);
        if (ec) {
            // Part of it may be gone: the page learns the status there is now.
            _RefreshApp();
            return std::string(texts::kUninstallFailed);
        }
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
