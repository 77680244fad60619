#include "DemoService.h"

#include "core/Crypto.h"
#include "core/Signing.h"
#include "core/Text.h"

#include <charconv>
#include <ctime>
#include <fstream>
#include <httplib.h>
#include <pugixml.hpp>
#include <sstream>

#ifndef VX_EXE_SUFFIX
#define VX_EXE_SUFFIX ""
#endif

namespace vxdemo {

namespace fs = std::filesystem;

namespace {

constexpr const char* kXmlType = "text/xml; charset=utf-8";
constexpr std::size_t kMaxBody = 1 << 20;

// --- Reply building ----------------------------------------------------------------------------

pugi::xml_node newReply(pugi::xml_document& doc, const char* root) {
    auto decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "utf-8";
    return doc.append_child(root);
}

void add(pugi::xml_node parent, const char* name, const std::string& value) {
    parent.append_child(name).text() = value.c_str();
}

std::string serialize(const pugi::xml_document& doc) {
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

void sendXml(httplib::Response& res, const std::string& text, int status = 200) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(text, kXmlType);
}

// A refusal in the shape of a login reply: statu false and a message for a person.
void refuse(httplib::Response& res, int status, const std::string& msg) {
    pugi::xml_document doc;
    pugi::xml_node root = newReply(doc, "result");
    add(root, "statu", "false");
    add(root, "msg", msg);
    sendXml(res, serialize(doc), status);
}

void appElement(pugi::xml_node parent, const App& a) {
    pugi::xml_node e = parent.append_child("app");
    add(e, "appId", std::to_string(a.id));
    add(e, "Name", a.name);
    add(e, "Dir", a.dir);
    add(e, "Ico", a.ico);
    add(e, "MainFile", a.mainFile);
    add(e, "Version", a.version);
    add(e, "price", a.price);
    add(e, "Statu", a.statu);
    add(e, "nessary", a.nessary);
    add(e, "Note", a.note);
    add(e, "Img", a.img);
    add(e, "Url", a.url);
    add(e, "Sort", a.sort);
    add(e, "myAppVersionName", a.versionName);
}

std::string listReply(const std::vector<App>& apps) {
    pugi::xml_document doc;
    pugi::xml_node root = newReply(doc, "apps");
    for (const auto& a : apps)
        appElement(root, a);
    return serialize(doc);
}

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '<':
            out += "\\u003c";
            break; // keeps the text harmless inside a script element
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

// --- Request reading ---------------------------------------------------------------------------

// A form field of a multipart or URL-encoded body.
std::string formValue(const httplib::Request& req, const char* name) {
    if (req.has_file(name))
        return req.get_file_value(name).content;
    return req.get_param_value(name);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

// The value of `key` in the query of a raw request target, with %XX escapes decoded and "+"
// kept as it is: a scrambled token is appended to the address unencoded, and its base64 "+"
// must not turn into a space.
std::optional<std::string> rawQueryValue(const std::string& target, std::string_view key) {
    const auto q = target.find('?');
    if (q == std::string::npos)
        return std::nullopt;
    std::string_view query = std::string_view(target).substr(q + 1);
    if (auto hash = query.find('#'); hash != std::string_view::npos)
        query = query.substr(0, hash);
    while (!query.empty()) {
        auto amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.size() <= key.size() || pair.substr(0, key.size()) != key ||
            pair[key.size()] != '=')
            continue;
        std::string_view v = pair.substr(key.size() + 1);
        std::string out;
        for (std::size_t i = 0; i < v.size(); ++i) {
            int hi = 0, lo = 0;
            if (v[i] == '%' && i + 2 < v.size() && (hi = hexValue(v[i + 1])) >= 0 &&
                (lo = hexValue(v[i + 2])) >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
            } else {
                out += v[i];
            }
        }
        return out;
    }
    return std::nullopt;
}

// The user that a scrambled token names; none for a token that is not one or names nobody.
std::optional<User> userOfToken(Store& store, const std::string& token) {
    if (token.empty() || token.size() > 256)
        return std::nullopt;
    auto uid = vx::UnscrambleParam(token);
    if (!uid || uid->empty())
        return std::nullopt;
    std::int64_t id = 0;
    auto [end, ec] = std::from_chars(uid->data(), uid->data() + uid->size(), id);
    if (ec != std::errc() || end != uid->data() + uid->size() || id <= 0)
        return std::nullopt;
    return store.userById(id);
}

// A path below a folder from the segments of a request path; none for anything that could
// leave the folder or name something odd ("..", ".", empty segments, back slashes, drive
// letters, control characters, hidden names).
std::optional<fs::path> safeRelative(std::string_view path) {
    if (path.empty() || path.size() > 1024)
        return std::nullopt;
    fs::path out;
    while (!path.empty()) {
        auto slash = path.find('/');
        std::string_view seg = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (seg.empty() || seg.front() == '.')
            return std::nullopt;
        for (unsigned char c : seg)
            if (c < 0x20 || c == '\\' || c == ':' || c == 0x7f)
                return std::nullopt;
        out /= fs::path(std::u8string(seg.begin(), seg.end()));
        if (slash == std::string_view::npos)
            break;
        if (path.empty())
            return std::nullopt; // a trailing slash names a folder
    }
    return out;
}

namespace {

std::string mimeOf(const fs::path& p) {
    std::string ext = p.extension().string();
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".html" || ext == ".htm")
        return "text/html; charset=utf-8";
    if (ext == ".css")
        return "text/css; charset=utf-8";
    if (ext == ".js")
        return "application/javascript; charset=utf-8";
    if (ext == ".json")
        return "application/json; charset=utf-8";
    if (ext == ".svg")
        return "image/svg+xml";
    if (ext == ".png")
        return "image/png";
    if (ext == ".ico")
        return "image/x-icon";
    if (ext == ".xml")
        return kXmlType;
    if (ext == ".txt" || ext == ".md")
        return "text/plain; charset=utf-8";
    if (ext == ".zip")
        return "application/zip";
    return "application/octet-stream";
}

// Counts the bytes of one streamed reply and, with a log, says how many went out once the
// reply is over, whole or cut off ("SENT /path N"): what a resumed download saved shows in
// the log.
struct SentBytes {
    std::function<void(const std::string&)> log;
    std::string what;
    std::size_t n = 0;
    bool streamed = false;
    ~SentBytes() {
        if (log && streamed)
            log("SENT " + what + " " + std::to_string(n));
    }
};

// Streams a regular file; false when there is none at the path.
bool sendFile(httplib::Response& res, const fs::path& file,
              std::shared_ptr<SentBytes> sent = nullptr) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        return false;
    const auto size = fs::file_size(file, ec);
    if (ec)
        return false;
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    if (!*in)
        return false;
    if (sent)
        sent->streamed = true;
    // A strong validator, so that a resumed download is continued only from the same file.
    const auto mtime = fs::last_write_time(file, ec).time_since_epoch().count();
    res.set_header("ETag", "\"" + std::to_string(size) + "-" + std::to_string(mtime) + "\"");
    res.set_content_provider(
        static_cast<std::size_t>(size), mimeOf(file),
        [in, sent](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            char buf[64 * 1024];
            in->clear();
            in->seekg(static_cast<std::streamoff>(offset));
            while (length > 0) {
                const auto want = std::min(length, sizeof buf);
                in->read(buf, static_cast<std::streamsize>(want));
                const auto got = static_cast<std::size_t>(in->gcount());
                if (got == 0)
                    return false; // the file shrank meanwhile: end the connection
                if (!sink.write(buf, got))
                    return false;
                if (sent)
                    sent->n += got;
                length -= got;
            }
            return true;
        });
    return true;
}

std::string readSmallFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), {});
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s.size() > 64 ? s.substr(0, 64) : s;
}

