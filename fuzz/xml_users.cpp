// Users.xml as the client finds it on disk: read for the start page's user list, then
// updated by a successful login. The update keeps the file readable and remembers the user
// (a "User" child of the root, which the start page lists; "DefUser" is looked up anywhere
// below the root, in any letter case, so it need not be one the page lists).

#include <cstdint>
#include <string>
#include <string_view>

#include "ApiHarness.h"

namespace {
constexpr const char* kLoginOk =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><login><statu>true</statu><msg>ok</msg>"
    "<uid>42</uid><user>张三</user><qq>1</qq><agentId>7</agentId></login>";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& h = vxfuzz::ApiHarness::get();
    h.reset();
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    vxfuzz::writeFile(vx::UsersXml, bytes);
    (void)vx::userListCalls(vx::UsersXml);

    h.setReply(kLoginOk);
    h.api->_LoginFun("张三", "secret", "1", "1");
    h.settle();

    pugi::xml_document doc;
    VXFUZZ_CHECK(vx::xml::load(doc, vx::UsersXml));
    bool listed = false;
    for (const auto& call : vx::userListCalls(vx::UsersXml))
        listed = listed || call.rfind("ST_writeUserList(\"张三\"", 0) == 0;
    VXFUZZ_CHECK(listed);
    std::error_code ec;
    std::filesystem::remove(vx::UsersXml + ".broken", ec);
    return 0;
}
