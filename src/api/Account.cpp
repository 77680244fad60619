// The page API: login, the remembered users of Users.xml, the small getters.

#include "api/UJsExterned.h"
#include "core/Log.h"

#include "api/ApiSupport.h"
#include "api/PageCalls.h"
#include "api/PageHost.h"
#include "core/Crypto.h"
#include "core/Xml.h"
#include "http/HttpThread.h"
#include "http/MsMultiPartFormData.h"
#include "link/HelperLibraries.h"
#include "platform/Platform.h"

#include <filesystem>

namespace vx {

using namespace api;

namespace {

// A login reply's statu: "true"/"false" in any case, or a decimal number (an optional sign,
// digits, optionally "." and more digits; zero is false). Anything else counts as a
// refusal: "nan", "inf", "0x1", "1e3", " 1", "1.", ".5".
bool statuIsTrue(std::string_view s) {
    if (iequals(s, "true"))
        return true;
    std::size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    bool nonZero = false;
    auto digits = [&] {
        const std::size_t from = i;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
            nonZero = nonZero || s[i] != '0';
        return i > from;
    };
    if (!digits())
        return false;
    if (i < s.size() && s[i] == '.' && (++i, !digits()))
        return false;
    return i == s.size() && nonZero;
}

// Sets an attribute matched without regard to case, creating it when missing.
void setAttr(pugi::xml_node node, const char* name, const std::string& value) {
    for (pugi::xml_attribute a : node.attributes())
        if (iequals(a.name(), name)) {
            a.set_value(value.c_str());
            return;
        }
    node.append_attribute(name) = value.c_str();
}

// A fresh Users.xml: declaration, document type and the root element.
void newUsersDocument(pugi::xml_document& doc) {
    doc.reset();
    auto decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "utf-8";
    doc.append_child(pugi::node_doctype).set_value("VXFrame");
    doc.append_child("VXFrame");
}

} // namespace

// --- Account and login ------------------------------------------------------------------------

void TVX_JS::_LoginFun(const std::string& user, const std::string& pwd,
                       const std::string& savePwd, const std::string& autoLogin) {
    ckPwd = savePwd;
    ckAuto = autoLogin;
    _User = user;
    _pwd = pwd;
    auto body = std::make_shared<TMsMultiPartFormDataStream>();
    body->AddFormField("user", user);
    body->AddFormField("pws", pwd);
    body->AddFormField("pid", _GetConfigValue("pid"));
    auto* worker = new THttpThread(BaseUrl + "Login.php", "", "", "0", body.get(), kSendPost,
                                   readTimeout);
    worker->FSendDone = [this, body, login = ++m_logins](THttpThread*, PReturnInfo info) {
        onLoginReply(login, info->str);
    };
}

void TVX_JS::onLoginReply(std::uint64_t login, const std::string& reply) {
    // A later login has been asked for: its reply decides (the fields hold its user).
    if (login != m_logins)
        return;
    const std::string token0 = ScrambleParam("0");
    if (reply.empty()) {
        pageCall(page::ST_Login(false, token0, texts::kLoginTimeout));
        return;
    }
    pugi::xml_document doc;
    pugi::xml_node root;
    if (xml::parse(doc, reply))
        root = doc.document_element();
    pugi::xml_node statu = xml::findElement(root, "statu");
    const std::string msg = xml::elementText(root, "msg");
    if (!statu) {
        log::write("login", "user " + _User + ": no valid reply");
        pageCall(page::ST_Login(false, token0, msg.empty() ? texts::kLoginBadReply : msg));
        return;
    }
    if (!statuIsTrue(xml::text(statu))) {
        log::write("login", "user " + _User + ": refused (" + msg + ")");
        pageCall(page::ST_Login(false, token0, msg));
        return;
    }
    const std::string uid = xml::elementText(root, "uid");
    if (uid.empty()) {
        // Every later request identifies the user by this id: without it there is no login.
        pageCall(page::ST_Login(false, token0, texts::kLoginBadReply));
        return;
    }
    if (!saveUsersXml())
        pageCall(page::ST_Login(false, token0, texts::kLoginNotAdmin));
    log::write("login", "user " + _User + ": logged in");
    m_link.CloseAll();
    // Each user's queue runs under his own login only: another user's login stops the
    // running entry to be continued at his next one.
    if (uid != m_queue.user()) {
        m_queueReady = false;
        if (m_operation.running && m_operation.queued)
            (void)stopQueued(true);
        m_queue.setUser(uid);
    }
    UserInfo.user = xml::elementText(root, "user");
    UserInfo.qq = xml::elementText(root, "qq");
    UserInfo.aid = xml::elementText(root, "agentId");
    UserInfo.uid = uid;
    _uid = uid;
    m_link.SetUid(toAnsi(uid));
    OpenTimer(false);
    process = kPurposeLogin;
    requestList(Purpose::Login, "0");
    m_host.enableRefreshTimer();
}

bool TVX_JS::saveUsersXml() {
    const std::string storedPwd = ckPwd == "1" ? _pwd : std::string();
    const std::string autoText = ckPwd == "1" && ckAuto == "1" ? "true" : "false";
    pugi::xml_document doc;
    if (!platform::fileExists(UsersXml)) {
        newUsersDocument(doc);
    } else {
        // A file that could not be read (denied, an I/O error) may be perfectly good: it is
        // left alone, and nothing is remembered this time.
        auto data = xml::readFile(UsersXml);
        if (!data)
            return false;
        if (!xml::parse(doc, data.value()) || !doc.document_element()) {
            // Read but broken: keep a copy for whoever wants to look, then start afresh so
            // that logins keep working.
            std::error_code ec;
            std::filesystem::copy_file(UsersXml, UsersXml + ".broken",
                                       std::filesystem::copy_options::overwrite_existing, ec);
            doc.reset();
            newUsersDocument(doc);
        }
    }
    pugi::xml_node root = doc.document_element();
    if (pugi::xml_node def = xml::findElement(root, "DefUser")) {
        setAttr(def, "user", _User);
        setAttr(def, "pwd", storedPwd);
        setAttr(def, "auto", autoText);
    } else {
        def = root.append_child("DefUser");
        def.append_attribute("user") = _User.c_str();
        def.append_attribute("pwd") = storedPwd.c_str();
        def.append_attribute("auto") = autoText.c_str();
    }
    bool found = false;
    for (pugi::xml_node child : root.children()) {
        if (child.type() == pugi::node_element && std::string_view(child.name()) == "User" &&
            xml::attr(child, "user") == _User) {
            setAttr(child, "pwd", storedPwd);
            found = true;
            break;
        }
    }
    if (!found) {
        pugi::xml_node u = root.append_child("User");
        u.append_attribute("user") = _User.c_str();
        u.append_attribute("pwd") = storedPwd.c_str();
    }
    // Remembered passwords: readable by the user alone.
    return xml::save(doc, UsersXml, true).ok();
}

std::string TVX_JS::_GetProductID() {
    if (_productID.empty())
        _productID = ScrambleParam("0");
    return _productID;
}

std::string TVX_JS::_GetUid() {
    if (_uid.empty())
        _uid = "0";
    return ScrambleParam(_uid);
}

std::string TVX_JS::_GetUser() { return _User; }
std::string TVX_JS::_GetPwd() { return _pwd; }
std::string TVX_JS::_GetAutoLogin() { return ckAuto; }

void TVX_JS::_SetAutoLogin(const std::string& _auto) {
    ckAuto = _auto;
    pugi::xml_document doc;
    if (!xml::load(doc, UsersXml))
        return;
    pugi::xml_node def = xml::findElement(doc.document_element(), "DefUser");
    if (!def)
        return;
    setAttr(def, "auto", _auto == "1" ? "true" : "false");
    (void)xml::save(doc, UsersXml, true);
}

bool TVX_JS::_CloseAutoLogin() {
    pugi::xml_document doc;
    if (!xml::load(doc, UsersXml))
        return false;
    pugi::xml_node def = xml::findElement(doc.document_element(), "DefUser");
    if (!def)
        return false;
    setAttr(def, "auto", "false");
    return xml::save(doc, UsersXml, true).ok();
}

std::string TVX_JS::_GetConfigValue(const std::string& _Name) {
    pugi::xml_document doc;
    if (!xml::load(doc, ConfigXml))
        return {};
    return xml::elementText(doc.document_element(), _Name);
}

} // namespace vx
