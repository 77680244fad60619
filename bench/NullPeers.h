#pragma once
// A main window, link server and downloader that do nothing, for benchmarks of the page API.

#include <optional>
#include <string>

#include "api/PageHost.h"
#include "link/HelperLibraries.h"

namespace vxbench {

struct NullHost : vx::IPageHost {
    bool browser = true;
    std::size_t calls = 0; // page calls made
    bool hasBrowserView() const override { return browser; }
    void executeInMainFrame(const std::string&) override { ++calls; }
    void openPopup(const std::string&, std::optional<std::pair<int, int>>) override {}
    void openInSystemBrowser(const std::string&) override {}
    void enableRefreshTimer() override {}
    void closeMainWindow() override {}
};
struct NullLink : vx::ILinkServer {
    void CloseAll() override {}
    void SetUid(const std::string&) override {}
    void sendToApp(const std::string&) override {}
};
struct NullDownloader : vx::IDownloader {
    void DownFile(const std::string&, const std::string&, const std::string&, int, int) override {}
    bool CancelDown(int) override { return false; }
};

} // namespace vxbench
