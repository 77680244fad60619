#include "link/HelperLibraries.h"

#include "core/MainThread.h"
#include "core/Text.h"
#include "downloader/DownLoader.h"
#include "platform/Platform.h"
#include "tcpserver/TCPServer.h"

namespace vx {

namespace {

LinkMessageHandler g_linkHandler;
DownloadMessageHandler g_downloadHandler;

// The libraries call these on their own threads: copy the text, hand it to the main thread.
void TCPSERVER_CALL linkCallback(const char* text) {
    try {
        std::string copy = text ? text : "";
        mainThread().post([copy = std::move(copy)] {
            if (g_linkHandler)
                g_linkHandler(copy);
        });
    } catch (...) {
        // Nothing may escape into the library.
    }
}

void VXDL_CALL downloadCallback(int id, const char* text) {
    try {
        std::string copy = text ? text : "";
        mainThread().post([id, copy = std::move(copy)] {
            if (g_downloadHandler)
                g_downloadHandler(id, copy);
        });
    } catch (...) {
    }
}

template <typename Fn>
Fn entry(const platform::DynamicLibrary* lib, const char* name) {
    return lib ? reinterpret_cast<Fn>(lib->symbol(name)) : nullptr;
}

} // namespace

void setLinkMessageHandler(LinkMessageHandler handler) { g_linkHandler = std::move(handler); }
void setDownloadMessageHandler(DownloadMessageHandler handler) {
    g_downloadHandler = std::move(handler);
}

struct HelperLibraries::Impl {
    std::unique_ptr<platform::DynamicLibrary> link;
    std::unique_ptr<platform::DynamicLibrary> down;
    StartServerProc startServer = nullptr;
    DisconnectAllProc disconnectAll = nullptr;
    CloseAllProc closeAll = nullptr;
    SetUidProc setUid = nullptr;
    SendToAppProc sendToApp = nullptr;
    decltype(&::DownFile) downFile = nullptr;
};

HelperLibraries::HelperLibraries() : m_impl(std::make_unique<Impl>()) {}

HelperLibraries::~HelperLibraries() = default;

Status HelperLibraries::bindLinkServer(const std::string& folder) {
    auto lib = platform::loadLibrary(joinPath(folder, platform::sharedLibraryFileName("TCPServer")));
    if (!lib)
        return Error{lib.error()};
    m_impl->link = std::move(lib).value();
    m_impl->startServer = entry<StartServerProc>(m_impl->link.get(), "StartServer");
    m_impl->disconnectAll = entry<DisconnectAllProc>(m_impl->link.get(), "DisconnectAll");
    m_impl->closeAll = entry<CloseAllProc>(m_impl->link.get(), "CloseAll");
    m_impl->setUid = entry<SetUidProc>(m_impl->link.get(), "SetUid");
    m_impl->sendToApp = entry<SendToAppProc>(m_impl->link.get(), "sendToApp");
    if (!m_impl->startServer)
        return Error{"the link server library has no StartServer"};
    return {};
}

Status HelperLibraries::bindDownloader(const std::string& folder) {
    auto lib =
        platform::loadLibrary(joinPath(folder, platform::sharedLibraryFileName("DownLoader")));
    if (!lib)
        return Error{lib.error()};
    m_impl->down = std::move(lib).value();
    m_impl->downFile = entry<decltype(&::DownFile)>(m_impl->down.get(), "DownFile");
    if (!m_impl->downFile)
        return Error{"the downloader library has no DownFile"};
    return {};
}

bool HelperLibraries::StartServer(const std::string& address, const std::string& port) {
    return m_impl->startServer &&
           m_impl->startServer(address.c_str(), port.c_str(), &linkCallback) == TCPSERVER_OK;
}

void HelperLibraries::DisconnectAllAndUnload() {
    if (m_impl->disconnectAll)
        m_impl->disconnectAll();
    m_impl->startServer = nullptr;
    m_impl->disconnectAll = nullptr;
    m_impl->closeAll = nullptr;
    m_impl->setUid = nullptr;
    m_impl->sendToApp = nullptr;
    m_impl->link.reset();
}

void HelperLibraries::CloseAll() {
    if (m_impl->closeAll)
        m_impl->closeAll();
}

void HelperLibraries::SetUid(const std::string& uidAnsi) {
    if (m_impl->setUid)
        m_impl->setUid(uidAnsi.c_str());
}

void HelperLibraries::sendToApp(const std::string& messageAnsi) {
    if (m_impl->sendToApp)
        m_impl->sendToApp(messageAnsi.c_str());
}

void HelperLibraries::DownFile(const std::string& urlsAnsi, const std::string& pathsAnsi,
                               const std::string& folderAnsi, int attempts, int appId) {
    if (m_impl->downFile && m_impl->downFile(urlsAnsi.c_str(), pathsAnsi.c_str(),
                                             folderAnsi.c_str(), attempts, appId,
                                             &downloadCallback) == 0)
        return;
    // Without a working downloader the operation must still end, or every later install
    // would be refused until restart.
    const std::string why = toAnsi(m_impl->downFile ? "下载器无法启动" : "下载器不可用");
    downloadCallback(appId, why.c_str());
    downloadCallback(appId, ("error:" + why).c_str());
}

} // namespace vx