std::string exe(const std::string& name) {
    return name + VX_EXE_SUFFIX;
}

} // namespace

vx::Status seedDemo(Store& store) {
    if (!store.empty())
        return {};
    auto uid = store.addUser(kDemoUser, kDemoPassword, "10000", "1", kDemoUid);
    if (!uid)
        return vx::Error{uid.error()};
    const std::vector<App> apps = {
        {4, "消息助手", "assistant", "icon.svg", exe("vx-assistant"), "1.0", "0", "显示", "是",
         "常驻后台，接收应用中心的显示和隐藏指令。", "icon.svg", "/help.html#assistant", "1",
         "标准版", "assistant-1.0.zip"},
        {12, "用户信息", "userinfo", "icon.svg", exe("vx-userinfo"), "1.1", "0", "显示", "否",
         "向应用中心询问当前用户和本应用的资料，并显示出来。", "icon.svg", "/help.html#userinfo",
         "2", "专业版", "userinfo-1.0.zip"},
        {15, "应用启动器", "launcher", "icon.svg", exe("vx-launcher"), "1.0", "9.9", "显示", "否",
         "请应用中心启动另一个已安装的应用。", "icon.svg", "/help.html#launcher", "3", "标准版",
         "launcher-1.0.zip"},
        {20, "应用信息查看", "appinfo", "icon.svg", exe("vx-appinfo"), "1.0", "0", "显示", "否",
         "查看应用中心为本应用保存的价格、版本名称和帮助地址。", "icon.svg", "/help.html#appinfo",
         "4", "体验版", "appinfo-1.0.zip"},
    };
    for (const auto& a : apps)
        if (auto st = store.putApp(a); !st)
            return st;
    for (std::int64_t id : {4, 12, 15})
        if (auto st = store.addUserApp(*uid, id); !st)
            return st;
    return {};
}

