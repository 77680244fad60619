#pragma once
// The operating-system layer. One header, two implementations chosen by file name:
// Platform_posix.cpp and Platform_win.cpp. Texts are UTF-8 unless a name says "ansi".

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Expected.h"

namespace vx::platform {

// The folder separator of this system ("/" or "\").
extern const char kSeparator;

// Full path of the running executable; empty when the system cannot tell.
std::string executablePath();
// The id of this process.
long currentProcessId();

// --- Text -------------------------------------------------------------------------------

// The ANSI code page of non-Unicode programs (GetACP on Windows; 936 elsewhere).
unsigned ansiCodePage();
// UTF-8 to the ANSI code page. A character the code page cannot represent becomes its
// default character "?"; so does each maximal subpart of an invalid UTF-8 sequence (the
// longest start of a well-formed sequence, or else one byte), so the bytes after it are
// kept: "a\xE5Abc" gives "a?Abc", a truncated "\xE5\xAE" at the end one "?". Fails only
// when the system has no converter for the code page; pure ASCII never needs one.
Expected<std::string> utf8ToAnsi(std::string_view utf8);
// ANSI code page to UTF-8. Each byte that starts no character becomes U+FFFD. Fails only
// when the system has no converter for the code page; pure ASCII never needs one.
Expected<std::string> ansiToUtf8(std::string_view ansi);
// Decodes bytes in the named character set (an IANA or code-page name such as "utf-8",
// "gb2312", "iso-8859-1") to UTF-8. Undecodable bytes become U+FFFD. nullopt when the
// name denotes no character set known to the system.
std::optional<std::string> decodeCharset(std::string_view bytes, std::string_view charset);

// --- Processes --------------------------------------------------------------------------

// Splits a parameter text into arguments by the Windows command-line rules (the rules
// of CommandLineToArgvW for the arguments after the program name).
std::vector<std::string> splitCommandLine(std::string_view params);

// Starts `file` (relative to `folder` unless absolute) with the parameter text, detached,
// with `folder` as its working folder; never through a shell. False when it did not start.
bool shellOpen(const std::string& file, const std::string& params, const std::string& folder);

// True while a program that shellOpen started with `folder` as its working folder (the text
// as given) still runs. Programs started otherwise (through the task service, by the user)
// are not known here.
bool startedProgramRuns(const std::string& folder);

// Starts a command line as the user logged on at the desktop through the system's task
// service (Windows' WdcRunTaskAsInteractiveUser). False when the service is missing or
// refused; always false where no such service exists.
bool runTaskAsInteractiveUser(const std::string& commandLine, const std::string& folder);

// A new socket that no started program inherits (close-on-exec; on Windows not
// inheritable); -1 when it cannot be made.
std::intptr_t openPrivateSocket(int family, int type, int protocol);

// Opens a URL in the user's default browser. False when no opener could be started.
bool openUrl(const std::string& url);

// Runs a script file detached and hidden (a .bat on Windows, a sh script elsewhere). On
// Windows the script runs by its bare name in its own folder (see updateScriptCommandLine).
// False when it could not be started.
bool runScriptDetached(const std::string& scriptPath, const std::string& folder);

// The command line of the Windows command interpreter that runs a batch file by its bare
// name, from the working folder: no character of the folder's path ("(", "&", spaces, as in
// "Program Files (x86)") ever passes through the interpreter's parser, and /d skips the
// AutoRun commands of the registry. Empty for a name that is not plain (letters, digits,
// ".", "_", "-"). Built on every system so that it can be tested anywhere.
std::string updateScriptCommandLine(std::string_view scriptName);

// Major version of the operating system (Windows: 6 for Vista to 8.1, 10 for 10 and 11;
// elsewhere the kernel's major version).
int osMajorVersion();

// Enables SeDebugPrivilege for the process where the system has it; failures are ignored.
void enableDebugPrivilege();

// --- Proxy ------------------------------------------------------------------------------

// Where the system's settings send a web request. On POSIX those settings are the proxy
// environment variables, which libcurl reads by itself (http_proxy; https_proxy or
// HTTPS_PROXY; all_proxy or ALL_PROXY; no_proxy or NO_PROXY). On Windows they are the
// user's Internet Options (WinINet), which libcurl does not read.
struct SystemProxy {
    // libcurl is to pick the proxy from the environment variables itself.
    bool fromEnvironment = false;
    // Otherwise the proxy for the request as CURLOPT_PROXY takes it ("http://host:port",
    // "socks4://host:port"); empty for none.
    std::string proxy;
    // The hosts reached without it, as CURLOPT_NOPROXY takes them.
    std::string bypass;
};
// The system's proxy settings for a request to `url`, whose scheme picks a per-scheme proxy.
// An automatic configuration (a PAC script, auto-detection) is not evaluated; without a
// named proxy the request goes direct.
SystemProxy systemProxy(std::string_view url);

// --- Single instance --------------------------------------------------------------------

// A held per-session lock; released when destroyed.
class InstanceLock {
public:
    virtual ~InstanceLock() = default;
};
// Takes the per-session single-instance lock of the given name (a named mutex on Windows,
// an exclusive flock on $XDG_RUNTIME_DIR/<name>.lock elsewhere). nullptr when another
// process of this session holds it, or when it could not be created.
std::unique_ptr<InstanceLock> acquireInstanceLock(const std::string& name);

// --- Dynamic libraries ----------------------------------------------------------------

// A shared library loaded at run time; unloaded when destroyed.
class DynamicLibrary {
public:
    virtual ~DynamicLibrary() = default;
    // The address of an exported entry; nullptr when the library has none of that name.
    virtual void* symbol(const char* name) const = 0;
};
// Loads the library at the full path; the error says why it could not be loaded.
Expected<std::unique_ptr<DynamicLibrary>> loadLibrary(const std::string& path);
// The file name of a shared library of the given base name ("libX.so" or "X.dll").
std::string sharedLibraryFileName(std::string_view baseName);

// --- Files ------------------------------------------------------------------------------

// Writes `data` to a temporary file in the same folder and renames it over `path`, so the
// file is always either the old or the whole new content. With ownerOnly the new file is
// readable and writable by its owner alone (POSIX). The old file stays when this fails.
Status writeFileAtomic(const std::string& path, std::string_view data, bool ownerOnly = false);
// The bytes an unprivileged writer may still put on the file system holding `path` (the
// nearest existing folder of it); nullopt when it cannot be told.
std::optional<unsigned long long> freeSpace(const std::string& path);
// The folder below which a program keeps its user's state (logs): $XDG_STATE_HOME, else
// ~/.local/state (POSIX); %LOCALAPPDATA% (Windows). Empty when it cannot be told.
std::string userStateFolder();

// A file opened for reading that other processes may read, write and delete meanwhile.
class SharedReadFile {
public:
    SharedReadFile() = default;
    ~SharedReadFile();
    SharedReadFile(const SharedReadFile&) = delete;
    SharedReadFile& operator=(const SharedReadFile&) = delete;

