// The page API: what makes a download trustworthy (docs/security.md). Descriptors signed by
// a key of config.xml, files checked by SHA-256 before they are placed.

#include "api/UJsExterned.h"
#include "core/Log.h"

#include "api/ApiSupport.h"
#include "core/Signing.h"
#include "core/Trust.h"
#include "http/HttpThread.h"
#include "link/HelperLibraries.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

namespace vx {

using namespace api;

namespace {

// Why a descriptor's bytes are not taken, or "" when a configured key signed them.
std::string signatureRefusal(const std::string& url, const std::string& bytes,
                             const std::string& signatureText) {
    if (signatureText.find_first_not_of(" \t\r\n") == std::string::npos)
        return std::string(texts::kSignatureMissing) + url;
    auto signature = parseSignature(signatureText);
    if (!signature)
        return std::string(texts::kSignatureInvalid) + url;
    for (const std::string& key : Trust.signKeys)
        if (verifyEd25519(key, bytes, *signature))
            return {};
    return std::string(texts::kSignatureInvalid) + url;
}

// Why a signed descriptor is no longer taken: its <expires> has passed, or cannot be read
// (a replayed genuine descriptor must not hold an application back for ever).
std::string expiryRefusal(const std::string& url, const std::string& text) {
    pugi::xml_document doc;
    if (!xml::parse(doc, text))
        return {}; // refused later as any malformed descriptor
    const pugi::xml_node expires = xml::findElement(doc.document_element(), "expires");
    if (!expires)
        return {};
    const auto until = parseUtcTime(xml::text(expires));
    if (!until || *until <= static_cast<std::int64_t>(std::time(nullptr)))
        return std::string(texts::kDescriptorExpired) + url;
    return {};
}

} // namespace

namespace api {

std::string digestRefusal(const std::string& sha256, const std::string& url) {
    if (sha256.empty())
        return Trust.signingRequired ? std::string(texts::kDigestMissing) + url : std::string();
    return isSha256Hex(sha256) ? std::string() : std::string(texts::kDigestMalformed) + url;
}

std::string digestRefusal(const std::vector<UpdateEntry>& entries, const std::string& url) {
    for (const UpdateEntry& e : entries)
        if (std::string why = digestRefusal(e.sha256, url); !why.empty())
            return why;
    return {};
}

std::optional<int> compareVersions(std::string_view a, std::string_view b) {
    auto parts = [](std::string_view v) -> std::optional<std::vector<unsigned long long>> {
        std::vector<unsigned long long> out;
        const auto first = v.find_first_not_of(" \t\r\n");
        if (first == std::string_view::npos)
            return std::nullopt;
        v = v.substr(first, v.find_last_not_of(" \t\r\n") + 1 - first);
        for (std::size_t start = 0;;) {
            const std::size_t dot = v.find('.', start);
            const std::string_view part = v.substr(start, dot == std::string_view::npos ? v.npos : dot - start);
            if (part.empty() || part.size() > 18 ||
                part.find_first_not_of("0123456789") != std::string_view::npos)
                return std::nullopt;
            out.push_back(std::stoull(std::string(part)));
            if (dot == std::string_view::npos)
                break;
            start = dot + 1;
        }
        return out;
    };
    auto x = parts(a), y = parts(b);
    if (!x || !y)
        return std::nullopt;
    for (std::size_t i = 0; i < std::max(x->size(), y->size()); ++i) {
        const unsigned long long p = i < x->size() ? (*x)[i] : 0, q = i < y->size() ? (*y)[i] : 0;
        if (p != q)
            return p < q ? -1 : 1;
    }
    return 0;
}

std::string rollbackRefusal(const std::string& offered, const std::string& verFile,
                            const std::string& url, const std::string& key) {
    if (!Trust.signingRequired)
        return {};
    auto older = [&](const std::optional<std::string>& than) {
        if (!than)
            return false;
        const auto order = compareVersions(offered, *than);
        return order && *order < 0;
    };
    if (older(verFile.empty() ? std::nullopt : InstalledVersion(verFile)) ||
        older(highestAccepted(key)))
        return std::string(texts::kVersionRollback) + url;
    return {};
}

std::string acceptedVersionsFile() { return ConfigPath + "AcceptedVersions"; }

namespace {

std::map<std::string, std::string> readAccepted() {
    std::map<std::string, std::string> out;
    platform::SharedReadFile f;
    if (!f.open(acceptedVersionsFile()))
        return out;
    std::string text;
    char buf[4096];
    for (long long n; (n = f.read(buf, sizeof buf)) > 0 && text.size() < (1u << 20);)
        text.append(buf, std::size_t(n));
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const auto eq = line.find('=');
        if (eq != std::string::npos && eq > 0 && compareVersions(line.substr(eq + 1), "0"))
            out[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return out;
}

} // namespace

std::optional<std::string> highestAccepted(const std::string& key) {
    auto all = readAccepted();
    auto it = all.find(key);
    return it == all.end() ? std::nullopt : std::optional<std::string>(it->second);
}

void recordAccepted(const std::string& key, const std::string& version) {
    if (!Trust.signingRequired || key.empty() || key.find_first_of("=\r\n") != std::string::npos)
        return;
    const std::string v = trimSpaces(version);
    if (!compareVersions(v, "0"))
        return; // not a dotted number: nothing to compare with later
    auto all = readAccepted();
    if (auto it = all.find(key); it != all.end()) {
        const auto order = compareVersions(v, it->second);
        if (!order || *order <= 0)
            return;
    }
    all[key] = v;
    std::string text;
    for (const auto& [k, kept] : all)
        text += k + "=" + kept + "\n";
    if (Status st = platform::writeFileAtomic(acceptedVersionsFile(), text, true); !st)
        std::fprintf(stderr, "cannot keep the accepted versions: %s\n", st.error().c_str());
}

std::string ownerRefusal(const pugi::xml_node& root, int32_t appId, const std::string& verFile,
                         const std::string& url) {
    if (!Trust.signingRequired)
        return {};
    const std::string id = std::to_string(appId);
    if (trimSpaces(xml::elementText(root, "appId")) != id)
        return std::string(texts::kDescriptorOtherApp) + url;
    // A folder that holds another application's installed descriptor is not this one's.
    pugi::xml_document installed;
    if (platform::fileExists(verFile) && xml::load(installed, verFile)) {
        const std::string other = trimSpaces(xml::elementText(installed.document_element(), "appId"));
        if (!other.empty() && other != id)
            return std::string(texts::kDescriptorOtherApp) + verFile;
    }
    return {};
}

} // namespace api

void TVX_JS::fetchDescriptor(const std::string& url, const std::string& index,
                             DescriptorDone done) {
    auto* worker = new THttpThread(url, "", "", index, nullptr, kSendGetText, readTimeout);
    if (!Trust.signingRequired) {
        worker->FSendDone = [done](THttpThread*, PReturnInfo i) { done(i->str, {}); };
        return;
    }
    // The signature covers the bytes as served; the text parsed later is made of them.
    worker->FKeepBytes = true;
    worker->FSendDone = [this, url, index, done](THttpThread*, PReturnInfo i) {
        if (i->str.empty())
            return done({}, {}); // a failed transfer, as without signatures
        auto descriptor = std::make_shared<std::pair<std::string, std::string>>(
            std::move(i->bytes), std::move(i->str));
        auto* sig = new THttpThread(url + ".sig", "", "", index, nullptr, kSendGetText,
                                    readTimeout);
        sig->FSendDone = [url, descriptor, done](THttpThread*, PReturnInfo s) {
            std::string refusal = signatureRefusal(url, descriptor->first, s->str);
            if (refusal.empty())
                refusal = expiryRefusal(url, descriptor->second);
            if (!refusal.empty())
                return done({}, refusal);
            done(descriptor->second, {});
        };
    };
}

std::string TVX_JS::startDownload(const std::string& urls, const std::string& paths,
                                  const std::string& folder,
                                  const std::vector<std::string>& sha256s, int32_t appId) {
    bool anyDigest = false;
    for (const auto& d : sha256s)
        anyDigest = anyDigest || !d.empty();
    if (m_operation.running && m_operation.appId == appId)
        m_operation.targets = splitLines(paths);
    {
        const auto items = splitLines(fromAnsi(urls));
        std::string what = "id=" + std::to_string(appId) + " download " + std::to_string(items.size()) +
                           " file(s)" + (folder.empty() ? "" : " to unpack") +
                           (anyDigest ? ", SHA-256 checked" : ", unchecked") + ":";
        for (std::size_t i = 0; i < items.size() && i < 20; ++i)
            what += " " + items[i];
        if (items.size() > 20)
            what += " …";
        log::write("operation", what);
    }
    // An application's partial files survive a pause or a kill, and the next operation goes
    // on from them; a package also leaves the list of its entries for verification.
    if (m_operation.running && m_operation.appId == appId && m_downloader.canResume() &&
        (anyDigest || !Trust.signingRequired)) {
        const std::string items = sha256s.size() == 1 ? sha256s.front() : joinLines(sha256s);
        m_downloader.DownFileResumable(urls, paths, folder, items, 5, appId);
        return {};
    }
    if (anyDigest && m_downloader.canCheckSha256()) {
        const std::string items = sha256s.size() == 1 ? sha256s.front() : joinLines(sha256s);
        m_downloader.DownFileSha256(urls, paths, folder, items, 5, appId);
        return {};
    }
    // Signed descriptors promise checked files: never an unchecked download then.
    if (Trust.signingRequired)
        return std::string(texts::kDownloaderUnchecked);
    m_downloader.DownFile(urls, paths, folder, 5, appId);
    return {};
}

} // namespace vx
