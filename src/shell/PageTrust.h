#pragma once
// The page's share of the client's trust settings. Chromium verifies a page's certificate
// against the system's authorities only, and Qt WebEngine 6.4 has no way to add one; so when
// Chromium refuses a certificate because it does not know its authority, the page asks here
// whether the extra authorities of config.xml's cafile (vx::Trust.caFile) vouch for it.
//
// The answer is yes only when the server's chain verifies, by OpenSSL, against the
// certificates of that file and nothing else, for the request's host name or address, as a
// TLS server certificate, at the present time. Every other refusal of Chromium (a wrong
// name, an expired or revoked certificate, a weak key, a pinned key missing, ...) stands as
// it is, and without a cafile nothing is ever accepted. Chromium names only one fault: an
// unknown authority hides a wrong name or date, which the verification finds itself.
// Everything here runs on the main thread.

#include <QByteArray>
#include <QString>
#include <string>
#include <vector>

#include "core/Expected.h"

class QUrl;
class QWebEngineCertificateError;

namespace vx::shell {

// Verifies a server's chain (DER, the server's own certificate first, then the
// intermediates it sent) for `host` (a DNS name or an IP address, as in a URL, without
// brackets) against only the certificates of the PEM file `caFile`. The file is read once
// per path and kept for the life of the process. Fails with a reason when the path is empty,
// the file cannot be read or holds no certificate, the chain is empty or does not verify.
Status verifyServerChain(const std::string& caFile, const std::vector<QByteArray>& chainDer,
                         const QString& host);

// The decision for one certificate error that Chromium reports: true when the page may
// accept it, i.e. the error is about the authority alone, it may be overridden, a cafile is
// set and verifyServerChain passes for the error's URL. `reason` receives why not.
bool mayAcceptCertificate(const QWebEngineCertificateError& error, std::string* reason = nullptr);

} // namespace vx::shell
