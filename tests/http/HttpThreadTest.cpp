#include "http/HttpThread.h"

#include "HttpTestSupport.h"
#include "core/Text.h"

#include <gtest/gtest.h>
#include <map>

using vx::THttpThread;
using vxtest::HttplibServer;
using vxtest::Outcome;
using vxtest::RawServer;

namespace {

const std::string kZhUtf8 = "\xE4\xB8\xAD\xE6\x96\x87"; // 中文
const std::string kZhGbk = "\xD6\xD0\xCE\xC4";

const std::string kCommonHeaders =
    "User-Agent: %!!#)QWZRTYUIzxcvbp47mkL)ty6\r\n"
    "Connection: close\r\n"
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
    "application/x-shockwave-flash, application/vnd.ms-excel, application/msword, */*\r\n"
    "Accept-Language: zh-cn\r\n"
    "Accept-Encoding: gzip, deflate\r\n"
    "Cache-Control: no-cache\r\n";

std::string okReply(const std::string& body, const std::string& extraHeaders = {}) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
           extraHeaders + "\r\n" + body;
}

std::string headOf(const std::string& request) {
    return request.substr(0, request.find("\r\n\r\n") + 4);
}
std::string bodyOf(const std::string& request) {
    return request.substr(request.find("\r\n\r\n") + 4);
}


class HttpThreadTest : public ::testing::Test {
protected:
    void SetUp() override { vx::setMainThread(&m_loop); }
    void TearDown() override {
        vxtest::drain(m_loop);
        vx::setMainThread(nullptr);
    }

    // Runs one worker built by make() to its end and returns what it reported.
    template <typename Make> Outcome run(Make make) {
        auto out = vxtest::watch(make());
        vxtest::pumpUntil(m_loop, [&] { return out->doneCount > 0; });
        vxtest::drain(m_loop);
        return *out;
    }

    Outcome get(const std::string& url, int type = vx::kSendGetText,
                const std::string& index = "7") {
        return run([&] { return new THttpThread(url, "", "", index, nullptr, type); });
    }

    vx::LoopMainThread m_loop;
};

} // namespace

// --- What goes on the wire -------------------------------------------------------------------

TEST_F(HttpThreadTest, GetRequestLineAndHeaders) {
    RawServer server([](const std::string&) { return okReply("ok"); });
    Outcome plain = get(server.url("/dir/page.php?a=1&b=%20"));
    EXPECT_EQ(plain.info.str, "ok");

    Outcome withExtras = run([&] {
        return new THttpThread(server.url("/x"), "http://ref.example/from", "sid=1; u=2", "0",
                               nullptr, vx::kSendGetText);
    });
    EXPECT_EQ(withExtras.info.str, "ok");

    const auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2u);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
    EXPECT_EQ(reqs[0], "GET /dir/page.php?a=1&b=%20 HTTP/1.0\r\n" + host + kCommonHeaders + "\r\n");
    EXPECT_EQ(reqs[1], "GET /x HTTP/1.0\r\n" + host + "Referer: http://ref.example/from\r\n" +
                           kCommonHeaders + "cookie: sid=1; u=2\r\n\r\n");
}

TEST_F(HttpThreadTest, PostMultipartOnTheWire) {
    RawServer server([](const std::string&) { return okReply("done"); });
    vx::TMsMultiPartFormDataStream body;
    body.AddFormField("user", "name\r\n\"x\"");
    body.AddFormField("pws", kZhUtf8);
    body.AddFormField("pid", "");
    Outcome out = run([&] {
        return new THttpThread(server.url("/Login.php"), "", "", "0", &body, vx::kSendPost);
    });
    EXPECT_EQ(out.info.str, "done");
    EXPECT_EQ(out.info.index, "0");

    const auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 1u);
    const std::string& b = body.FBoundary;
    const std::string expectedBody =
        "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"user\"\r\n\r\nname\r\n\"x\"" +
        "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"pws\"\r\n\r\n" + kZhUtf8 +
        "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"pid\"\r\n\r\n" + "\r\n--" + b +
        "--\r\n";
    EXPECT_EQ(bodyOf(reqs[0]), expectedBody);
    EXPECT_EQ(body.bytes(), expectedBody); // closed by the worker, still the caller's
    EXPECT_EQ(headOf(reqs[0]),
              "POST /Login.php HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                  "\r\n" + kCommonHeaders + "Content-Type: " + body.FRequestContentType + "\r\n" +
                  "Content-Length: " + std::to_string(expectedBody.size()) + "\r\n\r\n");
}

