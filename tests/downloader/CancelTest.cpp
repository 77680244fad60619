// CancelDown against downloads held open mid-body by a server on 127.0.0.1.

#include <filesystem>
#include <poll.h>

#include "DownloaderHarness.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace dltest;

namespace {

constexpr std::size_t kSize = 400000;
constexpr std::size_t kPart = 100000;

// Answers HEAD with the size; answers GET with the head and the first kPart bytes of `body`,
// then holds the connection open (for up to a minute) until the client lets it go.
class HoldingServer {
public:
    explicit HoldingServer(std::string body)
        : m_body(std::move(body)), m_raw([this](int, const std::string& request, int fd) { answer(request, fd); }) {}
    std::string url(const std::string& path) const { return m_raw.url(path); }

private:
    void answer(const std::string& request, int fd) {
        std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(m_body.size()) +
                           "\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
        if (request.rfind("HEAD", 0) == 0)
            return RawServer::sendAll(fd, head);
        RawServer::sendAll(fd, head + m_body.substr(0, kPart));
        char buf[4096];
        for (int waited = 0; waited < 600; ++waited) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0 && ::recv(fd, buf, sizeof buf, 0) <= 0)
                return;
        }
    }

    std::string m_body;
    RawServer m_raw;
};

// True once a temporary file of `name` in `dir` has received `bytes` bytes.
bool partArrived(const fs::path& dir, const std::string& name, std::size_t bytes) {
    return fileArrived(dir, "." + name + ".vxdl-", bytes);
}

class Cancel : public ::testing::Test {
protected:
    void SetUp() override {
        Library::get();
        m_http.server().Get("/blob/(\\d+)", [](const httplib::Request& req, httplib::Response& res) {
            std::size_t n = std::stoul(req.matches[1]);
            res.set_content(pattern(n, static_cast<unsigned>(n)), "application/octet-stream");
        });
    }

    vxtest::TempDir m_dir{"cancel"};
    HttpServer m_http;
};

TEST_F(Cancel, AnUpdateStoppedMidDownloadPlacesNothingAndLeavesNothing) {
    HoldingServer slow(pattern(kSize, 3));
    m_dir.write("app/one.bin", "old one");
    m_dir.write("app/two.bin", "old two");
    const int id = start({m_http.url("/blob/5000"), slow.url("/two.bin"), m_http.url("/blob/7000")},
                         {m_dir.file("app/one.bin"), m_dir.file("app/two.bin"), m_dir.file("app/three.bin")});
    // The first file has arrived whole, the second is half way.
    ASSERT_TRUE(partArrived(m_dir.file("app"), "two.bin", kPart));
    EXPECT_EQ(Library::get().cancelDown(id), 0);
    auto msgs = Messages::get().waitFinal(id);
    expectCancelled(msgs);
    EXPECT_EQ(vxtest::readFile(m_dir.file("app/one.bin")), "old one");
    EXPECT_EQ(vxtest::readFile(m_dir.file("app/two.bin")), "old two");
    EXPECT_EQ(listing(m_dir.path()), (std::set<std::string>{"app", "app/one.bin", "app/two.bin"}))
        << "a temporary file, a stage or a new file was left";
    // Ended: there is nothing more to cancel.
    EXPECT_LT(Library::get().cancelDown(id), 0);
}

TEST_F(Cancel, APackageStoppedWhileItArrivesLeavesTheApplicationAsItWas) {
    const std::string package = ZipBuilder()
                                    .file("a.txt", "new a")
                                    .file("big.dat", pattern(kSize, 9))
                                    .build(m_dir.file("built.zip"));
    HoldingServer slow(package);
    m_dir.write("apps/app/a.txt", "old a");
    const int id = start({slow.url("/pkg.zip")}, {m_dir.file("apps/app/pkg.zip")}, m_dir.file("apps/app"));
    ASSERT_TRUE(partArrived(m_dir.file("apps"), "pkg.zip", std::min(kPart, package.size() / 2)));
    EXPECT_EQ(Library::get().cancelDown(id), 0);
    expectCancelled(Messages::get().waitFinal(id));
    EXPECT_EQ(listing(m_dir.file("apps")), (std::set<std::string>{"app", "app/a.txt"}));
    EXPECT_EQ(vxtest::readFile(m_dir.file("apps/app/a.txt")), "old a");
}

TEST_F(Cancel, WithNothingRunningForTheIdTheResultIsNegative) {
    EXPECT_LT(Library::get().cancelDown(987654), 0);
    // A finished call is not running either, and its file stays.
    const int id = start({m_http.url("/blob/100")}, {m_dir.file("f.bin")});
    expectSuccess(Messages::get().waitFinal(id));
    EXPECT_LT(Library::get().cancelDown(id), 0);
    EXPECT_EQ(vxtest::readFile(m_dir.file("f.bin")), pattern(100, 100));
}

} // namespace