vx::Expected<std::unique_ptr<DemoService>> DemoService::create(ServiceOptions options) {
    std::error_code ec;
    fs::create_directories(options.dataDir / "apps", ec);
    if (ec)
        return vx::Error{"cannot create the data folder " + options.dataDir.string() + ": " +
                         ec.message()};
    if (!options.signingKeyPem.empty())
        if (auto pub = vx::publicKeyOf(options.signingKeyPem); !pub)
            return vx::Error{"cannot sign with the signing key: " + pub.error()};
    if (options.tlsCertificate.empty() != options.tlsKey.empty())
        return vx::Error{"HTTPS needs both a certificate and its private key"};
    std::unique_ptr<httplib::Server> http;
    if (!options.tlsCertificate.empty()) {
        auto tls = std::make_unique<httplib::SSLServer>(options.tlsCertificate.string().c_str(),
                                                        options.tlsKey.string().c_str());
        if (!tls->is_valid())
            return vx::Error{"cannot serve HTTPS with the certificate " +
                             options.tlsCertificate.string() + " and the key " +
                             options.tlsKey.string() +
                             " (missing, not PEM, or a key that is not the certificate's)"};
        http = std::move(tls);
    } else {
        http = std::make_unique<httplib::Server>();
    }
    auto store = Store::open((options.dataDir / "service.db").string());
    if (!store)
        return vx::Error{store.error()};
    if (auto st = seedDemo(**store); !st)
        return vx::Error{"cannot seed the demo data: " + st.error()};
    std::unique_ptr<DemoService> s(
        new DemoService(std::move(options), std::move(store).value(), std::move(http)));
    s->routes();
    return s;
}

DemoService::DemoService(ServiceOptions options, std::unique_ptr<Store> store,
                         std::unique_ptr<httplib::Server> http)
    : m_options(std::move(options)), m_store(std::move(store)), m_http(std::move(http)) {
    // SO_REUSEADDR, so that connections that a server on this port closed a moment ago
    // (TIME_WAIT for about a minute) do not keep the service from listening, while a
    // server that still listens there keeps the port. cpp-httplib's own default,
    // SO_REUSEPORT alone, does neither: a port left by a server that used SO_REUSEADDR
    // stays blocked, and a second service could share a listening one's port.
    m_http->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes),
                     sizeof yes);
    });
}

DemoService::~DemoService() {
    stop();
}

fs::path DemoService::appFolder(const std::string& dir) const {
    std::error_code ec;
    if (fs::is_directory(m_options.dataDir / "apps" / dir, ec))
        return m_options.dataDir / "apps" / dir;
    for (const auto& d : m_options.appsDirs)
        if (fs::is_directory(d / dir, ec))
            return d / dir;
    return {};
}

vx::Expected<int> DemoService::bind(const std::string& host, int port) {
    if (port == 0) {
        int p = m_http->bind_to_any_port(host);
        if (p <= 0)
            return vx::Error{"cannot listen on " + host};
        return p;
    }
    if (!m_http->bind_to_port(host, port))
        return vx::Error{"cannot listen on " + host + ":" + std::to_string(port) +
                         " (is another program using the port?)"};
    return port;
}

void DemoService::run() {
    m_http->listen_after_bind();
}