TEST_F(HttpThreadTest, PostFormOnTheWire) {
    RawServer server([](const std::string&) { return okReply("done"); });
    const std::vector<std::string> form = {"user=a b", "pwd=x&y=z", "flag"};
    Outcome out =
        run([&] { return new THttpThread(server.url("/f"), "", "", "1", &form, vx::kSendPost); });
    EXPECT_EQ(out.info.str, "done");
    const auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 1u);
    const std::string expectedBody = "user=a+b&pwd=x%26y%3Dz&flag";
    EXPECT_EQ(reqs[0], "POST /f HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                           "\r\n" + kCommonHeaders +
                           "Content-Type: application/x-www-form-urlencoded\r\n"
                           "Content-Length: " +
                           std::to_string(expectedBody.size()) + "\r\n\r\n" + expectedBody);
}

TEST_F(HttpThreadTest, NothingSentWithoutABodyOrForAnUnknownType) {
    RawServer server([](const std::string&) { return okReply("ok"); });
    for (int type : {-1, 3, 42}) {
        Outcome out = get(server.url("/x"), type, "idx");
        EXPECT_EQ(out.doneCount, 1);
        EXPECT_EQ(out.info.str, "");
        EXPECT_EQ(out.info.index, "idx");
        EXPECT_EQ(out.events, std::vector<std::string>{"done"});
    }
    Outcome post = get(server.url("/x"), vx::kSendPost, "p");
    EXPECT_EQ(post.doneCount, 1);
    EXPECT_EQ(post.info.str, "");
    EXPECT_TRUE(server.requests().empty());
}

// A Referer or cookie text with a line break would put lines of the caller's choosing on the
// wire; such a request fails like a failed transfer before it connects.
TEST_F(HttpThreadTest, LineBreakInRefererOrCookieSendsNothing) {
    RawServer server([](const std::string&) { return okReply("ok"); });
    const std::string url = server.url("/x");
    const std::vector<std::string> form = {"a=1"};
    vx::TMsMultiPartFormDataStream body;
    body.AddFormField("a", "1");
    const struct {
        std::string refer, cookies;
    } rows[] = {
        {"http://a/\r\nX-Injected: 1", ""},
        {"http://a/\n", ""},
        {"http://a/\r", ""},
        {"", "sid=1\r\nX-Injected: 1"},
        {"", "sid=1\nGET / HTTP/1.0"},
        {"", std::string("sid=1\0X-Cut: 1", 15)},
        {"http://a/", "sid=1\r"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.refer + "|" + r.cookies);
        Outcome text = run([&] { return new THttpThread(url, r.refer, r.cookies, "t", nullptr, 0); });
        EXPECT_EQ(text.info.str, "");
        EXPECT_EQ(text.info.index, "t");
        EXPECT_EQ(text.doneCount, 1);
        Outcome bytes = run([&] { return new THttpThread(url, r.refer, r.cookies, "s", nullptr, 1); });
        EXPECT_FALSE(bytes.info.stm);
        Outcome posted = run([&] {
            return new THttpThread(url, r.refer, r.cookies, "p", &form, vx::kSendPost);
        });
        EXPECT_EQ(posted.info.str, "");
        EXPECT_EQ(posted.events, std::vector<std::string>{"done"}); // no upload began
        Outcome multipart = run([&] {
            return new THttpThread(url, r.refer, r.cookies, "m", &body, vx::kSendPost);
        });
        EXPECT_EQ(multipart.info.str, "");
    }
    EXPECT_TRUE(server.requests().empty());

    // The same worker with clean values reaches the same server.
    Outcome clean = run([&] { return new THttpThread(url, "http://a/", "sid=1", "c", nullptr, 0); });
    EXPECT_EQ(clean.info.str, "ok");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_NE(server.requests()[0].find("\r\nReferer: http://a/\r\n"), std::string::npos);
    EXPECT_NE(server.requests()[0].find("\r\ncookie: sid=1\r\n"), std::string::npos);
}

