#include "ServiceFixture.h"

#include "support/Loopback.h"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <sqlite3.h>
#include <zip.h>
#include <zlib.h>

using namespace servicetest;

namespace {

httplib::MultipartFormDataItems form(std::initializer_list<std::pair<const char*, std::string>> f) {
    httplib::MultipartFormDataItems items;
    for (const auto& [k, v] : f)
        items.push_back({k, v, "", ""});
    return items;
}

const std::vector<std::string> kAppElements = {
    "appId", "Name",    "Dir",  "Ico", "MainFile", "Version", "price",
    "Statu", "nessary", "Note", "Img", "Url",      "Sort",    "myAppVersionName"};

std::vector<std::string> appIds(pugi::xml_node root) {
    std::vector<std::string> ids;
    for (pugi::xml_node a : root.children())
        ids.push_back(a.child_value("appId"));
    return ids;
}

std::string gunzip(const std::string& in) {
    z_stream z{};
    inflateInit2(&z, 16 + MAX_WBITS);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    std::string out;
    char buf[4096];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    }
    inflateEnd(&z);
    EXPECT_EQ(rc, Z_STREAM_END);
    return out;
}

// The entries of a zip held in memory.
std::map<std::string, std::string> unzip(const std::string& bytes) {
    std::map<std::string, std::string> out;
    zip_error_t err;
    zip_source_t* src = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &err);
    zip_t* z = zip_open_from_source(src, ZIP_RDONLY, &err);
    if (!z) {
        ADD_FAILURE() << "not a zip";
        zip_source_free(src);
        return out;
    }
    for (zip_int64_t i = 0; i < zip_get_num_entries(z, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(z, i, 0, &st);
        std::string content(st.size, '\0');
        zip_file_t* f = zip_fopen_index(z, i, 0);
        zip_fread(f, content.data(), st.size);
        zip_fclose(f);
        out[st.name] = content;
    }
    zip_close(z);
    return out;
}

} // namespace

TEST_F(ServiceFixture, LoginAcceptsTheRightPasswordOnly) {
    auto c = client();
    auto ok = c.Post("/Login.php", form({{"user", "demo"}, {"pws", "demo123"}, {"pid", "77"}}));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_EQ(ok->get_header_value("Content-Type"), "text/xml; charset=utf-8");
    EXPECT_EQ(ok->body.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u) << ok->body;
    pugi::xml_document doc;
    auto root = parseXml(doc, ok->body);
    EXPECT_STREQ(root.child_value("statu"), "true");
    EXPECT_STREQ(root.child_value("user"), "demo");
    EXPECT_STREQ(root.child_value("uid"), "10086");
    for (const char* e : {"msg", "qq", "agentId"})
        EXPECT_TRUE(root.child(e)) << e;

    struct Case {
        std::string user, pwd, msg;
    };
    for (const Case& k :
         {Case{"demo", "wrong", "用户名或密码错误，请重新输入"},
          Case{"demo", "DEMO123", "用户名或密码错误，请重新输入"},
          Case{"nobody", "demo123", "用户名或密码错误，请重新输入"},
          Case{"demo", "", "请输入用户名和密码"}, Case{"", "demo123", "请输入用户名和密码"},
          Case{"<demo>&\"", "x'<>", "用户名或密码错误，请重新输入"}}) {
        auto r = c.Post("/Login.php", form({{"user", k.user}, {"pws", k.pwd}, {"pid", ""}}));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
        pugi::xml_document d;
        auto rt = parseXml(d, r->body);
        EXPECT_STREQ(rt.child_value("statu"), "false") << k.user;
        EXPECT_EQ(std::string(rt.child_value("msg")), k.msg) << k.user;
        EXPECT_STREQ(rt.child_value("uid"), "");
        for (const char* e : {"user", "qq", "agentId", "uid"})
            EXPECT_TRUE(rt.child(e)) << e;
    }
    // A form that is not multipart, and the wrong method: refusals, never a crash.
    auto plain = c.Post("/Login.php", "garbage\x01\x02", "application/octet-stream");
    ASSERT_TRUE(plain);
    pugi::xml_document d1;
    EXPECT_STREQ(parseXml(d1, plain->body).child_value("statu"), "false");
    auto get = c.Get("/Login.php?user=demo&pws=demo123");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 405);
    pugi::xml_document d2;
    EXPECT_STREQ(parseXml(d2, get->body).child_value("statu"), "false");
    // A multipart body with a leading line break, as the client's writer makes it.
    const std::string body =
        "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"user\"\r\n\r\ndemo"
        "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"pws\"\r\n\r\ndemo123"
        "\r\n--XyZ--\r\n";
    auto raw = c.Post("/Login.php", body, "multipart/form-data; boundary=XyZ");
    ASSERT_TRUE(raw);
    pugi::xml_document d3;
    EXPECT_STREQ(parseXml(d3, raw->body).child_value("statu"), "true");
}

