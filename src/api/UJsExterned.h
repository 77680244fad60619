#pragma once
// TVX_JS: the one page-API object. The page calls its operations as native functions (the
// script bridge exposes them in the declared order below); it reports back through page
// calls. Every operation runs on the main thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>
#include <string>
#include <string_view>

#include "api/Queue.h"
#include "core/Digests.h"
#include "core/Global.h"
#include "core/Text.h"
#include "platform/Platform.h"

namespace pugi {
class xml_document;
}

namespace vx {

class IPageHost;
class ILinkServer;
class IDownloader;

// One application operation at a time: set while an install, an update or the client's own
// update check runs.
extern bool installBusy;

// An uninstalled application's folder is renamed to ".<name>.vxgone-PID-N" in the applications
// folder and removed from there.
inline constexpr std::string_view kUninstalledMarker = ".vxgone-";
// Removes what uninstalls left in the applications folder (a kill while one removed its
// folder). Any thread; the client calls it at its start.
void removeUninstalled(const std::string& appsFolder);

// Texts the page receives.
namespace texts {
inline constexpr std::string_view kLoginOk = "登录成功";
inline constexpr std::string_view kLoginTimeout = "登录超时，请检查网络";
inline constexpr std::string_view kLoginNotAdmin =
    "亲，您不是以管理员身份登录系统，部分功能将无法正常使用";
inline constexpr std::string_view kLoginBadReply = "登录失败，服务器返回的数据无效";
inline constexpr std::string_view kListFailed = "获取应用失败";
inline constexpr std::string_view kAdding = "正在添加";
inline constexpr std::string_view kAdded = "添加完成";
inline constexpr std::string_view kAddFailed = "添加失败";
inline constexpr std::string_view kInstalling = "正在安装";
inline constexpr std::string_view kUpdating = "正在升级";
inline constexpr std::string_view kInstallFailed = "安装失败";
inline constexpr std::string_view kUpdateFailed = "升级失败";
inline constexpr std::string_view kInstallDone = "安装完成";
inline constexpr std::string_view kUpdateDone = "升级完成";
inline constexpr std::string_view kBusy = "有应用正在安装，请稍候再试...";
inline constexpr std::string_view kBusyAfterAdd = "有应用正在安装，请稍候点击安装...";
inline constexpr std::string_view kDone = "完成";
inline constexpr std::string_view kClientDownloaded =
    "主程序新版本下载完成，点击确定 重起 并 升级 软件";
// The new client did not confirm its start: its update script put the old files back.
inline constexpr std::string_view kClientRolledBack = "新版本未能正常启动，已恢复原版本";
// CheckMainVer while a check runs.
inline constexpr std::string_view kClientCheckRunning = "正在检查主程序新版本，请稍候";
// The client's download is complete while an application operation runs.
inline constexpr std::string_view kClientRestartWaits =
    "主程序新版本已下载，当前应用的安装或升级结束后将重启升级";
// The service offers again the very release that was put back.
inline constexpr std::string_view kClientUpdateSkipped = "该主程序新版本曾未能正常启动，已跳过";
// _RunApp: the application was connected and is asked to show itself / it is being started.
inline constexpr std::string_view kAppRunning = "已运行";
inline constexpr std::string_view kAppStarting = "正在启动";
// _UninstallApp: refused while the application is connected; its folder could not go.
inline constexpr std::string_view kUninstallWhileRunning = "应用正在运行，请先关闭后再卸载";
inline constexpr std::string_view kUninstallFailed = "卸载失败";
// _CancelInstall: the operation was stopped / the downloader offers no way to stop it.
inline constexpr std::string_view kCancelled = "已取消";
inline constexpr std::string_view kCancelUnsupported = "下载器不支持取消安装";
// Secure delivery (docs/security.md), each followed by the address it is about: a descriptor
// without the signature config.xml's keys require, or with one none of them made; a
// descriptor whose files lack the SHA-256 the keys require, or carry a malformed one; a
// server whose certificate did not verify.
inline constexpr std::string_view kSignatureMissing = "描述文件没有签名，已拒绝：";
inline constexpr std::string_view kSignatureInvalid = "描述文件签名无效，已拒绝：";
inline constexpr std::string_view kDigestMissing = "描述文件缺少SHA256校验值，已拒绝：";
inline constexpr std::string_view kDigestMalformed = "描述文件的SHA256校验值无效，已拒绝：";
inline constexpr std::string_view kCertificateFailed = "证书验证失败：";
// A signed descriptor older than the installed one (a replayed old release).
inline constexpr std::string_view kVersionRollback = "描述文件的版本比已安装的旧，已拒绝：";
// A signed application descriptor that names no application, or another than the record it
// was fetched for (or the folder's installed descriptor names another).
inline constexpr std::string_view kDescriptorOtherApp = "描述文件不属于该应用，已拒绝：";
// A signed descriptor whose <expires> has passed (or cannot be read).
inline constexpr std::string_view kDescriptorExpired = "描述文件已过期，已拒绝：";
// Signed descriptors are required, and the downloader cannot check SHA-256.
inline constexpr std::string_view kDownloaderUnchecked = "下载器不支持SHA256校验，已拒绝下载";
// The download queue (docs/page-api.md): waiting for its turn; stopped with its partial
// files kept.
inline constexpr std::string_view kQueued = "排队中";
inline constexpr std::string_view kPaused = "已暂停";
// Verification and repair of an installed application's files.
inline constexpr std::string_view kVerifying = "正在校验";
inline constexpr std::string_view kFilesIntact = "文件完整";
inline constexpr std::string_view kFilesDamagedPrefix = "文件损坏：";
inline constexpr std::string_view kRepairing = "正在修复";
inline constexpr std::string_view kRepairDone = "修复完成";
inline constexpr std::string_view kRepairFailed = "修复失败";
// The installed descriptor names no files and no record of the package's entries is kept.
inline constexpr std::string_view kCannotVerify = "无法校验：没有文件清单";
// "磁盘空间不足：需要 N MB，可用 M MB" (N rounded up, M down, in MiB).
std::string diskSpaceShort(unsigned long long needed, unsigned long long available);
inline constexpr std::string_view kDiskSpacePrefix = "磁盘空间不足：";
} // namespace texts

class TVX_JS {
public:
    TVX_JS(IPageHost& host, ILinkServer& link, IDownloader& downloader);
    TVX_JS(const TVX_JS&) = delete;
    TVX_JS& operator=(const TVX_JS&) = delete;

