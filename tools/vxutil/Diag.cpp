// vxutil diag: what support needs of a user's client, in one zip.

#include "Diag.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <pugixml.hpp>
#include <zip.h>

#include "core/Log.h"
#include "core/Xml.h"
#include "platform/Platform.h"

#ifndef _WIN32
#include <sys/utsname.h>
#endif

namespace vxutil {

namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& p) { return vx::xml::readFile(p.string()).valueOr(std::string()); }

// Elements whose names say they hold something secret; their text is left out.
bool secretName(std::string name) {
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* word : {"pass", "pwd", "pws", "token", "secret", "cookie", "auth"})
        if (name.find(word) != std::string::npos)
            return true;
    return false;
}

void dropSecrets(pugi::xml_node node) {
    for (pugi::xml_node child = node.first_child(); child;) {
        pugi::xml_node next = child.next_sibling();
        if (child.type() == pugi::node_element && secretName(child.name())) {
            child.text() = "(left out)";
            while (child.first_child() && child.first_child().type() == pugi::node_element)
                child.remove_child(child.first_child());
        } else {
            for (pugi::xml_attribute a = child.first_attribute(); a; a = a.next_attribute())
                if (secretName(a.name()))
                    a.set_value("(left out)");
            dropSecrets(child);
        }
        child = next;
    }
}

std::string platformFacts(const fs::path& client, const std::string& logFolder) {
    std::ostringstream out;
    const std::time_t now = std::time(nullptr);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    out << "collected " << when << "\n";
#ifndef _WIN32
    struct utsname u {};
    if (::uname(&u) == 0)
        out << "system " << u.sysname << " " << u.release << " " << u.version << " " << u.machine
            << "\n";
    std::ifstream release("/etc/os-release");
    for (std::string l; std::getline(release, l);)
        if (l.rfind("PRETTY_NAME=", 0) == 0)
            out << "distribution " << l.substr(12) << "\n";
#else
    out << "system Windows " << vx::platform::osMajorVersion() << "\n";
#endif
    out << "client folder " << client.string() << "\n";
    if (auto free = vx::platform::freeSpace(client.string()))
        out << "free space " << (*free >> 20) << " MiB\n";
    out << "log folder " << logFolder << "\n";
    std::error_code ec;
    for (const char* name : {"vxclient", "vxclient.exe", "libDownLoader.so", "DownLoader.dll",
                             "libTCPServer.so", "TCPServer.dll"})
        if (fs::exists(client / name, ec))
            out << "file " << name << " " << fs::file_size(client / name, ec) << " bytes\n";
    return out.str();
}

} // namespace

std::string defaultClientFolder() {
#ifndef _WIN32
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/')
        return std::string(data) + "/vxcenter";
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return std::string(home) + "/.local/share/vxcenter";
#endif
    return {};
}

int diag(const std::string& zipPath, const std::string& clientFolder, std::string& why) {
    const fs::path client = clientFolder.empty() ? fs::path(defaultClientFolder()) : fs::path(clientFolder);
    const std::string logFolder = vx::log::defaultFolder();
    std::vector<std::pair<std::string, std::string>> entries; // name in the zip, content
    std::error_code ec;
    // The logs.
    if (!logFolder.empty())
        for (const auto& e : fs::directory_iterator(logFolder, ec))
            if (e.path().filename().string().rfind("vxcenter", 0) == 0 && e.path().extension() == ".log")
                entries.emplace_back("log/" + e.path().filename().string(), readAll(e.path()));
    // config.xml without secrets; never Users.xml (remembered passwords).
    const fs::path config = client / "Config" / "config.xml";
    if (fs::exists(config, ec)) {
        pugi::xml_document doc;
        if (doc.load_file(config.c_str())) {
            dropSecrets(doc);
            std::ostringstream text;
            doc.save(text, "  ");
            entries.emplace_back("Config/config.xml", text.str());
        } else {
            entries.emplace_back("Config/config.xml.unreadable", "config.xml is not well-formed XML\n");
        }
    }
    for (const char* name : {"Queue.xml", "AcceptedVersions", "RateLimit", "ClientUpdate.refused"})
        if (fs::exists(client / "Config" / name, ec))
            entries.emplace_back(std::string("Config/") + name, readAll(client / "Config" / name));
    // The installed descriptors: the client's own and every application's.
    for (const char* name : {"version.xml", "Update/version.xml"})
        if (fs::exists(client / name, ec))
            entries.emplace_back(std::string("client/") + name, readAll(client / name));
    for (const auto& e : fs::directory_iterator(client / "apps", ec)) {
        const fs::path descriptor = e.path() / "version.xml";
        std::error_code e2;
        if (e.is_directory(e2) && fs::is_regular_file(descriptor, e2))
            entries.emplace_back("apps/" + e.path().filename().string() + "/version.xml",
                                 readAll(descriptor));
    }
    entries.emplace_back("platform.txt", platformFacts(client, logFolder));

    int err = 0;
    zip_t* z = zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (!z) {
        why = "cannot write " + zipPath;
        return 1;
    }
    for (auto& [name, content] : entries) {
        void* copy = std::malloc(content.size() ? content.size() : 1);
        if (!copy)
            continue;
        std::memcpy(copy, content.data(), content.size());
        zip_source_t* src = zip_source_buffer(z, copy, content.size(), 1);
        if (!src || zip_file_add(z, name.c_str(), src, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0) {
            if (src)
                zip_source_free(src);
        }
    }
    if (zip_close(z) != 0) {
        why = "cannot write " + zipPath + ": " + zip_strerror(z);
        zip_discard(z);
        return 1;
    }
    std::printf("%s: %zu file(s)\n", zipPath.c_str(), entries.size());
    return 0;
}

} // namespace vxutil