TEST_F(ServiceFixture, RepeatedWrongPasswordsLockTheNameForAWhile) {
    auto c = client();
    auto statuMsg = [&](const std::string& user, const std::string& pwd) {
        auto r = c.Post("/Login.php", form({{"user", user}, {"pws", pwd}}));
        pugi::xml_document d;
        auto root = parseXml(d, r->body);
        return std::string(root.child_value("statu")) + " " + root.child_value("msg");
    };
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(statuMsg("demo", "bad"), "false 用户名或密码错误，请重新输入");
    EXPECT_EQ(statuMsg("demo", "demo123").rfind("true", 0), 0u); // a success resets the count
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(statuMsg("demo", "bad"), "false 用户名或密码错误，请重新输入");
    EXPECT_TRUE(std::regex_match(statuMsg("demo", "demo123"),
                                 std::regex("false 密码错误次数过多，请 \\d+ 秒后再试")));
    // Other names are not affected.
    ASSERT_TRUE(service->store().addUser("carol", "pw").ok());
    EXPECT_EQ(statuMsg("carol", "pw").rfind("true", 0), 0u);

    // Once the lock has passed, the right password works again.
    service->stop();
    service.reset();
    lockSeconds = 1;
    startService();
    auto c2 = client();
    for (int i = 0; i < 5; ++i)
        c2.Post("/Login.php", form({{"user", "carol"}, {"pws", "bad"}}));
    auto locked = c2.Post("/Login.php", form({{"user", "carol"}, {"pws", "pw"}}));
    EXPECT_NE(locked->body.find("密码错误次数过多"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    auto again = c2.Post("/Login.php", form({{"user", "carol"}, {"pws", "pw"}}));
    EXPECT_NE(again->body.find("<statu>true</statu>"), std::string::npos) << again->body;
}

TEST_F(ServiceFixture, PasswordsAreStoredAsSlowSaltedHashes) {
    EXPECT_TRUE(service->store().addUser("alice", "secret-1").ok());
    EXPECT_FALSE(service->store().addUser("alice", "other").ok());
    EXPECT_FALSE(service->store().addUser("", "x").ok());
    EXPECT_FALSE(service->store().addUser("bob", "").ok());
    EXPECT_TRUE(service->store().checkLogin("alice", "secret-1"));
    EXPECT_TRUE(service->store().setPassword("alice", "secret-2").ok());
    EXPECT_FALSE(service->store().checkLogin("alice", "secret-1"));
    EXPECT_TRUE(service->store().checkLogin("alice", "secret-2"));
    EXPECT_FALSE(service->store().setPassword("nobody", "x").ok());

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((data.path() / "service.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT name, salt, hash, iterations FROM users", -1, &s, nullptr);
    std::set<std::string> salts;
    int rows = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
        ++rows;
        EXPECT_GE(sqlite3_column_int64(s, 3), 100000);
        EXPECT_EQ(sqlite3_column_bytes(s, 1), 16);
        EXPECT_EQ(sqlite3_column_bytes(s, 2), 32);
        salts.insert(std::string(static_cast<const char*>(sqlite3_column_blob(s, 1)), 16));
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(salts.size(), 2u);
    const std::string file = vxtest::readFile((data.path() / "service.db").string());
    EXPECT_EQ(file.find("demo123"), std::string::npos);
    EXPECT_EQ(file.find("secret-2"), std::string::npos);
}

TEST_F(ServiceFixture, ListRepliesCarryEveryElementInOrder) {
    auto c = client();
    auto r = c.Get(("/myApps.php?u=" + token("10086")).c_str());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(r->body.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u);
    pugi::xml_document doc;
    auto root = parseXml(doc, r->body);
    EXPECT_EQ(appIds(root), (std::vector<std::string>{"4", "12", "15"}));
    for (pugi::xml_node a : root.children()) {
        std::vector<std::string> names;
        for (pugi::xml_node e : a.children())
            names.push_back(e.name());
        EXPECT_EQ(names, kAppElements);
    }
    pugi::xml_node app12 = root.child("app").next_sibling();
    EXPECT_STREQ(app12.child_value("Dir"), "userinfo");
    EXPECT_STREQ(app12.child_value("Version"), "1.1");
    EXPECT_STREQ(app12.child_value("nessary"), "否");
    EXPECT_STREQ(app12.child_value("Statu"), "显示");
    EXPECT_STREQ(root.child("app").child_value("nessary"), "是");
}

TEST(ServiceRequests, QueryValuesKeepPlusAndDecodeEscapes) {
    using vxdemo::rawQueryValue;
    EXPECT_EQ(rawQueryValue("/myApps.php?u=ab+c/d==", "u"), "ab+c/d==");
    EXPECT_EQ(rawQueryValue("/myApps.php?x=1&u=ab%2Bc%2Fd%3D%3D&y=2", "u"), "ab+c/d==");
    EXPECT_EQ(rawQueryValue("/myApps.php?uu=1&u=x#frag", "u"), "x");
    EXPECT_EQ(rawQueryValue("/myApps.php?u=%zz%4", "u"), "%zz%4");
    EXPECT_EQ(rawQueryValue("/myApps.php?u=", "u"), "");
    EXPECT_FALSE(rawQueryValue("/myApps.php?uid=1", "u"));
    EXPECT_FALSE(rawQueryValue("/myApps.php", "u"));
    using vxdemo::safeRelative;
    EXPECT_EQ(safeRelative("a/b.txt"), std::filesystem::path("a/b.txt"));
    for (const char* bad :
         {"", "..", "a/../b", "./a", "a//b", "a/", ".hidden", "a\\b", "C:x", "a\x01b"})
        EXPECT_FALSE(safeRelative(bad)) << bad;
}

TEST_F(ServiceFixture, TheTokenIsReadRawWithItsPadding) {
    const std::string t = token("10086");
    ASSERT_EQ(t.back(), '=');
    auto c = client();
    auto raw = c.Get(("/myApps.php?u=" + t).c_str());
    ASSERT_TRUE(raw);
    ASSERT_EQ(raw->status, 200) << raw->body;
    // Percent-encoded by a careful caller: the same user.
    std::string encoded;
    for (char ch : t)
        encoded += ch == '+' ? "%2B" : ch == '=' ? "%3D" : ch == '/' ? "%2F" : std::string(1, ch);
    auto enc = c.Get(("/myApps.php?x=1&u=" + encoded).c_str());
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->body, raw->body);
    // A token whose base64 holds "+" (numeric ids never give one, some GBK texts do): a "+"
    // read as a space would spoil it.
    const std::string plusText = "abc丛";
    const std::string plusToken = vx::ScrambleParam(plusText);
    ASSERT_NE(plusToken.find('+'), std::string::npos);
    EXPECT_EQ(
        vx::UnscrambleParam(*vxdemo::rawQueryValue("/myApps.php?u=" + plusToken, "u")).valueOr(""),
        plusText);

    // Refused, each with a well-formed reply: padding cut, tampering, no user, no token.
    std::string tampered = t;
    tampered[0] = tampered[0] == 'A' ? 'B' : 'A';
    for (const std::string& bad :
         {"/myApps.php?u=" + t.substr(0, t.size() - 1), "/myApps.php?u=" + tampered,
          "/myApps.php?u=" + token("0"), "/myApps.php?u=" + token("abc"),
          "/myApps.php?u=" + plusToken, "/myApps.php?u=" + token("999999"),
          "/myApps.php?u=" + token("-1"), std::string("/myApps.php"), std::string("/myApps.php?u="),
          std::string("/myApps.php?u=%zz%"), "/myApps.php?u=" + std::string(5000, 'A')}) {
        auto r = c.Get(bad.c_str());
        ASSERT_TRUE(r) << bad;
        EXPECT_EQ(r->status, 403) << bad;
        pugi::xml_document d;
        EXPECT_STREQ(parseXml(d, r->body).child_value("statu"), "false") << bad;
    }
}

TEST_F(ServiceFixture, AddingAnApplicationReturnsTheUpdatedList) {
    auto c = client();
    const std::string t = token("10086");
    for (int round = 0; round < 2; ++round) { // adding twice keeps one entry
        auto r = c.Post("/userAppAdd.php", form({{"uid", t}, {"appId", "20"}}));
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 200) << r->body;
        pugi::xml_document doc;
        EXPECT_EQ(appIds(parseXml(doc, r->body)),
                  (std::vector<std::string>{"4", "12", "15", "20"}));
    }
    for (auto [uid, app, status] :
         {std::tuple{t, std::string("999"), 404}, std::tuple{t, std::string("x"), 404},
          std::tuple{t, std::string(""), 404}, std::tuple{t, std::string("12abc"), 404},
          std::tuple{token("0"), std::string("12"), 403},
          std::tuple{std::string("garbage"), std::string("12"), 403}}) {
        auto r = c.Post("/userAppAdd.php", form({{"uid", uid}, {"appId", app}}));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, status) << app;
        pugi::xml_document doc;
        EXPECT_STREQ(parseXml(doc, r->body).child_value("statu"), "false");
    }
    // The catalogue for the page marks what the user has.
    auto cat = c.Get(("/catalog.php?u=" + t).c_str());
    ASSERT_TRUE(cat);
    EXPECT_EQ(cat->status, 200);
    EXPECT_NE(cat->body.find("\"appId\":20,\"name\":\"应用信息查看\""), std::string::npos);
    std::smatch m;
    EXPECT_TRUE(std::regex_search(cat->body, m, std::regex("\"appId\":20,[^}]*\"added\":true")));
    auto anon = c.Get("/catalog.php");
    ASSERT_TRUE(anon);
    EXPECT_FALSE(std::regex_search(anon->body, m, std::regex("\"added\":true")));
    auto bad = c.Get("/catalog.php?u=nonsense");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 403);
}

