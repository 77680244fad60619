#pragma once
// The demo application-centre service: the start page and its assets, the login, each
// user's list of applications, the catalogue, and the applications' descriptors, packages
// and files, all below one base address.

#include "Descriptor.h"
#include "Store.h"
#include "core/Expected.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace vxdemo {

struct ServiceOptions {
    std::filesystem::path dataDir; // holds service.db and apps/ (operators' packages)
    std::filesystem::path webDir;  // the start page and its assets
    // Further folders of application packages, searched after dataDir/apps (the sample
    // applications built with the project).
    std::vector<std::filesystem::path> appsDirs;
    // Called with one line per request ("GET /path 200"); none: quiet.
    std::function<void(const std::string&)> log;
    // After this many wrong passwords in a row a user name is refused for lockSeconds.
    int maxLoginFailures = 5;
    int lockSeconds = 60;
    // The Ed25519 private key (PEM, as `vxutil keygen` writes it) that signs every descriptor
    // served: PATH.sig beside each version.xml holds the signature of its bytes. Empty: no
    // signatures, and every ".sig" is not found.
    std::string signingKeyPem;
    // HTTPS with this certificate (PEM, the chain after the server's own) and its private
    // key instead of HTTP; both or neither.
    std::filesystem::path tlsCertificate;
    std::filesystem::path tlsKey;
};

// The id, name and password of the seeded demo account.
inline constexpr std::int64_t kDemoUid = 10086;
inline constexpr const char* kDemoUser = "demo";
inline constexpr const char* kDemoPassword = "demo123";
// The folder of the client's own release below an apps folder.
inline constexpr const char* kClientDir = "KVLMZ";

// Seeds an empty store: the demo account, the sample applications in the catalogue, and the
// demo user's list. Does nothing when the store holds anything.
vx::Status seedDemo(Store& store);

// The value of `key` in the query of a raw request target ("/myApps.php?u=..."): %XX escapes
// are decoded, "+" stays "+" (a token is appended unencoded and its base64 "+" is no space).
std::optional<std::string> rawQueryValue(const std::string& target, std::string_view key);
// The user a scrambled token names; none for a token that is not one or names nobody.
std::optional<User> userOfToken(Store& store, const std::string& token);
// A relative path from the segments of a request path; none for anything that could leave
// its folder or names something odd ("..", ".", hidden names, empty segments, back slashes,
// drive letters, control characters).
std::optional<std::filesystem::path> safeRelative(std::string_view path);

class DemoService {
public:
    // Opens (creating) the database in options.dataDir and seeds it when it is new. An error
    // too when the signing key or the TLS certificate and key cannot be used.
    static vx::Expected<std::unique_ptr<DemoService>> create(ServiceOptions options);
    ~DemoService(); // stop()
    DemoService(const DemoService&) = delete;
    DemoService& operator=(const DemoService&) = delete;

    // Binds host:port (port 0: any free port) and returns the port; an error when the address
    // is taken.
    vx::Expected<int> bind(const std::string& host, int port);
    // Serves until stop(); on the calling thread.
    void run();
    // Serves on a thread of its own and returns once it accepts connections.
    void start();
    void stop();

    Store& store() { return *m_store; }
    const ServiceOptions& options() const { return m_options; }
    // True when the service speaks HTTPS.
    bool secure() const { return !m_options.tlsCertificate.empty(); }
    // The folder holding the files of the application folder `dir` (first of dataDir/apps
    // and the further apps folders); empty when none has it.
    std::filesystem::path appFolder(const std::string& dir) const;

private:
    DemoService(ServiceOptions options, std::unique_ptr<Store> store,
                std::unique_ptr<httplib::Server> http);
    void routes();
    // The version.xml of the application folder `dir` (the client's own for kClientDir), as
    // served; none when the release folder cannot be read.
    std::optional<std::string> descriptor(const std::string& dir, const std::optional<App>& app);
    // Seconds a user name stays refused after too many wrong passwords; 0 when it may try.
    int lockedFor(const std::string& user);
    void noteLogin(const std::string& user, bool ok);

    ServiceOptions m_options;
    std::unique_ptr<Store> m_store;
    std::unique_ptr<httplib::Server> m_http;
    DigestCache m_digests;
    struct Failures {
        int count = 0;
        std::chrono::steady_clock::time_point until;
    };
    std::mutex m_failMutex;
    std::map<std::string, Failures> m_failures;
    std::thread m_thread;
};

} // namespace vxdemo
