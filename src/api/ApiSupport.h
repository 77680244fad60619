#pragma once
// What the page API's source files share inside the api folder; not for other folders.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <pugixml.hpp>

#include "api/UJsExterned.h"
#include "core/Text.h"
#include "core/Xml.h"

namespace vx::api {

inline constexpr std::string_view kPurposeLogin = "登录";
inline constexpr std::string_view kPurposeAdd = "安装";

inline bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

// A folder name from the service that stays one plain level below the applications folder.
inline bool isPlainFolderName(std::string_view dir) {
    if (dir.empty() || dir == "." || dir == "..")
        return false;
    return dir.find_first_of("/\\:") == std::string_view::npos;
}

// The application whose decimal id is `text` (as the page and the tags carry it); nullptr
// for a text that is no id or an id that names none.
inline TMyApp* findAppByText(const std::string& text) {
    int32_t id = 0;
    return parseInt32(text, id) ? FindApp(id) : nullptr;
}

inline std::string joinLines(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& i : items)
        out += i + "\r\n";
    return out;
}

// The items of a CR LF list (as joinLines makes them), without blank ones.
inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = text.substr(start, end - start);
        if (!item.empty() && item.back() == '\r')
            item.pop_back();
        if (!item.empty())
            out.push_back(std::move(item));
        start = end + 1;
    }
    return out;
}

