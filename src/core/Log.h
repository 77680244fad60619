#pragma once
// The client's one log, vxcenter.log in the user's state folder, for whoever supports a user:
// the start, page loads, logins, list merges, every operation with what the downloader said
// about it, the link server and the applications coming and going, the client's own update,
// and every status-line text (docs/operators.md, "The log").
//
// Lines are "<ISO time> [<thread>] [<area>] <event>". The file is readable by its owner only,
// rotates at 1 MiB and three files are kept (vxcenter.log, vxcenter.1.log, vxcenter.2.log).
// A thread of its own writes it: write() never blocks the caller and never fails; when the
// queue is full the oldest lines go, and a full disk loses lines, not work.
//
// Nothing secret is written: every event passes redact() first, and callers never hand it a
// password, a cookie or a key.

#include <string>
#include <string_view>

namespace vx::log {

// The user's state folder: $XDG_STATE_HOME/vxcenter, else ~/.local/state/vxcenter (POSIX);
// %LOCALAPPDATA%\vxcenter (Windows). Empty when none can be told.
std::string defaultFolder();

// Opens the log in `folder` (made owner-only when missing). False when it cannot be opened:
// the client then runs without a log. A second start replaces the first.
bool start(const std::string& folder);
// Writes what is queued and closes the log.
void stop();
// Waits until every line written so far is in the file (tests, diagnostics).
void flush();
bool started();

// One event. Areas: "client", "page", "login", "catalogue", "operation", "downloader",
// "link", "update", "status".
void write(std::string_view area, std::string_view event);

// The text with what must never be logged taken out: the value of every u=, uid=, pwd=, pws=,
// password=, token= and key= parameter, and every "Authorization" or "Cookie" header value,
// becomes "***".
std::string redact(std::string_view text);

// The file's name and its size limit, for tests.
inline constexpr const char* kFileName = "vxcenter.log";
inline constexpr std::size_t kMaxBytes = 1024 * 1024;
inline constexpr std::size_t kFiles = 3;

} // namespace vx::log