// --- Content and character sets ---------------------------------------------------------------

TEST_F(HttpThreadTest, GzipVariantsAndDeflatePassThrough) {
    const std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?><r>" + kZhUtf8 + "</r>";
    const std::string gz = vxtest::gzip(xml);
    HttplibServer srv;
    for (const char* enc : {"gzip", "x-gzip", "GZIP"}) {
        srv.server().Get(std::string("/") + enc,
                         [&, enc](const httplib::Request&, httplib::Response& res) {
                             res.set_header("Content-Encoding", enc);
                             res.set_content(gz, "application/octet-stream");
                         });
    }
    srv.server().Get("/deflate", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Encoding", "deflate");
        res.set_content(gz, "application/octet-stream");
    });
    srv.server().Get("/corrupt", [&](const httplib::Request&, httplib::Response& res) {
        std::string bad = gz;
        bad[bad.size() - 6] ^= 0x55; // CRC-32
        res.set_header("Content-Encoding", "gzip");
        res.set_content(bad, "application/octet-stream");
    });

    for (const char* enc : {"/gzip", "/x-gzip", "/GZIP"}) {
        Outcome text = get(srv.url(enc));
        EXPECT_EQ(text.info.str, xml) << enc;
        EXPECT_TRUE(text.isutf8) << enc;
        Outcome bytes = get(srv.url(enc), vx::kSendGetStream);
        ASSERT_TRUE(bytes.info.stm) << enc;
        EXPECT_EQ(bytes.info.stm->bytes(), xml);
        EXPECT_EQ(bytes.info.stm->position(), 0);
    }
    Outcome deflate = get(srv.url("/deflate"), vx::kSendGetStream);
    ASSERT_TRUE(deflate.info.stm);
    EXPECT_EQ(deflate.info.stm->bytes(), gz);

    Outcome corrupt = get(srv.url("/corrupt"), vx::kSendGetText, "9");
    EXPECT_EQ(corrupt.info.str, "");
    EXPECT_EQ(corrupt.info.index, "9");
    EXPECT_EQ(corrupt.doneCount, 1);
    Outcome corruptBytes = get(srv.url("/corrupt"), vx::kSendGetStream);
    EXPECT_FALSE(corruptBytes.info.stm);
}

TEST_F(HttpThreadTest, CharsetHeaderCountsForPostOnly) {
    HttplibServer srv;
    // A body without a declaration, sent as UTF-8 and labelled so in the header.
    const std::string body = "<r>" + kZhUtf8 + "</r>";
    auto reply = [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "text/xml; charset=utf-8");
    };
    srv.server().Get("/r", reply);
    srv.server().Post("/r", reply);
    srv.server().Get("/gbk", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content("<?xml version=\"1.0\" encoding=\"gb2312\"?><r>" + kZhGbk + "</r>",
                        "text/xml");
    });

    Outcome viaGet = get(srv.url("/r"));
    EXPECT_EQ(viaGet.info.str, vx::fromAnsi(body)); // read with the ANSI code page
    EXPECT_FALSE(viaGet.isutf8);

    vx::TMsMultiPartFormDataStream form;
    form.AddFormField("a", "1");
    Outcome viaPost =
        run([&] { return new THttpThread(srv.url("/r"), "", "", "0", &form, vx::kSendPost); });
    EXPECT_EQ(viaPost.info.str, body);
    EXPECT_TRUE(viaPost.isutf8);

    Outcome gbk = get(srv.url("/gbk"));
    EXPECT_EQ(gbk.info.str, "<?xml version=\"1.0\" encoding=\"gb2312\"?><r>" + kZhUtf8 + "</r>");
    EXPECT_FALSE(gbk.isutf8);
}

// --- Redirects -----------------------------------------------------------------------------------

