// config.xml as the client reads it: loaded from the file, values looked up by element name
// anywhere below the root, without regard to case; the configuration page reads any name.

#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "core/Xml.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto path = (vxfuzz::scratch() / "config.xml").string();
    vxfuzz::writeFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
    pugi::xml_document doc;
    if (!vx::xml::load(doc, path))
        return 0;
    const pugi::xml_node root = doc.document_element();
    for (const char* name : {"title", "salesid", "aid", "pid", "TITLE", "", "config"}) {
        pugi::xml_node e = vx::xml::findElement(root, name);
        if (e)
            VXFUZZ_CHECK(e.type() == pugi::node_element);
        (void)vx::xml::elementText(root, name);
        (void)vx::xml::attr(e, "value");
    }
    // Whatever reads, writes back in a form that reads again (the client rewrites its files).
    pugi::xml_document again;
    VXFUZZ_CHECK(vx::xml::parse(again, vx::xml::serialize(doc)));
    return 0;
}
