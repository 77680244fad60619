#include "core/Trust.h"

#include <pugixml.hpp>

#include "core/Signing.h"
#include "core/Text.h"
#include "core/Xml.h"

namespace vx {

TrustSettings Trust;

namespace {

// A file name inside the Config folder: no folder of its own, no way out of it.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\:") == std::string::npos;
}

} // namespace

TrustSettings readTrustSettings(const pugi::xml_node& configRoot, const std::string& configFolder) {
    TrustSettings t;
    if (!configRoot)
        return t;
    if (pugi::xml_node ca = xml::findElement(configRoot, "cafile")) {
        const std::string name = trimSpaces(xml::text(ca));
        if (isPlainFileName(name))
            t.caFile = configFolder + name;
        else if (!name.empty())
            t.problems.push_back("cafile 必须是 Config 文件夹中的文件名：" + name);
    }
    xml::forEachElementBelow(configRoot, [&](pugi::xml_node e) {
        if (std::string_view(e.name()) != "signkey")
            return true;
        t.signingRequired = true;
        auto key = parsePublicKey(xml::text(e));
        if (key)
            t.signKeys.push_back(std::move(*key));
        else
            t.problems.push_back("signkey 无法使用：" + key.error());
        return true;
    });
    return t;
}

} // namespace vx
