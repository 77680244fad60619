// The page API: the client's own update.

#include "api/UJsExterned.h"

#include "api/ApiSupport.h"
#include "api/PageCalls.h"
#include "api/PageHost.h"
#include "core/Digests.h"
#include "http/HttpThread.h"
#include "link/HelperLibraries.h"
#include "platform/Platform.h"

#include <charconv>
#include <filesystem>
#include <memory>

namespace vx {

using namespace api;

// --- Client self-update --------------------------------------------------------------------------

void TVX_JS::CheckMainVer() {
    // The check does not wait for a running operation; it may only end its own hold.
    if (m_clientCheck == ClientCheck::None)
        m_clientCheck = installBusy ? ClientCheck::Beside : ClientCheck::Owner;
    installBusy = true;
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
    const std::string updateDir = AppPath + "Update" + platform::kSeparator;
    auto entries = std::make_shared<std::vector<UpdateEntry>>(
        listEntries(files, BaseUrl + "apps/KVLMZ/", updateDir));
    const std::string url = BaseUrl + std::string(kClientDescriptor);
    if (std::string why = digestRefusal(*entries, url); !why.empty()) {
        ShowStatus(why);
        return endClientCheck();
    }
    // Every entry is compared with the running executable's digest of the entry's kind, read
    // off this thread.
    computeDigests(std::vector<DigestRequest>{{executablePath, DigestKind::Md5},
                                              {executablePath, DigestKind::Sha256}},
                   "", [this, entries, updateDir](std::vector<Digest> own) {
        const std::string ownMd5 = own[0].value_or(""), ownSha256 = own[1].value_or("");
        const DownloadList list = collectDownloads(*entries, [&](std::size_t i) {
            const UpdateEntry& e = (*entries)[i];
            return sameDigest(e, e.sha256.empty() ? ownMd5 : ownSha256);
        });
        if (list.urls.empty())
            return endClientCheck();
        if (!platform::dirExists(updateDir))
            platform::createDir(AppPath + "Update");
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

std::filesystem::path fsPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

} // namespace

void TVX_JS::ClientStarted(bool linkServerUp) {
    const std::string updateDir = AppPath + "Update" + platform::kSeparator;
    // Only a client that its update script waits for (the backup is there) confirms; the
    // script removes the backup and the marker once it has seen it.
    if (linkServerUp && platform::dirExists(updateDir + std::string(kUpdateBackupFolder)) &&
        !platform::fileExists(updateDir + std::string(kUpdateHealthyMarker)))
        (void)platform::writeFileAtomic(updateDir + std::string(kUpdateHealthyMarker), "");
    const std::string undone = updateDir + std::string(kUpdateRolledBackMarker);
    if (platform::fileExists(undone)) {
        std::error_code ec;
        std::filesystem::remove(fsPath(undone), ec);
        ShowStatus(std::string(texts::kClientRolledBack));
    }
}

void TVX_JS::UpdateMain() {
    const bool windows = platform::kSeparator == '\\';
    const std::string exeName = fileNameOf(executablePath);
    const std::string script = joinPath(scriptFolder, windows ? "temp.bat" : "temp.sh");
    const int wait = updateWaitSeconds(_GetConfigValue("updatewait"));
    const std::string text = windows ? updateScriptWindows(AppPath, exeName, wait)
                                     : updateScriptPosix(AppPath, exeName, wait);
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

} // namespace vx