TEST_F(HttpThreadTest, GetRedirectChainsAreFollowed) {
    HttplibServer srv;
    std::mutex m;
    std::vector<std::string> referers;
    // /hop/N redirects to /hop/N-1; /hop/0 answers.
    srv.server().Get(R"(/hop/(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard lock(m);
            referers.push_back(req.get_header_value("Referer"));
        }
        const int n = std::stoi(req.matches[1]);
        if (n == 0)
            res.set_content("arrived", "text/plain");
        else
            res.set_redirect("/hop/" + std::to_string(n - 1));
    });

    EXPECT_EQ(get(srv.url("/hop/3")).info.str, "arrived");
    EXPECT_EQ(referers, std::vector<std::string>(4, ""));

    // Longer than the worker follows by itself: the rest continues as a new GET with the
    // last URL as Referer.
    referers.clear();
    const int n = THttpThread::kMaxRedirects + 4;
    EXPECT_EQ(get(srv.url("/hop/" + std::to_string(n))).info.str, "arrived");
    ASSERT_EQ(referers.size(), static_cast<std::size_t>(n + 1));
    EXPECT_EQ(referers[THttpThread::kMaxRedirects], "");
    EXPECT_EQ(referers[THttpThread::kMaxRedirects + 1], srv.url("/hop/" + std::to_string(n)));
}

TEST_F(HttpThreadTest, PostAnsweredByRedirectBecomesGetWithReferer) {
    RawServer server([](const std::string& req) -> RawServer::Answer {
        if (req.rfind("POST ", 0) == 0)
            return "HTTP/1.1 302 Found\r\nLocation: /landing?x=1\r\nContent-Length: 5\r\n\r\nmoved";
        return okReply("<?xml version=\"1.0\" encoding=\"utf-8\"?><ok/>");
    });
    vx::TMsMultiPartFormDataStream form;
    form.AddFormField("uid", "5");
    Outcome out = run([&] {
        return new THttpThread(server.url("/userAppAdd.php"), "", "", "12", &form, vx::kSendPost);
    });
    EXPECT_EQ(out.info.str, "<?xml version=\"1.0\" encoding=\"utf-8\"?><ok/>");
    EXPECT_EQ(out.info.index, "12");
    EXPECT_TRUE(out.isutf8);
    const auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[1],
              "GET /landing?x=1 HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                  "\r\nReferer: " + server.url("/userAppAdd.php") + "\r\n" + kCommonHeaders +
                  "\r\n");
}

// 301, 302 and 303 turn a POST into a GET of the Location (read by the GET rule); 307 and
// 308 keep the method: the same body goes to the Location, and the landing reply is read
// by the POST rule (its Content-Type's charset), as any POST reply.
TEST_F(HttpThreadTest, PostRedirectsKeepTheMethodOnlyFor307And308) {
    const std::string landing = "<r>" + kZhUtf8 + "</r>"; // UTF-8, no declaration
    for (int status : {301, 302, 303, 307, 308}) {
        SCOPED_TRACE(status);
        RawServer server([&](const std::string& req) -> RawServer::Answer {
            if (req.find(" /post.php ") != std::string::npos)
                return "HTTP/1.1 " + std::to_string(status) +
                       " Moved\r\nLocation: /landing.php?x=1\r\nContent-Length: 0\r\n\r\n";
            return okReply(landing, "Content-Type: text/xml; charset=utf-8\r\n");
        });
        vx::TMsMultiPartFormDataStream form;
        form.AddFormField("uid", "5");
        form.AddFormField("name", kZhUtf8);
        Outcome out = run([&] {
            return new THttpThread(server.url("/post.php"), "http://r/", "", "12", &form,
                                   vx::kSendPost);
        });
        EXPECT_EQ(out.info.index, "12");
        const auto reqs = server.requests();
        ASSERT_EQ(reqs.size(), 2u);
        if (status == 307 || status == 308) {
            EXPECT_EQ(out.info.str, landing);
            EXPECT_TRUE(out.isutf8);
            // The second request is the first one, sent to the new place.
            std::string expected = reqs[0];
            expected.replace(expected.find("/post.php"), 9, "/landing.php?x=1");
            EXPECT_EQ(reqs[1], expected);
            EXPECT_EQ(bodyOf(reqs[1]), form.bytes());
        } else {
            EXPECT_EQ(out.info.str, vx::fromAnsi(landing));
            EXPECT_FALSE(out.isutf8);
            EXPECT_EQ(reqs[1].rfind("GET /landing.php?x=1 HTTP/1.0\r\n", 0), 0u) << reqs[1];
            EXPECT_NE(reqs[1].find("\r\nReferer: " + server.url("/post.php") + "\r\n"),
                      std::string::npos);
            EXPECT_EQ(bodyOf(reqs[1]), "");
        }
    }

    // A form list is sent again too; then a 303 after the re-sent POST is a GET with the
    // last POST's URL as Referer.
    RawServer chain([&](const std::string& req) -> RawServer::Answer {
        if (req.find(" /a ") != std::string::npos)
            return "HTTP/1.1 308 Permanent Redirect\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n";
        if (req.find(" /b ") != std::string::npos)
            return "HTTP/1.1 303 See Other\r\nLocation: /c\r\nContent-Length: 0\r\n\r\n";
        return okReply("done");
    });
    const std::vector<std::string> list = {"user=a b", "pwd=x&y"};
    Outcome viaList = run([&] {
        return new THttpThread(chain.url("/a"), "", "", "0", &list, vx::kSendPost);
    });
    EXPECT_EQ(viaList.info.str, "done");
    const auto reqs = chain.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[1].rfind("POST /b HTTP/1.0\r\n", 0), 0u);
    EXPECT_EQ(bodyOf(reqs[1]), "user=a+b&pwd=x%26y");
    EXPECT_EQ(reqs[2].rfind("GET /c HTTP/1.0\r\n", 0), 0u);
    EXPECT_NE(reqs[2].find("\r\nReferer: " + chain.url("/b") + "\r\n"), std::string::npos);
}

