#include "Descriptor.h"

#include "core/Xml.h"

#include "core/Crypto.h"
#include "core/Signing.h"

#include "Patch.h"

#include <algorithm>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>

namespace vxdemo {

namespace fs = std::filesystem;

vx::Expected<FileDigests> DigestCache::digests(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec)
        return vx::Error{"cannot read " + file.string() + ": " + ec.message()};
    const auto time = fs::last_write_time(file, ec);
    if (ec)
        return vx::Error{"cannot read " + file.string() + ": " + ec.message()};
    const std::string key = file.string();
    {
        std::lock_guard lock(m_mutex);
        auto it = m_entries.find(key);
        if (it != m_entries.end() && it->second.size == size && it->second.time == time)
            return it->second.digests;
    }
    auto md5 = vx::FileMD5(key);
    if (!md5)
        return vx::Error{md5.error()};
    auto sha256 = vx::FileSHA256(key);
    if (!sha256)
        return vx::Error{sha256.error()};
    if (md5->empty() || sha256->empty())
        return vx::Error{"cannot read " + key};
    FileDigests digests{*md5, *sha256};
    // A file rewritten between the two reads would leave digests of two contents: such an
    // entry carries the old stamp, so the next request reads the file again.
    std::lock_guard lock(m_mutex);
    m_entries[key] = Entry{size, time, digests};
    return digests;
}

vx::Expected<std::vector<ReleaseFile>> scanRelease(const fs::path& release, DigestCache& cache) {
    std::vector<ReleaseFile> out;
    std::error_code ec;
    if (!fs::is_directory(release, ec))
        return out;
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(release, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.starts_with(".")) {
            if (it->is_directory())
                it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file())
            files.push_back(it->path());
    }
    if (ec)
        return vx::Error{"cannot list " + release.string() + ": " + ec.message()};
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        auto digest = cache.digests(f);
        if (!digest)
            return vx::Error{digest.error()};
        std::string dir = f.parent_path().lexically_relative(release).generic_string();
        if (dir == ".")
            dir.clear();
        else
            dir += "/";
        out.push_back({dir, f.filename().string(), digest->md5, digest->sha256});
    }
    return out;
}

vx::Status publishRelease(const fs::path& appFolder, const fs::path& newFiles) {
    std::error_code ec;
    if (!fs::is_directory(newFiles, ec))
        return vx::Error{"no folder " + newFiles.string()};
    fs::create_directories(appFolder, ec);
    if (fs::is_directory(appFolder / "files", ec)) {
        fs::remove_all(appFolder / "previous", ec);
        if (!ec)
            fs::rename(appFolder / "files", appFolder / "previous", ec);
        if (!ec)
            fs::remove_all(appFolder / "patches", ec);
        if (ec)
            return vx::Error{"cannot keep the previous release of " + appFolder.string() + ": " + ec.message()};
    }
    fs::copy(newFiles, appFolder / "files", fs::copy_options::recursive, ec);
    if (ec)
        return vx::Error{"cannot copy " + newFiles.string() + ": " + ec.message()};
    return {};
}

namespace {

std::mutex g_patchMutex; // one patch is built at a time, and only once


} // namespace