TEST_F(ServiceFixture, DescriptorsListTheServedFilesWithTheirDigests) {
    auto c = client();
    for (const auto& app : service->store().catalogue()) {
        auto r = c.Get(("/apps/" + app.dir + "/version.xml").c_str());
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 200);
        EXPECT_NE(r->body.find("<zipFile>" + app.package + "</zipFile>"), std::string::npos);
        pugi::xml_document doc;
        auto root = parseXml(doc, r->body);
        EXPECT_EQ(std::string(root.child_value("version")), app.version);
        int files = 0;
        bool mainListed = false;
        for (pugi::xml_node f : root.child("updateFile").children()) {
            ++files;
            const std::string dir = f.attribute("Dir").value(), name = f.attribute("Name").value();
            const std::string md5 = f.attribute("MD5").value();
            ASSERT_EQ(dir.rfind("{app}", 0), 0u);
            EXPECT_TRUE(std::regex_match(md5, std::regex("[0-9A-F]{32}"))) << md5;
            auto file = c.Get(("/apps/" + app.dir + "/" + dir.substr(5) + name).c_str());
            ASSERT_TRUE(file);
            ASSERT_EQ(file->status, 200) << name;
            EXPECT_EQ(md5Upper(file->body), md5) << name;
            mainListed |= name == app.mainFile;
        }
        EXPECT_GE(files, 2) << app.dir;
        EXPECT_TRUE(mainListed) << app.dir;

        // The package: version.xml with the packaged version, the program and its readme.
        auto pkg = c.Get(("/apps/" + app.dir + "/" + app.package).c_str());
        ASSERT_TRUE(pkg);
        ASSERT_EQ(pkg->status, 200);
        EXPECT_EQ(pkg->get_header_value("Content-Type"), "application/zip");
        auto entries = unzip(pkg->body);
        ASSERT_TRUE(entries.count("version.xml") && entries.count(app.mainFile)) << app.dir;
        pugi::xml_document pv;
        const std::string packaged = parseXml(pv, entries["version.xml"]).child_value("version");
        EXPECT_EQ(packaged == app.version, app.dir != "userinfo") << app.dir;
        EXPECT_NE(entries["version.xml"].find("<zipFile>"), std::string::npos);
        // A resumed download asks for the rest.
        auto part =
            c.Get(("/apps/" + app.dir + "/" + app.package).c_str(), {{"Range", "bytes=10-99"}});
        ASSERT_TRUE(part);
        EXPECT_EQ(part->status, 206);
        EXPECT_EQ(part->body, pkg->body.substr(10, 90));
    }
    auto icon = c.Get("/apps/userinfo/icon.svg");
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->status, 200);
    EXPECT_EQ(icon->get_header_value("Content-Type"), "image/svg+xml");
}

