// The page API: pop-up windows, the system browser, script in the main page.

#include "api/UJsExterned.h"

#include "api/ApiSupport.h"
#include "api/PageCalls.h"
#include "api/PageHost.h"

namespace vx {

using namespace api;

// --- Navigation ----------------------------------------------------------------------------------

void TVX_JS::_OpenURL(const std::string& url) {
    m_host.openPopup(startsWithNoCase(url, "http://") ? url : BaseUrlNoSlash + url, std::nullopt);
}

void TVX_JS::_OpenURLA(const std::string& url, int w, int h) {
    m_host.openPopup(startsWithNoCase(url, "http://") ? url : BaseUrlNoSlash + url,
                     std::make_pair(w, h));
}

void TVX_JS::_OpenURLB(const std::string& url) {
    // Only web addresses reach the system's opener: anything else could open local files or
    // start programs registered for a scheme.
    if (startsWithNoCase(url, "http://") || startsWithNoCase(url, "https://"))
        m_host.openInSystemBrowser(url);
}

void TVX_JS::_ExcuteJs(const std::string& js) { pageCall(js); }

} // namespace vx
