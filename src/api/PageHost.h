#pragma once
// What the page API needs of the main window. The shell's main window implements it; tests
// fake it. All calls are made on the main thread.

#include <optional>
#include <string>

namespace vx {

class IPageHost {
public:
    virtual ~IPageHost() = default;

    // True once the main window's browser view exists (page calls go nowhere before).
    virtual bool hasBrowserView() const = 0;
    // Executes one line of script in the main frame of the main window's view, with the
    // script URL "about:blank" and start line 0. The result is never read.
    virtual void executeInMainFrame(const std::string& script) = 0;
    // Opens `url` in a pop-up browser window: the first open pop-up whose address equals
    // `url` exactly is reused as it is (not reloaded, not resized); otherwise a new one is
    // created (with the size when given) and loads it. Either way the window is hidden and
    // shown again, which brings it to the front.
    virtual void openPopup(const std::string& url, std::optional<std::pair<int, int>> size) = 0;
    // Hands an http(s) address to the system's default browser; the outcome is ignored.
    virtual void openInSystemBrowser(const std::string& url) = 0;
    // Starts the list-refresh timer (every 60000 ms it calls _GetMyApps); idempotent.
    virtual void enableRefreshTimer() = 0;
    // Closes the main window, which ends the process.
    virtual void closeMainWindow() = 0;
    // Shown the client's own page because the start page could not load: tries the
    // service's start page again (it is loaded once the service answers).
    virtual void retryOnline() {}
};

} // namespace vx
