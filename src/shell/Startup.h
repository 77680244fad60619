#pragma once
// The process start of the client: shared state, the engine's settings, the single-instance
// guard and the main window.

namespace vx::shell {

// Runs the client; returns the process's exit code.
int runClient(int argc, char** argv, const char* version = "");

// Makes the page's engine follow the system's proxy settings by the same rules as the HTTP
// worker and the downloader (docs/http.md, "Proxy"): on POSIX the proxy environment
// variables, which it turns into Chromium's proxy switches (in QTWEBENGINE_CHROMIUM_FLAGS);
// on Windows the Internet Options, which Chromium reads itself. A proxy switch the user gave
// the engine already is left as it is. Call before the first profile exists: the engine reads
// its switches once, when it starts.
void usePageProxyOfSystem();

} // namespace vx::shell