vx::Status addPatches(const fs::path& appFolder, std::vector<ReleaseFile>& files, DigestCache& cache) {
    std::error_code ec;
    if (!fs::is_directory(appFolder / "previous", ec))
        return {};
    auto previous = scanRelease(appFolder / "previous", cache);
    if (!previous)
        return vx::Error{previous.error()};
    std::map<std::string, std::string> before; // path -> SHA-256
    for (const auto& f : *previous)
        before[f.dir + f.name] = f.sha256;
    for (auto& f : files) {
        auto it = before.find(f.dir + f.name);
        if (it == before.end() || it->second == f.sha256)
            continue;
        const std::string name = f.sha256 + "-" + it->second + ".zst";
        const fs::path patch = appFolder / "patches" / name;
        const fs::path now = appFolder / "files" / fs::path(f.dir + f.name);
        {
            std::lock_guard lock(g_patchMutex);
            if (!fs::is_regular_file(patch, ec)) {
                auto previous = vx::xml::readFile((appFolder / "previous" / fs::path(f.dir + f.name)).string());
                auto current = vx::xml::readFile(now.string());
                if (!previous || !current)
                    return vx::Error{"cannot read the releases of " + f.dir + f.name};
                const std::string& from = *previous;
                const std::string& to = *current;
                std::string error;
                if (to.size() > vxdl::kMaxPatchedSize)
                    continue;
                const std::string bytes = vxdl::makePatch(from, to, 19, error);
                if (bytes.empty())
                    return vx::Error{"cannot make the patch of " + f.dir + f.name + ": " + error};
                fs::create_directories(patch.parent_path(), ec);
                const fs::path temp = patch.parent_path() / ("." + name + ".tmp");
                {
                    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
                    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
                    if (!out)
                        return vx::Error{"cannot write " + temp.string()};
                }
                fs::rename(temp, patch, ec);
                if (ec)
                    return vx::Error{"cannot write " + patch.string() + ": " + ec.message()};
            }
        }
        const auto size = fs::file_size(patch, ec), whole = fs::file_size(now, ec);
        if (ec || size * 2 >= whole)
            continue; // not worth it: the whole file is little more
        auto digest = cache.digests(patch);
        if (!digest)
            return vx::Error{digest.error()};
        f.patches.push_back({it->second, "{app}patches/" + name, digest->sha256, size});
    }
    return {};
}

namespace {

void appendFiles(pugi::xml_node updateFile, const std::vector<ReleaseFile>& files) {
    for (const auto& f : files) {
        pugi::xml_node e = updateFile.append_child("file");
        e.append_attribute("Dir") = ("{app}" + f.dir).c_str();
        e.append_attribute("Name") = f.name.c_str();
        e.append_attribute("MD5") = f.md5.c_str();
        e.append_attribute("SHA256") = f.sha256.c_str();
        for (const auto& p : f.patches) {
            pugi::xml_node patch = e.append_child("patch");
            patch.append_attribute("from") = p.from.c_str();
            patch.append_attribute("url") = p.url.c_str();
            patch.append_attribute("SHA256") = p.sha256.c_str();
            patch.append_attribute("size") = std::to_string(p.size).c_str();
        }
    }
}

std::string text(const pugi::xml_document& doc) {
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

pugi::xml_node declared(pugi::xml_document& doc, const char* root) {
    auto decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "utf-8";
    return doc.append_child(root);
}

} // namespace

std::string applicationDescriptor(const std::string& version, const std::string& zipFile,
                                  const std::string& zipSha256,
                                  const std::vector<ReleaseFile>& files, const Binding& binding) {
    pugi::xml_document doc;
    pugi::xml_node root = declared(doc, "info");
    if (!binding.appId.empty())
        root.append_child("appId").text() = binding.appId.c_str();
    root.append_child("version").text() = version.c_str();
    if (!binding.mainFile.empty())
        root.append_child("MainFile").text() = binding.mainFile.c_str();
    if (!binding.expires.empty())
        root.append_child("expires").text() = binding.expires.c_str();
    root.append_child("zipFile").text() = zipFile.c_str();
    if (!zipSha256.empty())
        root.append_child("zipSHA256").text() = zipSha256.c_str();
    appendFiles(root.append_child("updateFile"), files);
    return text(doc);
}

std::string clientDescriptor(const std::string& version, const std::vector<ReleaseFile>& files,
                             const std::string& expires) {
    pugi::xml_document doc;
    pugi::xml_node root = declared(doc, "verInfo");
    if (!version.empty())
        root.append_child("version").text() = version.c_str();
    if (!expires.empty())
        root.append_child("expires").text() = expires.c_str();
    appendFiles(root.append_child("updateFile"), files);
    return text(doc);
}

std::string signedExpiry(std::int64_t now) {
    const std::int64_t day = 86400;
    const std::int64_t start = now - ((now % day) + day) % day;
    return vx::utcTimeText(start + 7 * day);
}

} // namespace vxdemo