    // Opens the file; the error names the path and the system's reason.
    Status open(const std::string& path);
    // Reads up to `size` bytes; 0 at the end; -1 on a read error.
    long long read(char* buffer, std::size_t size);

private:
    std::intptr_t m_handle = -1;
};

// Gives the owner the right to execute the file at `path` when it is a regular file (a link
// is never followed) that lacks it. True when the file is a regular file that its owner may
// execute afterwards. Windows has no such right: there it only checks for a regular file.
bool makeOwnerExecutable(const std::string& path);

// What tells one state of a file from another without reading it: its size, its times (to
// the system's resolution, in nanoseconds) and its identity on its volume. A write through
// any path or link changes the modification or change time; a replacement changes the
// identity.
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0; // last write
    std::int64_t changed = 0;  // last change of content or metadata (not settable by users)
    std::uint64_t volume = 0;
    std::uint64_t index = 0; // inode / file index
    bool operator==(const FileStamp&) const = default;
};
// The stamp of a regular file; nullopt when there is none (missing, a folder, unreadable).
std::optional<FileStamp> fileStamp(const std::string& path);
// The system clock in the unit of FileStamp's times.
std::int64_t fileClockNow();

// Removes a folder and everything in it. A link (on Windows any reparse point) is removed
// itself, never followed; a folder of another file system (a mount point) is left untouched,
// and so are the folders above it. False when anything of it is left.
bool removeTree(const std::string& path);

// False when the file system holding `path` keeps no change times (FAT, exFAT, and on Linux
// file systems in user space, which may be either): there a file replaced by another of the
// same size with its modification time kept looks unchanged. True otherwise, and when the
// system cannot tell.
bool keepsChangeTimes(const std::string& path);

// True when a file (not a folder) exists at the path.
bool fileExists(const std::string& path);
// True when a folder exists at the path.
bool dirExists(const std::string& path);
// Creates one folder level; false when it does not exist afterwards.
bool createDir(const std::string& path);
// Creates a folder and every missing parent; false when it does not exist afterwards.
bool createDirs(const std::string& path);

} // namespace vx::platform
