#pragma once
// The script bridge on Qt WebEngine.
//
// The extension source declares "native function NAME( A, B);". Qt WebEngine has no native
// functions, so each declaration becomes a plain function that calls the page's original
// prompt() (captured before any page script runs) with a fixed marker and a JSON message
// (bridge/PromptChannel.h). The client's page class answers that prompt synchronously on the
// main thread; the stub returns the value or throws an Error with the exception text. Every
// other prompt() behaves as usual.
//
// Calls are honoured only from frames whose origin is the service's (scheme, host and port of
// BaseUrl): any other origin gets "Have no member", so a foreign page in a pop-up or a frame
// can neither read the last password nor run script in the main page. For the same reason the
// object's field values (the product id and the like) are assigned only in frames of that
// origin; other frames see the variables declared but undefined.

#include <QString>
#include <QUrl>
#include <QWebEnginePage>
#include <memory>
#include <string>

#include "bridge/Engine.h"

class QWebEngineCertificateError;
class QWebEngineProfile;

namespace vx::shell {

// Creates the one profile every browser view of the client uses, with the engine's user
// agent and cache folder. Call once, before the first view exists.
QWebEngineProfile* createClientProfile(const QString& cacheFolder, const QString& userAgent);
// The profile made by createClientProfile.
QWebEngineProfile* clientProfile();

// The engine as the bridge sees it: registers the extension into the client profile.
class QtScriptEngine : public IScriptEngine {
public:
    bool registerExtension(const std::string& name, const std::string& source,
                           std::shared_ptr<IScriptHandler> handler) override;
};

// The origin of a URL as page script reads it from window.origin ("http://host:port", a
// default port left out); empty for a URL without a host.
QString scriptOrigin(const QUrl& url);

// True when two URLs have the same scheme, host and port (default ports filled in).
bool sameOrigin(const QUrl& a, const QUrl& b);

// Carries out one native call that arrived through the prompt channel from a frame of the
// given origin; returns the reply JSON.
QString dispatchNativeCall(const QUrl& origin, const QString& message);

// The page class of every browser view of the client. Beside the prompt channel, it accepts a
// certificate whose authority Chromium does not know only when config.xml's extra
// authorities vouch for it (PageTrust.h); every other certificate error is refused.
class VxWebPage : public QWebEnginePage {
    Q_OBJECT
public:
    explicit VxWebPage(QObject* parent = nullptr);

signals:
    // A certificate was refused, so the request for `url` (the page itself, a frame or a
    // resource) does not load.
    void certificateRefused(const QUrl& url);

protected:
    bool javaScriptPrompt(const QUrl& securityOrigin, const QString& msg,
                          const QString& defaultValue, QString* result) override;

private:
    void judgeCertificate(const QWebEngineCertificateError& error);
};

} // namespace vx::shell