    // Fields, in declared order (the page sees their values at registration).
    std::string process; // purpose of the pending list or add request: "登录", "安装" or ""
    std::string ckPwd;
    std::string ckAuto;
    std::string _User;
    std::string _pwd;
    std::string _uid;
    std::string _productID;

    // Operations, in declared order.
    void _LoginFun(const std::string& user, const std::string& pwd, const std::string& savePwd,
                   const std::string& autoLogin);
    std::string _GetProductID();
    std::string _GetUid();
    std::string _CheckAPP(const std::string& _appid);
    std::string CheckAPP(const TMyApp* info);
    void _GetMyApps();
    std::string _UpdateApp(const std::string& _appid);
    void _CheckAPPVer(TMyApp* info);
    void CheckMainVer();
    std::string _InstallApp(const std::string& _appid);
    void _DownApp(TMyApp* info);
    std::string _AddNewTestApp(const std::string& appid);
    void _RefreshApp();
    void _OpenTimer();
    void OpenTimer(bool bb);
    void _OpenURL(const std::string& url);
    void _OpenURLA(const std::string& url, int w, int h);
    void _OpenURLB(const std::string& url);
    std::string _GetUser();
    std::string _GetPwd();
    bool _CloseAutoLogin();
    void _SetAutoLogin(const std::string& _auto);
    std::string _GetAutoLogin();
    std::string _GetConfigValue(const std::string& _Name);
    void _ExcuteJs(const std::string& js);
    void UpdateMain();
    std::string _RunApp(const std::string& appid);
    std::string _UninstallApp(const std::string& appid);
    std::string _CancelInstall(const std::string& appid);
    // Beyond the first set: the download queue, pause and resume, the rate limit,
    // verification and repair.
    std::string _QueueApp(const std::string& appid);
    std::string _GetQueue();
    std::string _MoveInQueue(const std::string& appid, int position);
    std::string _RemoveFromQueue(const std::string& appid);
    std::string _PauseApp(const std::string& appid);
    std::string _ResumeApp(const std::string& appid);
    std::string _SetRateLimit(int kib);
    std::string _GetRateLimit();
    std::string _VerifyApp(const std::string& appid);
    std::string _RepairApp(const std::string& appid);
    // The client's own page while the service cannot be reached: the installed applications
    // of the last user (a JSON array), and a new try of the service's start page.
    std::string _GetOfflineApps();
    void _RetryOnline();