TEST_F(ServiceFixture, TheClientDescriptorFollowsTheReleaseFolder) {
    auto c = client();
    auto empty = c.Get("/apps/KVLMZ/version.xml");
    ASSERT_TRUE(empty);
    ASSERT_EQ(empty->status, 200);
    EXPECT_NE(empty->body.find("<verInfo>"), std::string::npos) << empty->body;
    pugi::xml_document d0;
    EXPECT_TRUE(parseXml(d0, empty->body).child("updateFile"));
    EXPECT_FALSE(d0.document_element().child("updateFile").first_child());

    data.write("apps/KVLMZ/version.txt", "0.2.0\n");
    data.write("apps/KVLMZ/files/vxclient", "new client");
    data.write("apps/KVLMZ/files/plugins/libx.so", "plugin & <more>");
    data.write("apps/KVLMZ/files/.hidden", "not listed");
    auto r = c.Get("/apps/KVLMZ/version.xml");
    ASSERT_TRUE(r);
    pugi::xml_document doc;
    auto root = parseXml(doc, r->body);
    EXPECT_STREQ(root.name(), "verInfo");
    EXPECT_STREQ(root.child_value("version"), "0.2.0");
    std::vector<std::string> listed;
    for (pugi::xml_node f : root.child("updateFile").children())
        listed.push_back(std::string(f.attribute("Dir").value()) + f.attribute("Name").value() +
                         " " + f.attribute("MD5").value());
    EXPECT_EQ(listed,
              (std::vector<std::string>{"{app}plugins/libx.so " + md5Upper("plugin & <more>"),
                                        "{app}vxclient " + md5Upper("new client")}));
    auto file = c.Get("/apps/KVLMZ/plugins/libx.so");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->body, "plugin & <more>");
    EXPECT_EQ(c.Get("/apps/KVLMZ/.hidden")->status, 404);

    // A replaced file gets its new digest at once.
    data.write("apps/KVLMZ/files/vxclient", "newer client build");
    auto again = c.Get("/apps/KVLMZ/version.xml");
    EXPECT_NE(again->body.find(md5Upper("newer client build")), std::string::npos);
}

