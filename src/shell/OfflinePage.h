#pragma once
// The client's own page for the time the service's start page cannot load: compiled into the
// client and served under a scheme of its own ("vxoffline://client/"), never from a file that
// another user could change. It lists the last user's installed applications (from the
// catalogue cache) to start or remove, and tries the service again.
//
// The origin gate grants this page only the functions it needs (offlinePageMayCall).

#include <QUrl>
#include <string_view>

class QWebEngineProfile;

namespace vx::shell {

// Declares the scheme to the engine; before the application object is made.
void registerOfflineScheme();
// Serves the page in `profile`'s views.
void installOfflinePage(QWebEngineProfile* profile);
QUrl offlinePageUrl();
// Whether a frame's origin is that of the offline page.
bool isOfflineOrigin(const QUrl& origin);
// The native functions the offline page may call: its own two, _RunApp and _UninstallApp.
bool offlinePageMayCall(std::string_view name);
// The page's HTML (UTF-8).
const char* offlinePageHtml();

} // namespace vx::shell