    // The start page could not load: the last user's applications come from the catalogue
    // cache (Config/Catalogue-<uid>.xml, written after every merged list) so that the
    // installed ones can be started and removed.
    void enterOffline();
    // The cache file of a user id.
    static std::string catalogueCacheFile(const std::string& uid);

    // The queue file (Config/Queue.xml by default) is read; the client calls it at its start.
    void loadQueue(const std::string& file);
    // The rate limit at start: the one _SetRateLimit remembered in `settingFile`
    // (Config/RateLimit), else config.xml's `configured` (KiB/s).
    void loadRateLimit(const std::string& settingFile, int configured);
    // FOR TESTS ONLY: the free space every check sees (nullopt: the file system's).
    static void setFreeSpaceForTests(std::optional<unsigned long long> bytes);

    // The downloader's callback, on the main thread: progress, "完成" or a status text.
    void DownloadNotify(int32_t id, const std::string& textAnsi);

    // The link server's callback, on the main thread: one message of an application.
    void LinkNotify(const std::string& textAnsi);
    // Sends the remembered users of Users.xml to the page (after the start page has loaded).
    void LoadUserList();
    // The start page has ended loading (`loaded`: without an error). A client started by its
    // update script confirms that it runs once its page has loaded, and a client put back by
    // it says so on the status line and refuses that release from now on.
    void ClientStarted(bool loaded);
    // The client has just started: when an update script waits for it, it leaves its process
    // id in Update/started, by which the Windows script tells its confirmation from any other
    // and ends it should it hang.
    void ClientLaunched();

    // Sends the status line text (nothing while the main window has no browser view).
    void ShowStatus(const std::string& text);
    // Sends one page call to the main frame.
    void pageCall(const std::string& script);

    // The running executable's full path (for the self-update; tests point it elsewhere).
    std::string executablePath;
    // How long a request to the service may go without data before it fails.
    std::chrono::milliseconds readTimeout{30000};
    // Folder where UpdateMain writes its script (the current working folder by default).
    std::string scriptFolder;
    // The process whose end the update script waits for (this one; 0 in tests: none).
    long clientProcessId = 0;
    // The digests of an application's installed files, kept beside its descriptor so that
    // an update check of unchanged files reads none of them.
    static constexpr std::string_view kDigestCacheName = "version.digests";
    // The service's descriptor of the client itself: BaseUrl + this.
    static constexpr std::string_view kClientDescriptor = "apps/KVLMZ/version.xml";

private:
    enum class Purpose { None, Login, Add };