inline std::string fileNameOf(const std::string& path) {
    auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

struct DownloadList {
    std::vector<std::string> urls;
    std::vector<std::string> paths;
    std::vector<std::string> sha256s; // "" where the descriptor gives none
    // "FROM|URL|SHA256" of the patch for the installed file, or "" (see UpdateEntry::patches).
    std::vector<std::string> patches;
};

// A binary patch an update entry offers, <patch from="…" url="…" SHA256="…" size="…"/>
// inside the entry: it makes the entry's file from the installed file whose SHA-256 is
// `from`. Everything of it comes from the descriptor's own text, which a signature covers.
struct PatchOffer {
    std::string from, url, sha256;
    unsigned long long size = 0; // the optional size attribute, 0 when not given
};

// One entry of an updateFile element: its address, its local path and its listed digests
// (SHA256 may be missing).
struct UpdateEntry {
    std::string url, local, md5, sha256;
    unsigned long long size = 0; // the optional size attribute, 0 when not given
    std::vector<PatchOffer> patches;
};

inline unsigned long long sizeAttribute(pugi::xml_node node) {
    const std::string s = xml::attr(node, "size");
    if (!s.empty() && s.find_first_not_of("0123456789") == std::string::npos && s.size() < 19)
        return std::stoull(s);
    return 0;
}

// The entries of an updateFile element, in order. Each child's Dir, with "{app}" standing for
// remoteBase in the address and for localBase in the path, followed by its Name. Entries whose
// path would leave localBase are skipped.
inline std::vector<UpdateEntry> listEntries(pugi::xml_node files, const std::string& remoteBase,
                                     const std::string& localBase) {
    std::vector<UpdateEntry> entries;
    for (pugi::xml_node f : files.children()) {
        if (f.type() != pugi::node_element)
            continue;
        const std::string dir = xml::attr(f, "Dir"), name = xml::attr(f, "Name");
        std::string local = localPathBelow(localBase, dir, name);
        if (local.empty())
            continue;
        UpdateEntry entry{replaceAppToken(dir, remoteBase) + name, std::move(local),
                          xml::attr(f, "MD5"), xml::attr(f, "SHA256"), sizeAttribute(f), {}};
        // Patches: a url is taken as given when it names its scheme, else below the entry's
        // own folder ("{app}" standing for remoteBase as in Dir). Incomplete ones are left out.
        for (pugi::xml_node p : f.children()) {
            if (p.type() != pugi::node_element || !iequals(p.name(), "patch"))
                continue;
            PatchOffer offer{xml::attr(p, "from"), xml::attr(p, "url"), xml::attr(p, "SHA256"), sizeAttribute(p)};
            if (offer.from.empty() || offer.url.empty() || offer.sha256.empty() ||
                offer.url.find_first_of("|\r\n") != std::string::npos)
                continue;
            if (offer.url.find("://") == std::string::npos)
                offer.url = replaceAppToken(startsWithNoCase(offer.url, "{app}") ? offer.url : dir + offer.url,
                                            remoteBase);
            entry.patches.push_back(std::move(offer));
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

// The entries to fetch: those `unchanged` does not accept (given the entry's index), without
// addresses already listed.
// `installed`, when given, tells the SHA-256 of the installed file of an entry (nullopt:
// none, or not known): the entry's patch from that file goes with it.
inline DownloadList collectDownloads(
    const std::vector<UpdateEntry>& entries, const std::function<bool(std::size_t)>& unchanged,
    const std::function<std::optional<std::string>(std::size_t)>& installed = {}) {
    DownloadList list;
    std::unordered_set<std::string> seen;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (unchanged(i) || !seen.insert(entries[i].url).second)
            continue;
        list.urls.push_back(entries[i].url);
        list.paths.push_back(entries[i].local);
        list.sha256s.push_back(entries[i].sha256);
        std::string patch;
        if (const auto digest = installed ? installed(i) : std::nullopt; digest && !entries[i].sha256.empty())
            for (const PatchOffer& p : entries[i].patches)
                if (iequals(p.from, *digest)) {
                    patch = p.from + "|" + p.url + "|" + p.sha256;
                    break;
                }
        list.patches.push_back(std::move(patch));
    }
    return list;
}


// Whether a listed file is unchanged: by SHA-256 where the entry gives one (any case), else by
// MD5 exactly as listed. `digest` is the local file's digest of that kind.
inline bool sameDigest(const UpdateEntry& e, const std::string& digest) {
    return e.sha256.empty() ? e.md5 == digest : iequals(e.sha256, digest);
}

// What is wrong with the SHA-256 values of a descriptor's entries, as a refusal text: a
// malformed one always, a missing one when signed descriptors are required. Empty when
// they may be used.
std::string digestRefusal(const std::vector<UpdateEntry>& entries, const std::string& url);
// The same for one value (an install package's zipSHA256).
std::string digestRefusal(const std::string& sha256, const std::string& url);
// Under signed descriptors, a refusal text when the descriptor's version is older than the
// installed one's: an old signed descriptor served again (its signature is still good) must
// not take an application back. Versions compare as dotted numbers ("1.10" after "1.9");
// either one not of that form, or no installed descriptor, lets it pass.
//
// The same holds against the highest version ever accepted for `key` (the application's id,
// or "client"), kept in acceptedVersionsFile(): an uninstall does not open the door to an
// older release.
std::string rollbackRefusal(const std::string& offered, const std::string& verFile,
                            const std::string& url, const std::string& key);
// Config/AcceptedVersions: a line "key=version" for each application id and for "client",
// owner-only, replaced atomically.
std::string acceptedVersionsFile();
std::optional<std::string> highestAccepted(const std::string& key);
// Raises the kept version of `key` to `version` when it is a dotted number higher than the
// kept one (or none is kept); under signed descriptors only.
void recordAccepted(const std::string& key, const std::string& version);
// Under signed descriptors, a refusal text when the application descriptor `root` fetched
// from `url` is not the application's `appId`: no <appId>, another id, or the folder's
// installed descriptor (`verFile`) names another application.
std::string ownerRefusal(const pugi::xml_node& root, int32_t appId, const std::string& verFile,
                         const std::string& url);
// -1, 0 or 1 as dotted numbers a < b, a == b, a > b ("1.0" == "1"); nullopt when either is
// not one.
std::optional<int> compareVersions(std::string_view a, std::string_view b);

} // namespace vx::api