TEST_F(HttpThreadTest, PostRedirectLoopOf307EndsAsFailure) {
    RawServer server([](const std::string&) -> RawServer::Answer {
        return "HTTP/1.1 307 Temporary Redirect\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n";
    });
    const std::vector<std::string> list = {"a=1"};
    Outcome out = run([&] {
        return new THttpThread(server.url("/loop"), "", "", "4", &list, vx::kSendPost);
    });
    EXPECT_EQ(out.doneCount, 1);
    EXPECT_EQ(out.info.str, "");
    const auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), static_cast<std::size_t>(THttpThread::kMaxRedirects + 1));
    for (const auto& r : reqs)
        EXPECT_EQ(r.rfind("POST /loop HTTP/1.0\r\n", 0), 0u);
}

TEST_F(HttpThreadTest, RedirectLoopEndsAsFailure) {
    std::atomic<int> hits{0};
    HttplibServer srv;
    srv.server().Get("/loop", [&](const httplib::Request&, httplib::Response& res) {
        ++hits;
        res.set_redirect("/loop");
    });
    Outcome out = get(srv.url("/loop"), vx::kSendGetText, "3");
    EXPECT_EQ(out.doneCount, 1);
    EXPECT_EQ(out.info.str, "");
    EXPECT_EQ(out.info.index, "3");
    EXPECT_EQ(hits.load(), (THttpThread::kMaxRestarts + 1) * (THttpThread::kMaxRedirects + 1));

    Outcome bytes = get(srv.url("/loop"), vx::kSendGetStream);
    EXPECT_FALSE(bytes.info.stm);
}

// --- Failures ----------------------------------------------------------------------------------

TEST_F(HttpThreadTest, ErrorStatusAndRefusedConnectionGiveEmptyText) {
    HttplibServer srv;
    srv.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("not here", "text/plain");
    });
    for (const std::string& url :
         {srv.url("/missing"), vxtest::loopbackUrl(vxtest::freePort(), "/x")}) {
        Outcome text = get(url, vx::kSendGetText, "app-4");
        EXPECT_EQ(text.doneCount, 1) << url;
        EXPECT_EQ(text.info.str, "") << url;
        EXPECT_EQ(text.info.index, "app-4") << url;
        EXPECT_TRUE(text.cookieAlwaysEmpty);
        Outcome bytes = get(url, vx::kSendGetStream);
        EXPECT_FALSE(bytes.info.stm) << url;
        std::vector<std::string> form = {"a=1"};
        Outcome post = run([&] { return new THttpThread(url, "", "", "p", &form, vx::kSendPost); });
        EXPECT_EQ(post.info.str, "") << url;
        EXPECT_EQ(post.info.index, "p") << url;
    }
}