    void requestList(Purpose purpose, const std::string& index);
    void onLoginReply(std::uint64_t login, const std::string& reply);
    // Each login is numbered: a reply of one that a later login superseded changes nothing.
    std::uint64_t m_logins = 0;
    // The installed version of each listed application's descriptor, by VerFile path.
    using InstalledVersions = std::unordered_map<std::string, std::optional<std::string>>;
    struct ListReply {
        std::shared_ptr<pugi::xml_document> doc; // null: a failed transfer, or not XML
        std::vector<TMyApp> apps; // the listed applications, read off the main thread
        InstalledVersions versions;
        // Those of the versions whose files held still while read, with their stamps, for
        // the remembered versions (installedVersionNow).
        std::unordered_map<std::string, std::pair<platform::FileStamp, std::optional<std::string>>>
            stamped;
        std::uint64_t generation = 0; // m_filesGeneration when the versions were read
    };
    // `uid`: the user the list was asked for. Replies are parsed off the main thread, where
    // a large one may take longer than a later small one; they are merged in the order they
    // arrived all the same, and one asked for a user who is no longer logged in is dropped.
    void parseListReply(Purpose purpose, const std::string& index, const std::string& reply,
                        const std::string& uid);
    void onListReply(Purpose purpose, const std::string& index, ListReply& reply);
    // Writes the user's catalogue cache off the main thread (owner-only, atomically).
    void saveCatalogueCache(const std::string& uid, const std::vector<TMyApp>& listed);
    struct ParsedList {
        Purpose purpose;
        std::string index, uid;
        ListReply reply;
    };
    std::map<std::uint64_t, ParsedList> m_parsedLists; // by arrival, waiting for their turn
    std::uint64_t m_listsArrived = 0, m_listsMerged = 0;
    // The statuses to the page; `known` (may be null) holds installed versions read before.
    void refreshStatuses(const InstalledVersions* known);
    // An installed descriptor's version, read again only when the file's stamp changed (or
    // on a volume that keeps no change times): a refresh of thousands of applications then
    // costs one look at each file, and the page's calls keep their order.
    std::optional<std::string> installedVersionNow(const std::string& verFile);
    struct KnownVersion {
        platform::FileStamp stamp;
        std::optional<std::string> version;
    };
    std::unordered_map<std::string, KnownVersion> m_knownVersions;
    std::unordered_map<std::uint64_t, bool> m_volumeKeepsChangeTimes;
    // Counts the client's own changes of installed files, so that versions read off the main
    // thread are not used once they may be stale.
    std::uint64_t m_filesGeneration = 0;
    // Marks an operation as running and fetches the application's descriptor; `step` handles
    // the reply (an install or an update).
    using DescriptorStep = void (TVX_JS::*)(const std::string& index, const std::string& reply);
    void requestDescriptor(TMyApp* info, DescriptorStep step);
    // Fetches a descriptor; when config.xml's keys require it, also its signature (url +
    // ".sig"), which must verify. `done` gets the descriptor's text, or an empty text for a
    // failed transfer, or a refusal (a status text for the user) and an empty text.
    using DescriptorDone = std::function<void(const std::string& text, const std::string& refusal)>;
    void fetchDescriptor(const std::string& url, const std::string& index, DescriptorDone done);
    // Starts the downloader with the SHA-256 items the descriptor gave (one per address, ""
    // for none), through the checking entry when any is given. A refusal text when the
    // downloads cannot be checked as config.xml requires; nothing is started then.
    std::string startDownload(const std::string& urls, const std::string& paths,
                              const std::string& folder, const std::vector<std::string>& sha256s,
                              int32_t appId);
    void onInstallDescriptor(const std::string& index, const std::string& reply);
    void onUpdateDescriptor(const std::string& index, const std::string& reply);
    void onClientDescriptor(const std::string& reply);
    void failOperation(const std::string& index, std::string_view state);
    // The answer for an application already queued, paused or running; nullopt otherwise.
    std::optional<std::string> underWay(const TMyApp& app) const;
    // Puts the application at the end of the queue ("排队中") and begins the next entry.
    std::string enqueue(TMyApp& app, QueuedKind kind);
    // The queue: begins its next entry when nothing runs and the user's list is known.
    void startNextQueued();
    void beginQueued(const QueuedApp& entry);
    // Stops the running operation of the queue: paused (`requeue`: put back at the head, for
    // a change of user). False when it can no longer stop (placement under way).
    bool stopQueued(bool requeue);
    void endStopped();
    DownloadQueue m_queue;
    bool m_queueReady = false; // the logged-in user's list has been merged
    std::string m_rateLimitFile;
    int m_rateLimitKib = 0;
    // Verification: the files of an installed application and the digest each must have.
    struct VerifyItem {
        std::string path, url, digest, sha256;
        DigestKind kind = DigestKind::Md5;
    };
    // Empty with `listed` false when nothing records what the files should be.
    std::vector<VerifyItem> verifyItems(const TMyApp& app, bool& listed, bool& packageOnly) const;
    // Hashes the items on workers (progress through ST_jdt) and hands the damaged ones on.
    void verifyFiles(int32_t id, std::vector<VerifyItem> items,
                     std::function<void(std::vector<VerifyItem> damaged)> done);
    std::map<int32_t, bool> m_verifying;
    void startRepair(TMyApp* app);
    // A refusal text when the file system of `folder` has less than `needed` bytes free.
    std::string spaceRefusal(const std::string& folder, unsigned long long needed) const;
    bool saveUsersXml();
    void sendLink(int32_t appId, std::string_view payload);

    // installBusy belongs to the operation that set it. The client's own update check does
    // not wait for a running application operation: it then runs beside it, and takes the
    // hold over when that operation ends first.
    enum class ClientCheck { None, Owner, Beside };
    void endAppOperation();
    void endClientCheck();
    ClientCheck m_clientCheck = ClientCheck::None;
    // The client's own update of this run: the names (directly in Update/) being downloaded,
    // those that arrived whole and checked ("完成"), the descriptor's SHA-256, and a restart
    // that waits for the running application operation.
    std::vector<std::string> m_clientDownload, m_clientVerified;
    std::string m_clientDescriptorSha;
    bool m_clientRestartPending = false;
    void clientDownloaded();