TEST_F(ServiceFixture, XmlRepliesAreGzippedWhenTheClientAsks) {
    auto c = client();
    const std::string path = "/myApps.php?u=" + token("10086");
    auto plain = c.Get(path.c_str());
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->has_header("Content-Encoding"));
    for (const char* path2 :
         {path.c_str(), "/apps/userinfo/version.xml", "/apps/KVLMZ/version.xml"}) {
        auto z = c.Get(path2, {{"Accept-Encoding", "gzip, deflate"}});
        ASSERT_TRUE(z);
        EXPECT_EQ(z->get_header_value("Content-Encoding"), "gzip") << path2;
        auto p = c.Get(path2);
        EXPECT_EQ(gunzip(z->body), p->body) << path2;
    }
    auto login = c.Post("/Login.php", {{"Accept-Encoding", "gzip, deflate"}},
                        form({{"user", "demo"}, {"pws", "demo123"}}));
    ASSERT_TRUE(login);
    EXPECT_EQ(login->get_header_value("Content-Encoding"), "gzip");
    EXPECT_NE(gunzip(login->body).find("<statu>true</statu>"), std::string::npos);
}

TEST_F(ServiceFixture, StartPageAssetsAndBadPaths) {
    auto c = client();
    auto start = c.Get("/");
    ASSERT_TRUE(start);
    EXPECT_EQ(start->status, 200); // the page itself, no redirect
    EXPECT_EQ(start->body, vxtest::readFile(std::string(VX_WEB_DIR) + "/index.html"));
    EXPECT_EQ(start->get_header_value("Content-Type"), "text/html; charset=utf-8");
    auto help = c.Get("/help.html");
    ASSERT_TRUE(help);
    EXPECT_NE(help->body.find("<title>应用中心使用帮助</title>"), std::string::npos);
    for (const char* asset : {"/css/app.css", "/js/app.js", "/img/logo.svg"}) {
        auto r = c.Get(asset);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200) << asset;
    }
    for (const char* bad :
         {"/nothing.html", "/css/", "/../CMakeLists.txt", "/%2e%2e/CMakeLists.txt",
          "/apps/userinfo/%2e%2e/%2e%2e/service.db", "/apps/userinfo/files",
          "/apps/userinfo/..%2Fassistant%2Freadme.txt", "/apps/nope/version.xml",
          "/apps/nope/x.zip", "/apps/../service.db", "/service.db", "/apps/userinfo/a%5cb",
          "/apps/userinfo/C:%5cx", "/apps/userinfo/"}) {
        auto r = c.Get(bad);
        ASSERT_TRUE(r) << bad;
        EXPECT_TRUE(r->status == 404 || r->status == 400) << bad << " " << r->status;
        EXPECT_EQ(r->body.find("SQLite format"), std::string::npos) << bad;
    }
    // Bodies beyond the limit are refused.
    auto big = c.Post("/Login.php", std::string(2 << 20, 'x'), "application/x-www-form-urlencoded");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->status, 413);
    // The service still answers.
    EXPECT_EQ(c.Get("/")->status, 200);
}