TEST_F(HttpThreadTest, StalledServerEndsAfterTheReadTimeout) {
    // One server never answers; the other sends the head and part of the body, then stops.
    RawServer silent([](const std::string&) { return RawServer::Answer("", true); });
    RawServer half([](const std::string&) {
        return RawServer::Answer("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789", true);
    });
    for (RawServer* server : {&silent, &half}) {
        for (int type : {vx::kSendGetText, vx::kSendGetStream}) {
            Outcome out = run([&] {
                return new THttpThread(server->url("/x"), "", "", "s", nullptr, type,
                                       std::chrono::milliseconds(300));
            });
            EXPECT_EQ(out.doneCount, 1);
            EXPECT_EQ(out.info.str, "");
            EXPECT_FALSE(out.info.stm);
            EXPECT_EQ(out.info.index, "s");
        }
    }
}

// --- Events --------------------------------------------------------------------------------------

TEST_F(HttpThreadTest, ProgressCountsGrowForDownloadsAndUploads) {
    HttplibServer srv;
    const std::string big(3 * 1024 * 1024 + 17, 'z');
    srv.server().Get("/big", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(big, "application/octet-stream");
    });
    srv.server().Post("/up", [&](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.get_header_value("Content-Length"), "text/plain");
    });

    Outcome down = get(srv.url("/big"), vx::kSendGetStream);
    ASSERT_TRUE(down.info.stm);
    EXPECT_EQ(down.info.stm->size(), static_cast<std::int64_t>(big.size()));
    ASSERT_EQ(down.beginCounts, std::vector<std::int32_t>{static_cast<std::int32_t>(big.size())});
    ASSERT_GE(down.workCounts.size(), 2u);
    for (std::size_t i = 1; i < down.workCounts.size(); ++i)
        EXPECT_GT(down.workCounts[i], down.workCounts[i - 1]);
    EXPECT_EQ(down.workCounts.back(), static_cast<std::int32_t>(big.size()));
    EXPECT_EQ(down.events.front(), "begin");
    EXPECT_EQ(down.events[down.events.size() - 2], "end");
    EXPECT_EQ(down.events.back(), "done");
    EXPECT_EQ(down.info.count, static_cast<std::int32_t>(big.size()));

    vx::TMsMultiPartFormDataStream form;
    form.AddFormField("blob", std::string(2 * 1024 * 1024, 'b'));
    Outcome up =
        run([&] { return new THttpThread(srv.url("/up"), "", "", "0", &form, vx::kSendPost); });
    EXPECT_EQ(up.info.str, std::to_string(form.size()));
    // Upload: begin with the body's size, growing counts, end; then the reply's events.
    ASSERT_EQ(up.beginCounts.size(), 2u);
    EXPECT_EQ(up.beginCounts[0], static_cast<std::int32_t>(form.size()));
    ASSERT_EQ(up.events.front(), "begin");
    std::vector<std::int32_t> sending;
    for (std::size_t i = 1, w = 0; i < up.events.size() && up.events[i] == "work"; ++i, ++w)
        sending.push_back(up.workCounts[w]);
    ASSERT_GE(sending.size(), 2u);
    for (std::size_t i = 1; i < sending.size(); ++i)
        EXPECT_GT(sending[i], sending[i - 1]);
    EXPECT_EQ(sending.back(), static_cast<std::int32_t>(form.size()));
    EXPECT_EQ(std::count(up.events.begin(), up.events.end(), "end"), 2);
    EXPECT_EQ(up.events.back(), "done");
}

TEST_F(HttpThreadTest, FiftyParallelRequestsKeepTheirIndex) {
    HttplibServer srv;
    srv.server().new_task_queue = [] { return new httplib::ThreadPool(16); };
    srv.server().Get(R"(/echo/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        res.set_content("n" + std::string(req.matches[1]), "text/plain");
    });
    std::map<std::string, std::string> results;
    int done = 0;
    for (int i = 0; i < 50; ++i) {
        auto* th = new THttpThread(srv.url("/echo/" + std::to_string(i)), "", "", std::to_string(i),
                                   nullptr, vx::kSendGetText);
        th->FSendDone = [&](THttpThread*, vx::PReturnInfo info) {
            results[info->index] = info->str;
            ++done;
        };
    }
    vxtest::pumpUntil(m_loop, [&] { return done == 50; });
    vxtest::drain(m_loop);
    ASSERT_EQ(results.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(results[std::to_string(i)], "n" + std::to_string(i));
}