    // The running application operation (install or update). The serial tells the steps of
    // a cancelled operation, still under way on other threads, that they are no longer
    // wanted; `downloading` is set once the downloader has the operation.
    // `cancelling`: stopped by _CancelInstall while the downloader had it; it is held, and
    // with it installBusy, until the downloader's final "已取消", which comes once the library
    // has undone what it placed.
    struct AppOperation {
        bool running = false;
        bool downloading = false;
        bool cancelling = false;
        // From the queue: whose queue, stopped by _PauseApp or a change of user (the final
        // "已暂停" ends it), and the download's targets.
        bool queued = false;
        bool pausing = false;
        bool requeue = false;
        std::string queueUid;
        std::vector<std::string> targets;
        std::chrono::steady_clock::time_point began{};
        int32_t appId = 0;
        std::uint64_t serial = 0;
        // The record's folder and addresses as the operation began: a list refresh that
        // changes them meanwhile makes the record another one (operationApp).
        std::string appDir, verFile, verUrl, dirUrl;
    };
    AppOperation m_operation;
    // The operation's record while it still names the folder and addresses it began with.
    TMyApp* operationApp(const std::string& index);
    void beginAppOperation(int32_t appId);
    bool m_beginningQueued = false; // the operation being begun comes from the queue
    // Work posted to the main thread runs only while this object lives.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
    bool isCurrent(std::uint64_t serial) const {
        return m_operation.running && m_operation.serial == serial;
    }
    // Downloads stopped by _CancelInstall whose final "已取消" has not arrived yet: their
    // messages belong to an operation that has ended.
    std::map<int32_t, int> m_cancelledDownloads;

    // Open link connections per application id, from the link server's online/offline
    // reports.
    std::map<int32_t, int> m_connections;
    bool isConnected(int32_t appId) const { return m_connections.count(appId) != 0; }

    // Descriptors of running updates, written to VerFile when their files are in place.
    std::map<int32_t, std::string> m_pendingDescriptors;
    IPageHost& m_host;
    ILinkServer& m_link;
    IDownloader& m_downloader;
};

// The scripts of the self-update: wait, move the files directly in AppPath's Update folder
// over the installed ones (each replaced file into Update/backup first), start the client
// again and wait up to `waitSeconds` for it to write Update/healthy. Without that marker (or,
// POSIX, once the new client has exited) the old files go back, Update/rolledback is written
// and the old client starts. The Windows text is CR LF lines in the ANSI code page, its POSIX
// counterpart a UTF-8 sh script.
std::string updateScriptWindows(const std::string& appPath, const std::string& exeName,
                                int waitSeconds = 60, bool moveFiles = true,
                                long oldClientPid = 0);
// The POSIX script first waits for the old client (`oldClientPid`, 0: none) to end, and moves
// only the named `files` (names directly in Update/, the verified download of this run); with
// none it only restarts the client. The new client confirms by writing its process id into
// Update/healthy; the script takes no other.
std::string updateScriptPosix(const std::string& appPath, const std::string& exeName,
                              int waitSeconds = 60, long oldClientPid = 0,
                              const std::vector<std::string>& files = {});
// The self-update's markers, in AppPath's Update folder.
inline constexpr std::string_view kUpdateHealthyMarker = "healthy";
inline constexpr std::string_view kUpdateRolledBackMarker = "rolledback";
inline constexpr std::string_view kUpdateBackupFolder = "backup";
inline constexpr std::string_view kUpdateStartedMarker = "started";

// The page calls that hand the remembered users of a Users.xml to the page, in file order:
// ST_writeUserList for each User, ST_writeUserForm for DefUser.
std::vector<std::string> userListCalls(const std::string& usersXml);

// Merges a list reply of the service into AppList: new applications are appended, known ones
// updated in place. No folder is created: an application's folder is made when something is
// first written into it. False when the reply is not well-formed XML.
bool mergeAppList(const std::string& reply);
// The same for a parsed reply with a root element.
void mergeAppList(const pugi::xml_document& doc);
// The applications of a parsed list reply as records, without touching AppList (so any thread
// may call it): the ones the merge would take, with the addresses below `baseUrl` and the
// folders below `appsPath`.
std::vector<TMyApp> listedApps(const pugi::xml_document& doc, const std::string& baseUrl,
                               const std::string& appsPath);
// Merges records made by listedApps into AppList (main thread).
void mergeAppList(std::vector<TMyApp>&& listed);

// Maps a descriptor entry's folder onto a local path below `base`: every "{app}" (any case)
// becomes `base`, separators become the system's. Empty when the result would leave `base`
// (by "..", an absolute path elsewhere, or another drive).
std::string localPathBelow(const std::string& base, const std::string& dir,
                           const std::string& name);
// Every "{app}" (any letter case) in `text` replaced by `with`.
std::string replaceAppToken(std::string_view text, std::string_view with);

} // namespace vx
