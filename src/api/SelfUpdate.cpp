// The page API: the client's own update.

#include "api/UJsExterned.h"
#include "core/Log.h"

#include "api/ApiSupport.h"
#include "api/PageCalls.h"
#include "api/PageHost.h"
#include "core/Digests.h"
#include "core/MainThread.h"
#include "core/Signing.h"
#include "core/Trust.h"
#include "http/HttpThread.h"
#include "link/HelperLibraries.h"
#include "platform/Platform.h"

#include <charconv>
#include <filesystem>
#include <memory>

namespace vx {

using namespace api;

// --- Client self-update --------------------------------------------------------------------------

namespace {

std::filesystem::path fsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// The release being installed by the update script, and one that it had to put back: the
// SHA-256 of its descriptor, in the client's Config folder.
std::string pendingReleaseFile() { return ConfigPath + "ClientUpdate.pending"; }
std::string refusedReleaseFile() { return ConfigPath + "ClientUpdate.refused"; }

std::string readSmallFile(const std::string& path) {
    platform::SharedReadFile f;
    if (!f.open(path))
        return {};
    char buf[256];
    const long long n = f.read(buf, sizeof buf);
    return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
}

// What an earlier, unfinished update left directly in Update/ and below it, apart from a
// running script's own backup and markers: only this run's verified download may be moved in.
void clearUpdateFolder(const std::string& updateDir) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(fsPath(updateDir), ec), end; !ec && it != end;
         it.increment(ec)) {
        const auto name = it->path().filename().u8string();
        if (name == u8"backup" || name == u8"healthy" || name == u8"rolledback" ||
            name == u8"started")
            continue;
        std::error_code gone;
        std::filesystem::remove_all(it->path(), gone);
    }
}

} // namespace

void TVX_JS::CheckMainVer() {
    // One check at a time: a second would download into the first one's folder.
    if (m_clientCheck != ClientCheck::None) {
        ShowStatus(std::string(texts::kClientCheckRunning));
        return;
    }
    // The check does not wait for a running operation; it may only end its own hold.
    m_clientCheck = installBusy ? ClientCheck::Beside : ClientCheck::Owner;
    installBusy = true;
    log::write("update", "the client's own update: checking " + BaseUrl + std::string(kClientDescriptor));
    fetchDescriptor(BaseUrl + std::string(kClientDescriptor), "",
                    [this](const std::string& text, const std::string& refusal) {
        if (!refusal.empty()) {
            // The page learns nothing of a failed check; the status line says why.
            ShowStatus(refusal);
            return endClientCheck();
        }
        onClientDescriptor(text);
    });
}

void TVX_JS::onClientDescriptor(const std::string& reply) {
    auto doc = std::make_shared<pugi::xml_document>();
    pugi::xml_node files;
    if (icontains(reply, "<verInfo>") && xml::parse(*doc, reply))
        files = xml::findElement(doc->document_element(), "updateFile");
    if (!files)
        return endClientCheck();
    const std::string url = BaseUrl + std::string(kClientDescriptor);
    const std::string version = trimSpaces(xml::elementText(doc->document_element(), "version"));
    if (Trust.signingRequired) {
        // A signed descriptor is the client's only when it is one: its root is verInfo and it
        // says which version it brings.
        if (std::string_view(doc->document_element().name()) != "verInfo" || version.empty())
            return endClientCheck();
        if (std::string why = rollbackRefusal(version, "", url, "client"); !why.empty()) {
            ShowStatus(why);
            return endClientCheck();
        }
    }
    // A release that its update script had to put back is not offered again until the
    // service's descriptor changes.
    const std::string sha = sha256Hex(reply);
    if (readSmallFile(refusedReleaseFile()) == sha) {
        ShowStatus(std::string(texts::kClientUpdateSkipped));
        return endClientCheck();
    }
    const std::string updateDir = AppPath + "Update" + platform::kSeparator;
    auto entries = std::make_shared<std::vector<UpdateEntry>>(
        listEntries(files, BaseUrl + "apps/KVLMZ/", updateDir));
    if (std::string why = digestRefusal(*entries, url); !why.empty()) {
        ShowStatus(why);
        return endClientCheck();
    }
    recordAccepted("client", version);
    const std::string version_ = version;
    // Every entry is compared with the running executable's digest of the entry's kind, read
    // off this thread.
    computeDigests(std::vector<DigestRequest>{{executablePath, DigestKind::Md5},
                                              {executablePath, DigestKind::Sha256}},
                   "", [this, entries, updateDir, sha, version_](std::vector<Digest> own) {
        const std::string ownMd5 = own[0].value_or(""), ownSha256 = own[1].value_or("");
        const DownloadList list = collectDownloads(*entries, [&](std::size_t i) {
            const UpdateEntry& e = (*entries)[i];
            return sameDigest(e, e.sha256.empty() ? ownMd5 : ownSha256);
        });
        if (list.urls.empty()) {
            log::write("update", "the client is current");
            return endClientCheck();
        }
        log::write("update", "new version " + version_ + ": downloading " + std::to_string(list.urls.size()) + " file(s)");
        if (!platform::dirExists(updateDir))
            platform::createDir(AppPath + "Update");
        clearUpdateFolder(updateDir);
        m_clientDownload.clear();
        for (const std::string& path : list.paths)
            if (path.size() > updateDir.size() && path.compare(0, updateDir.size(), updateDir) == 0 &&
                path.find_first_of("/\\", updateDir.size()) == std::string::npos)
                m_clientDownload.push_back(path.substr(updateDir.size())); // the script moves these alone
        m_clientDescriptorSha = sha;
        if (std::string why = startDownload(toAnsi(joinLines(list.urls)),
                                            toAnsi(joinLines(list.paths)), "", list.sha256s, 0);
            !why.empty()) {
            ShowStatus(why);
            endClientCheck();
        }
    });
}

