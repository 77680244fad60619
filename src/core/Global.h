#pragma once
// The client's shared state: the application and user records, the paths derived from the
// executable, the service base URL, the configured values and the one application list.
// Everything here lives for the whole process and is touched on the main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

// One application of the user's list. Created with every field zero, false or empty.
struct TMyApp {
    int32_t appID = 0;          // key of AppList
    int32_t itemIndex = 0;      // unused
    bool showStatu = false;     // catalogue "Statu" is "显示"
    bool nessary = false;       // catalogue "nessary" is "是": left out of status reports
    bool update = false;        // cleared when an update's file list has been processed
    std::string appPrice;       // passed on to the running application
    std::string appName;
    std::string sortIDs;
    std::string appDir;         // AppsPath + Dir + separator: the install folder
    std::string MainFile;       // executable, relative to appDir
    std::string logoFile;       // appDir + Ico
    std::string logoUrl;        // DirUrl + Ico
    std::string VerUrl;         // DirUrl + "version.xml"
    std::string VerFile;        // appDir + "version.xml"; exists when installed
    std::string DirUrl;         // BaseUrl + "apps/" + Dir + "/"
    std::string note;
    std::string VideoImg;       // appDir + Img
    std::string VideoUrl;       // help URL, passed on to the running application
    std::string VideoImgUrl;    // DirUrl + Img
    std::string version;        // the version the catalogue offers
    std::string DownStatu;      // state of the running or last failed install or update
    std::string myAppVersionName;
};

// The logged-in user.
struct TUserInfo {
    std::string user;
    std::string pwd;    // unused
    std::string aid;    // agent id of the account
    std::string uid;    // user id: the only field other parts read
    std::string qq;
    std::string mobile; // unused
};

// --- Paths (folders end with the system's separator) -----------------------------------
extern std::string AppPath;    // folder of the running executable
extern std::string ConfigPath; // AppPath + "Config" + separator
extern std::string AppsPath;   // AppPath + "apps" + separator
extern std::string ImgsPath;   // AppPath + "imgs" + separator
extern std::string ConfigXml;  // ConfigPath + "config.xml"
extern std::string UsersXml;   // ConfigPath + "Users.xml"

// --- Service base URL --------------------------------------------------------------------
// The build's base URL (the VX_BASE_URL build setting), ending in "/".
extern const char* const kBuildBaseUrl;
// The base URL in use, with and without its final "/". Start as the build's base URL.
extern std::string BaseUrl;
extern std::string BaseUrlNoSlash;
// Points the process at another service (tests and tools; the client never calls it).
// A missing final "/" is added.
void SetBaseUrl(std::string_view url);

// --- Configured and run-time values -------------------------------------------------------
extern std::string Title;   // product title; empty until config.xml has been read
extern std::string SalesID;
extern std::string AgentID;
extern TUserInfo UserInfo;

// The user's applications in order of first appearance. Records are never removed or
// moved, so a TMyApp* stays valid for the life of the process.
extern std::vector<std::unique_ptr<TMyApp>> AppList;

// The first record of AppList whose appID matches; nullptr when none does.
TMyApp* FindApp(int32_t appID);
// Appends a new empty record with the given id and returns it (it never checks for an
// existing one: callers look the id up first).
TMyApp& AddApp(int32_t appID);

// Status texts of an application.
inline constexpr std::string_view kStatusNotAdded = "未添加";
inline constexpr std::string_view kStatusNotInstalled = "未安装";
inline constexpr std::string_view kStatusUpgradable = "有升级";
inline constexpr std::string_view kStatusNormal = "正常";

// The status word of an application: DownStatu when set, else "未安装" without VerFile,
// else "有升级" when VerFile's first <version> differs from the catalogue's version, else
// "正常".
std::string AppStatus(const TMyApp& app);
// The installed descriptor's version as AppStatus reads it: nullopt without VerFile, "" for
// one that cannot be read or parsed.
std::optional<std::string> InstalledVersion(const std::string& verFile);
// AppStatus with the installed version already known (read off the main thread).
std::string AppStatus(const TMyApp& app, const std::optional<std::string>& installedVersion);
// The status of an application id; "未添加" when AppList does not hold it.
std::string AppStatus(int32_t appID);

// Computes every path from the executable's full path, creates AppsPath (one level,
// failure ignored; ConfigPath is never created), empties AppList and enables the debug
// privilege. Without an argument the running executable's path is used.
void InitSharedState();
void InitSharedState(const std::string& executablePath);

// Shows a modal message box captioned with Title (one OK button, no owner window). The
// shell sets the hook that shows it; without one the text goes to standard error.
using ShowMsgHook = std::function<void(const std::string& caption, const std::string& text)>;
void SetShowMsgHook(ShowMsgHook hook);
void ShowMsg(const std::string& text);

// Enables SeDebugPrivilege on Windows; nothing elsewhere. Failures are ignored.
void EnableDebugPrivilege();

} // namespace vx