TEST_F(ServiceFixture, OperatorCommandsAddUsersAndApplications) {
    service->stop();
    service.reset();
    const std::string exe = VX_DEMO_EXE;
    const std::string d = " --data '" + data.path().string() + "' ";
    vxtest::TempDir src{"svc-src"};
    const std::string zip = src.write("hello-2.0.zip", "PK\x05\x06" + std::string(18, '\0'));
    src.write("release/hello.exe", "hello program");
    src.write("release/doc/readme.txt", "read me");
    src.write("release/Version.xml", "<info/>"); // the client writes its own
    auto run = [&](const std::string& args) {
        return std::system((exe + d + args + " >/dev/null 2>&1").c_str());
    };
    EXPECT_EQ(run("--help"), 0);
    EXPECT_EQ(run("add-user alice s3cret --qq 123"), 0);
    EXPECT_NE(run("add-user alice again"), 0);
    EXPECT_EQ(
        std::system(("echo 'pw from stdin' | " + exe + d + "add-user bob - >/dev/null").c_str()),
        0);
    EXPECT_EQ(run("add-app --id 30 --name '你好' --dir hello --main hello.exe --version 2.0 "
                  "--package '" +
                  zip + "' --files '" + src.file("release") + "' --user alice"),
              0);
    EXPECT_NE(run("add-app --id 31 --name x --dir ../evil --main x --version 1"), 0);
    EXPECT_NE(run("add-app --id 32 --name x --dir hello --main x --version 1"), 0); // folder taken
    EXPECT_NE(run("frobnicate"), 0);
    EXPECT_EQ(run("grant bob 30"), 0);

    startService();
    auto c = client();
    auto login = c.Post("/Login.php", form({{"user", "bob"}, {"pws", "pw from stdin"}}));
    ASSERT_TRUE(login);
    pugi::xml_document ld;
    const std::string bobUid = parseXml(ld, login->body).child_value("uid");
    ASSERT_FALSE(bobUid.empty());
    auto list = c.Get(("/myApps.php?u=" + token(bobUid)).c_str());
    pugi::xml_document doc;
    auto root = parseXml(doc, list->body);
    EXPECT_EQ(appIds(root), std::vector<std::string>{"30"});
    EXPECT_STREQ(root.child("app").child_value("Name"), "你好");
    auto desc = c.Get("/apps/hello/version.xml");
    ASSERT_EQ(desc->status, 200);
    EXPECT_NE(desc->body.find("<zipFile>hello-2.0.zip</zipFile>"), std::string::npos);
    EXPECT_NE(desc->body.find("Dir=\"{app}doc/\" Name=\"readme.txt\" MD5=\"" + md5Upper("read me")),
              std::string::npos)
        << desc->body;
    EXPECT_EQ(desc->body.find("Version.xml"), std::string::npos);
    EXPECT_EQ(c.Get("/apps/hello/hello.exe")->body, "hello program");
    EXPECT_EQ(c.Get("/apps/hello/hello-2.0.zip")->status, 200);

    // The descriptor command prints what the service serves.
    const std::string out = src.file("desc.xml");
    ASSERT_EQ(std::system((exe + " descriptor '" + src.file("release") +
                           "' --client --version 9 > '" + out + "'")
                              .c_str()),
              0);
    const std::string printed = vxtest::readFile(out);
    EXPECT_NE(printed.find("<verInfo>"), std::string::npos);
    EXPECT_NE(printed.find("Name=\"hello.exe\" MD5=\"" + md5Upper("hello program")),
              std::string::npos);
}