namespace {

// How long the update script waits for the new client to confirm its start: config.xml's
// updatewait in seconds, 60 when missing or not a number of seconds the user could mean.
int updateWaitSeconds(std::string_view configured) {
    const auto first = configured.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return 60;
    configured = configured.substr(first, configured.find_last_not_of(" \t\r\n") + 1 - first);
    int seconds = 0;
    const char* end = configured.data() + configured.size();
    const auto [at, ec] = std::from_chars(configured.data(), end, seconds);
    if (ec != std::errc() || at != end || seconds < 1 || seconds > 3600)
        return 60;
    return seconds;
}

} // namespace

void TVX_JS::ClientLaunched() {
    const std::string updateDir = AppPath + "Update" + platform::kSeparator;
    if (platform::dirExists(updateDir + std::string(kUpdateBackupFolder)) &&
        !platform::fileExists(updateDir + std::string(kUpdateStartedMarker)))
        (void)platform::writeFileAtomic(updateDir + std::string(kUpdateStartedMarker),
                                        std::to_string(platform::currentProcessId()));
}

void TVX_JS::ClientStarted(bool loaded) {
    const std::string updateDir = AppPath + "Update" + platform::kSeparator;
    // Only a client that its update script waits for (the backup is there) confirms; the
    // script removes the backup and the marker once it has seen it.
    // A taken link port is reported, but the client runs: it confirms. Its process id tells
    // it from any other program that might write the marker.
    const bool waited = platform::dirExists(updateDir + std::string(kUpdateBackupFolder));
    if (loaded && waited && !platform::fileExists(updateDir + std::string(kUpdateHealthyMarker))) {
        (void)platform::writeFileAtomic(updateDir + std::string(kUpdateHealthyMarker),
                                        std::to_string(platform::currentProcessId()));
        log::write("update", "the new version started: confirmed to its update script");
    }
    const std::string undone = updateDir + std::string(kUpdateRolledBackMarker);
    std::error_code ec;
    if (platform::fileExists(undone)) {
        std::filesystem::remove(fsPath(undone), ec);
        // That release is not offered again until the service's descriptor changes.
        if (const std::string sha = readSmallFile(pendingReleaseFile()); !sha.empty())
            (void)platform::writeFileAtomic(refusedReleaseFile(), sha);
        std::filesystem::remove(fsPath(pendingReleaseFile()), ec);
        log::write("update", "the new version did not confirm its start: its script put the old one back");
        ShowStatus(std::string(texts::kClientRolledBack));
    } else if (!waited) {
        std::filesystem::remove(fsPath(pendingReleaseFile()), ec);
    }
}

void TVX_JS::UpdateMain() {
    const bool windows = platform::kSeparator == '\\';
    const std::string exeName = fileNameOf(executablePath);
    const std::string script = joinPath(scriptFolder, windows ? "temp.bat" : "temp.sh");
    const int wait = updateWaitSeconds(_GetConfigValue("updatewait"));
    // Only the verified download of this run is moved in; without one this is a restart.
    std::vector<std::string> files;
    for (const std::string& name : m_clientVerified)
        if (platform::fileExists(AppPath + "Update" + platform::kSeparator + name))
            files.push_back(name);
    m_clientVerified.clear();
    if (!files.empty())
        (void)platform::writeFileAtomic(pendingReleaseFile(), m_clientDescriptorSha);
    const std::string text = windows
                                 ? updateScriptWindows(AppPath, exeName, wait, !files.empty(),
                                                       clientProcessId)
                                 : updateScriptPosix(AppPath, exeName, wait, clientProcessId, files);
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
    log::write("update", "restarting through " + script + " (" + std::to_string(files.size()) + " file(s) to move)");
    m_host.closeMainWindow();
}

} // namespace vx

namespace vx {

void TVX_JS::clientDownloaded() {
    m_clientVerified = m_clientDownload;
    m_clientDownload.clear();
    log::write("update", "the new version is downloaded and checked");
    // The restart would cut off an install or update that runs beside the check.
    if (m_operation.running) {
        m_clientRestartPending = true;
        ShowStatus(std::string(texts::kClientRestartWaits));
        return;
    }
    // installBusy stays set under the box: an install started now would be cut off by the
    // restart. UpdateMain ends the check.
    ShowMsg(std::string(texts::kClientDownloaded));
    UpdateMain();
}

} // namespace vx