void DemoService::start() {
    m_thread = std::thread([this] { run(); });
    // stop() before the loop runs would be lost.
    while (!m_http->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void DemoService::stop() {
    if (m_http)
        m_http->stop();
    if (m_thread.joinable())
        m_thread.join();
}

int DemoService::lockedFor(const std::string& user) {
    std::lock_guard lock(m_failMutex);
    auto it = m_failures.find(user);
    if (it == m_failures.end() || it->second.count < m_options.maxLoginFailures)
        return 0;
    const auto left = it->second.until - std::chrono::steady_clock::now();
    if (left <= std::chrono::seconds(0)) {
        m_failures.erase(it); // the lock has passed: a fresh start
        return 0;
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::seconds>(left).count());
}

void DemoService::noteLogin(const std::string& user, bool ok) {
    std::lock_guard lock(m_failMutex);
    if (ok) {
        m_failures.erase(user);
        return;
    }
    // Bounded: names that never existed must not fill the memory.
    if (m_failures.size() > 10000)
        m_failures.clear();
    Failures& f = m_failures[user];
    if (++f.count >= m_options.maxLoginFailures)
        f.until = std::chrono::steady_clock::now() + std::chrono::seconds(m_options.lockSeconds);
}

std::optional<std::string> DemoService::descriptor(const std::string& dir,
                                                   const std::optional<App>& app) {
    const bool client = !app;
    const fs::path folder = appFolder(dir);
    // Signed descriptors expire a week after the day they were signed on.
    const std::string expiry =
        m_options.signingKeyPem.empty() ? std::string() : signedExpiry(std::time(nullptr));
    auto files = folder.empty() ? vx::Expected<std::vector<ReleaseFile>>(std::vector<ReleaseFile>{})
                                : scanRelease(folder / "files", m_digests);
    if (!files)
        return std::nullopt;
    if (client) {
        std::string version;
        if (!folder.empty())
            version = readSmallFile(folder / "version.txt");
        return clientDescriptor(version, *files, expiry);
    }
    // The client writes the descriptor itself; a release copy would only be fetched to be
    // replaced.
    auto& list = files.value();
    std::erase_if(list, [](const ReleaseFile& f) {
        return f.dir.empty() && vx::iequals(f.name, "version.xml");
    });
    // Patches from the previous release, where one is kept; a release whose patches cannot
    // be made is served without them.
    if (!folder.empty())
        if (auto st = addPatches(folder, list, m_digests); !st && m_options.log)
            m_options.log("PATCHES " + dir + " " + st.error());
    // The package as the files route finds it: the release folder first, then beside it.
    std::string zipSha256;
    if (auto rel = safeRelative(app->package); rel && !folder.empty()) {
        std::error_code ec;
        for (const fs::path& p : {folder / "files" / *rel, folder / *rel})
            if (fs::is_regular_file(p, ec)) {
                auto d = m_digests.digests(p);
                if (!d)
                    return std::nullopt;
                zipSha256 = d->sha256;
                break;
            }
    }
    return applicationDescriptor(app->version, app->package, zipSha256, list,
                                 Binding{std::to_string(app->id), app->mainFile, expiry});
}

void DemoService::routes() {
    httplib::Server& http = *m_http;
    http.set_payload_max_length(kMaxBody);
    http.set_read_timeout(30);
    http.set_write_timeout(30);
    if (m_options.log)
        http.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
            m_options.log(req.method + " " + req.target + " " + std::to_string(res.status));
        });
    http.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            refuse(res, 500, "服务器内部错误，请稍后再试");
        });
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty() && !res.content_provider_)
            res.set_content(std::to_string(res.status) + " " +
                                (res.status == 404 ? "未找到该页面" : "请求无法处理"),
                            "text/plain; charset=utf-8");
    });

    // The start page itself, not a redirect: the client compares the loaded address with
    // its base address.
    http.Get("/", [this](const httplib::Request&, httplib::Response& res) {
        if (!sendFile(res, m_options.webDir / "index.html"))
            res.status = 404;
        else
            res.set_header("Cache-Control", "no-cache");
    });

    http.Post("/Login.php", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string user = formValue(req, "user"), pws = formValue(req, "pws");
        pugi::xml_document doc;
        pugi::xml_node root = newReply(doc, "result");
        std::optional<User> u;
        std::string msg;
        if (user.empty() || pws.empty()) {
            msg = "请输入用户名和密码";
        } else if (int wait = lockedFor(user); wait > 0) {
            msg = "密码错误次数过多，请 " + std::to_string(wait) + " 秒后再试";
        } else if (user.size() > 128 || pws.size() > 256 || !(u = m_store->checkLogin(user, pws))) {
            noteLogin(user, false);
            msg = "用户名或密码错误，请重新输入";
        } else {
            noteLogin(user, true);
            msg = "登录成功";
        }
        add(root, "statu", u ? "true" : "false");
        add(root, "msg", msg);
        add(root, "user", u ? u->name : "");
        add(root, "qq", u ? u->qq : "");
        add(root, "agentId", u ? u->agentId : "");
        add(root, "uid", u ? std::to_string(u->id) : "");
        sendXml(res, serialize(doc));
    });
    http.Get("/Login.php", [](const httplib::Request&, httplib::Response& res) {
        refuse(res, 405, "请通过应用中心客户端登录");
    });

    http.Get("/myApps.php", [this](const httplib::Request& req, httplib::Response& res) {
        auto u = userOfToken(*m_store, rawQueryValue(req.target, "u").value_or(""));
        if (!u)
            return refuse(res, 403, "用户未登录或登录已失效");
        sendXml(res, listReply(m_store->userApps(u->id)));
    });

    http.Post("/userAppAdd.php", [this](const httplib::Request& req, httplib::Response& res) {
        auto u = userOfToken(*m_store, formValue(req, "uid"));
        if (!u)
            return refuse(res, 403, "用户未登录或登录已失效");
        const std::string appId = formValue(req, "appId");
        std::int64_t id = 0;
        auto [end, ec] = std::from_chars(appId.data(), appId.data() + appId.size(), id);
        if (appId.empty() || ec != std::errc() || end != appId.data() + appId.size() ||
            !m_store->appById(id))
            return refuse(res, 404, "应用不存在");
        if (auto st = m_store->addUserApp(u->id, id); !st)
            return refuse(res, 500, "添加失败，请稍后再试");
        sendXml(res, listReply(m_store->userApps(u->id)));
    });

    // The catalogue for the page, as JSON; with u, each entry says whether the user has it.
    http.Get("/catalog.php", [this](const httplib::Request& req, httplib::Response& res) {
        std::optional<User> u;
        if (auto token = rawQueryValue(req.target, "u"); token && !token->empty())
            if (!(u = userOfToken(*m_store, *token))) {
                res.status = 403;
                res.set_content("{\"ok\":false,\"msg\":\"用户未登录或登录已失效\"}",
                                "application/json; charset=utf-8");
                return;
            }
        std::vector<std::int64_t> mine;
        if (u)
            for (const auto& a : m_store->userApps(u->id))
                mine.push_back(a.id);
        std::string out = "{\"ok\":true,\"apps\":[";
        bool first = true;
        for (const auto& a : m_store->catalogue()) {
            if (!first)
                out += ",";
            first = false;
            const bool added = std::find(mine.begin(), mine.end(), a.id) != mine.end();
            out += "{\"appId\":" + std::to_string(a.id) + ",\"name\":" + jsonString(a.name) +
                   ",\"dir\":" + jsonString(a.dir) + ",\"ico\":" + jsonString(a.ico) +
                   ",\"version\":" + jsonString(a.version) + ",\"price\":" + jsonString(a.price) +
                   ",\"note\":" + jsonString(a.note) + ",\"url\":" + jsonString(a.url) +
                   ",\"versionName\":" + jsonString(a.versionName) +
                   ",\"nessary\":" + (a.nessary == "是" ? "true" : "false") +
                   ",\"added\":" + (added ? "true" : "false") + "}";
        }
        out += "]}";
        res.set_header("Cache-Control", "no-store");
        res.set_content(out, "application/json; charset=utf-8");
    });

    // Descriptors, packages and release files of the applications and of the client.
    http.Get(R"(/apps/([^/]+)/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string dir = req.matches[1];
        const std::string rest = req.matches[2];
        const bool client = dir == kClientDir;
        std::optional<App> app;
        if (!client && !(app = m_store->appByDir(dir)))
            return refuse(res, 404, "应用不存在");
        if (rest == "version.xml" || rest == "version.xml.sig") {
            auto text = descriptor(dir, app);
            if (!text)
                return refuse(res, 500, "服务器文件无法读取");
            if (rest == "version.xml")
                return sendXml(res, *text);
            if (m_options.signingKeyPem.empty())
                return refuse(res, 404, "文件不存在");
            // Signed as built now: a release that changes between the descriptor and its
            // signature gives a pair that does not match, which a client refuses and fetches
            // again, never a signature of files that are not there.
            auto sig = vx::signEd25519(m_options.signingKeyPem, *text);
            if (!sig)
                return refuse(res, 500, "服务器无法签名");
            res.set_header("Cache-Control", "no-store");
            res.set_content(vx::signatureFileText(*sig), "text/plain; charset=utf-8");
            return;
        }
        const fs::path folder = appFolder(dir);
        auto rel = safeRelative(rest);
        if (!rel || folder.empty())
            return refuse(res, 404, "文件不存在");
        std::shared_ptr<SentBytes> sent;
        if (m_options.log && req.method == "GET")
        {
            sent = std::make_shared<SentBytes>();
            sent->log = m_options.log;
            sent->what = req.path;
        }
        if (sendFile(res, folder / "files" / *rel, sent) || sendFile(res, folder / *rel, sent))
            return;
        refuse(res, 404, "文件不存在");
    });

    // The page's assets.
    http.Get(R"(/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
        auto rel = safeRelative(std::string(req.matches[1]));
        if (!rel || !sendFile(res, m_options.webDir / *rel))
            res.status = 404;
    });
}

} // namespace vxdemo