// --- The port --------------------------------------------------------------------------------

namespace {

// True when /proc/net/tcp lists a TIME_WAIT connection whose local port is `port`.
bool timeWaitOn(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line); // the column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const auto colon = local.find(':');
        if (colon != std::string::npos && state == "06" &&
            std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            return true;
    }
    return false;
}

std::unique_ptr<vxdemo::DemoService> makeService(const std::filesystem::path& dataDir) {
    vxdemo::ServiceOptions o;
    o.dataDir = dataDir;
    o.webDir = VX_WEB_DIR;
    o.appsDirs = {VX_SAMPLE_APPS_DIR};
    o.log = [](const std::string&) {};
    auto created = vxdemo::DemoService::create(o);
    EXPECT_TRUE(created.ok()) << created.error();
    return created.ok() ? std::move(created).value() : nullptr;
}

} // namespace

// A server that closes its side of a connection first (as every HTTP/1.0 server does)
// leaves the connection in TIME_WAIT on its port for a minute. The demo service must listen
// there at once, so that it starts straight after a test that used its port; but it must
// still refuse a port on which another server listens.
TEST(ServicePort, ListensAtOnceWhereAClosedServerLeftTimeWait) {
    vxtest::Listener l = vxtest::listenLoopback(4); // as the tests' servers listen
    const int port = l.port;
    const int client = vxtest::connectLoopback(port, 30);
    ASSERT_GE(client, 0);
    const int served = ::accept(l.fd, nullptr, nullptr);
    ASSERT_GE(served, 0);
    ::close(served); // the server's side closes first
    char c;
    EXPECT_EQ(::recv(client, &c, 1, 0), 0);
    ::close(client);
    ::close(l.fd);
    for (int i = 0; i < 1000 && !timeWaitOn(port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(timeWaitOn(port)) << "no TIME_WAIT on port " << port;

    vxtest::TempDir data{"svc-port"};
    auto service = makeService(data.path());
    ASSERT_TRUE(service);
    auto bound = service->bind("127.0.0.1", port);
    ASSERT_TRUE(bound.ok()) << bound.error();
    service->start();
    httplib::Client http("127.0.0.1", port);
    auto res = http.Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);

    // A second service on the same port, while the first listens, is refused.
    vxtest::TempDir data2{"svc-port2"};
    auto second = makeService(data2.path());
    ASSERT_TRUE(second);
    auto taken = second->bind("127.0.0.1", port);
    ASSERT_FALSE(taken.ok());
    EXPECT_NE(taken.error().find(std::to_string(port)), std::string::npos) << taken.error();
    service->stop();
}
