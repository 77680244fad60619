// The page API: what makes a download trustworthy (docs/security.md). Descriptors signed by
// a key of config.xml, files checked by SHA-256 before they are placed.

#include "api/UJsExterned.h"

#include "api/ApiSupport.h"
#include "core/Signing.h"
#include "core/Trust.h"
#include "http/HttpThread.h"
#include "link/HelperLibraries.h"

#include <algorithm>
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
                            const std::string& url) {
    if (!Trust.signingRequired)
        return {};
    const std::optional<std::string> installed = InstalledVersion(verFile);
    if (!installed)
        return {};
    const auto order = compareVersions(offered, *installed);
    return order && *order < 0 ? std::string(texts::kVersionRollback) + url : std::string();
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
            const std::string refusal = signatureRefusal(url, descriptor->first, s->str);
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
