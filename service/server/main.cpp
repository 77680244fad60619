// vxcenter-demo: the demo application-centre service, and the operator's commands for its
// accounts and catalogue.

#include "DemoService.h"
#include "core/Signing.h"
#include "platform/Platform.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace vxdemo;

namespace {

constexpr const char* kUsage =
    R"(usage: vxcenter-demo [options]                     serve (the default)
       vxcenter-demo [options] add-user NAME PASSWORD [--qq QQ] [--agent ID]
       vxcenter-demo [options] passwd NAME PASSWORD
       vxcenter-demo [options] add-app --id ID --name NAME --dir DIR --main FILE
                                       --version V [app options]
       vxcenter-demo [options] grant NAME APPID
       vxcenter-demo [options] list
       vxcenter-demo descriptor FOLDER [--client] [--version V] [--zip FILE]
                                [--app-id N] [--main-file F] [--expires UTC]

The demo application-centre service. It listens on 127.0.0.1 and serves the start page,
Login.php, myApps.php, userAppAdd.php, catalog.php and apps/<folder>/... . On its first
start it creates the demo account "demo" (password "demo123") and the sample applications.

options:
  --port N        port to listen on (default 18080, the client's default base address)
  --data DIR      database and operators' packages (default: vxcenter-data beside the program)
  --web DIR       the start page (default: the project's service/web)
  --apps DIR      built sample packages (default: the build's service/apps); may be repeated
  --quiet         do not print one line per request
  --tls-cert FILE --tls-key FILE
                  serve HTTPS on the port instead of HTTP, with this certificate (PEM; the
                  chain after the server's own) and its private key (PEM); both or neither
  --sign-key FILE sign every descriptor with this Ed25519 private key (PEM, as `vxutil
                  keygen` writes it): apps/<folder>/version.xml.sig holds the signature of
                  the bytes of apps/<folder>/version.xml (without the option: not found)
  -h, --help      show this help

A PASSWORD of "-" is read from the standard input (one line), so it stays out of the
process list.

app options (add-app):
  --package ZIP   install package; copied into DATA/apps/DIR/ (the descriptor's zipFile)
  --files FOLDER  the release's files; copied into DATA/apps/DIR/files/ (served one by one
                  and listed with their MD5 and SHA-256 in DIR/version.xml). A release
                  there before moves to DIR/previous/, and each changed file's entry offers
                  a patch from it when the patch is under half the file's size
  --ico FILE --img FILE --price TEXT --note TEXT --url URL --sort KEY
  --version-name TEXT --necessary --hidden --user NAME (also add it to NAME's list)

descriptor: prints the version.xml that the service would serve for a release folder
(--client: the client's own descriptor, root verInfo). --zip names the package (zipFile);
when the file is found (as given, or beside FOLDER) its SHA-256 is given as zipSHA256.
--app-id and --main-file bind an application's descriptor to its application and program,
--expires sets the moment after which a client under a signkey refuses the descriptor.

exit status: 0 done; 1 failed; 2 bad usage
)";

volatile std::sig_atomic_t g_signal = 0;

int usage(const std::string& what) {
    std::fprintf(stderr, "vxcenter-demo: %s\n(try vxcenter-demo --help)\n", what.c_str());
    return 2;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "vxcenter-demo: %s\n", what.c_str());
    return 1;
}

fs::path exeDir() {
    fs::path p = vx::platform::executablePath();
    return p.empty() ? fs::current_path() : p.parent_path();
}

fs::path defaultWeb() {
#ifdef VX_DEMO_WEB_DIR
    if (fs::is_regular_file(fs::path(VX_DEMO_WEB_DIR) / "index.html"))
        return VX_DEMO_WEB_DIR;
#endif
    for (const fs::path& p : {exeDir() / "web", exeDir() / ".." / "share" / "vxcenter" / "web"})
        if (fs::is_regular_file(p / "index.html"))
            return p;
    return exeDir() / "web";
}

fs::path defaultApps() {
#ifdef VX_DEMO_APPS_DIR
    if (fs::is_directory(VX_DEMO_APPS_DIR))
        return VX_DEMO_APPS_DIR;
#endif
    for (const fs::path& p : {exeDir() / "apps", exeDir() / ".." / "share" / "vxcenter" / "apps"})
        if (fs::is_directory(p))
            return p;
    return exeDir() / "apps";
}

std::string password(const std::string& arg) {
    if (arg != "-")
        return arg;
    std::string line;
    std::getline(std::cin, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

vx::Status copyInto(const fs::path& from, const fs::path& to, bool folder) {
    std::error_code ec;
    fs::create_directories(folder ? to : to.parent_path(), ec);
    if (!ec)
        fs::copy(from, to,
                 folder ? fs::copy_options::recursive | fs::copy_options::overwrite_existing
                        : fs::copy_options::overwrite_existing,
                 ec);
    if (ec)
        return vx::Error{"cannot copy " + from.string() + " to " + to.string() + ": " +
                         ec.message()};
    return {};
}

extern "C" void onSignal(int) {
    g_signal = 1;
}

} // namespace

int main(int argc, char** argv) {
    int port = 18080;
    fs::path data, web;
    std::vector<fs::path> apps;
    bool quiet = false;
    fs::path tlsCert, tlsKey, signKey;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> std::optional<std::string> {
            if (i + 1 >= argc) {
                usage(std::string(name) + " needs a value");
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--port") {
            auto v = value("--port");
            if (!v)
                return 2;
            char* end = nullptr;
            long p = std::strtol(v->c_str(), &end, 10);
            if (v->empty() || *end || p < 0 || p > 65535)
                return usage("--port wants a number from 0 to 65535");
            port = static_cast<int>(p);
        } else if (a == "--data" || a == "--web" || a == "--apps") {
            auto v = value(a.c_str());
            if (!v)
                return 2;
            (a == "--data" ? data : a == "--web" ? web : apps.emplace_back()) = *v;
        } else if (a == "--tls-cert" || a == "--tls-key" || a == "--sign-key") {
            auto v = value(a.c_str());
            if (!v)
                return 2;
            if (v->empty())
                return usage(a + " needs a file");
            (a == "--tls-cert" ? tlsCert : a == "--tls-key" ? tlsKey : signKey) = *v;
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            args.push_back(a);
        }
    }
    const std::string command = args.empty() ? "serve" : args[0];
    if (tlsCert.empty() != tlsKey.empty())
        return usage("--tls-cert and --tls-key go together");

    if (command == "descriptor") {
        if (args.size() < 2)
            return usage("descriptor needs a FOLDER");
        bool client = false;
        std::string version, zip, expires;
        Binding binding;
        for (std::size_t i = 2; i < args.size(); ++i) {
            if (args[i] == "--client")
                client = true;
            else if (args[i] == "--app-id" && i + 1 < args.size())
                binding.appId = args[++i];
            else if (args[i] == "--main-file" && i + 1 < args.size())
                binding.mainFile = args[++i];
            else if (args[i] == "--expires" && i + 1 < args.size()) {
                auto t = vx::parseUtcTime(args[++i]);
                if (!t)
                    return usage("--expires wants a UTC time such as 2026-12-31T00:00:00Z");
                expires = vx::utcTimeText(*t);
            }
            else if (args[i] == "--version" && i + 1 < args.size())
                version = args[++i];
            else if (args[i] == "--zip" && i + 1 < args.size())
                zip = args[++i];
            else
                return usage("unknown descriptor option " + args[i]);
        }
        if (!fs::is_directory(args[1]))
            return fail("no folder " + args[1]);
        DigestCache cache;
        auto files = scanRelease(args[1], cache);
        if (!files)
            return fail(files.error());
        std::string zipSha256;
        if (!client && !zip.empty()) {
            std::error_code ec;
            fs::path package = zip;
            if (fs::is_regular_file(package, ec)) {
                zip = package.filename().string(); // the descriptor names it beside itself
            } else {
                package = fs::path(args[1]).parent_path() / zip;
                if (!fs::is_regular_file(package, ec))
                    package.clear();
            }
            if (!package.empty()) {
                auto d = cache.digests(package);
                if (!d)
                    return fail(d.error());
                zipSha256 = d->sha256;
            } else {
                std::fprintf(stderr, "vxcenter-demo: no package file %s: no zipSHA256 given\n",
                             zip.c_str());
            }
        }
        binding.expires = expires;
        std::fputs((client ? clientDescriptor(version, *files, expires)
                           : applicationDescriptor(version, zip, zipSha256, *files, binding))
                       .c_str(),
                   stdout);
        return 0;
    }

    if (data.empty())
        data = exeDir() / "vxcenter-data";
    if (web.empty())
        web = defaultWeb();
    if (apps.empty())
        apps.push_back(defaultApps());

    ServiceOptions options;
    options.dataDir = data;
    options.webDir = web;
    options.appsDirs = apps;
    if (command == "serve") {
        if (!signKey.empty()) {
            std::ifstream in(signKey, std::ios::binary);
            if (!in)
                return fail("cannot read the signing key " + signKey.string());
            options.signingKeyPem.assign(std::istreambuf_iterator<char>(in), {});
            if (options.signingKeyPem.empty())
                return fail("the signing key " + signKey.string() + " is empty");
        }
        options.tlsCertificate = tlsCert;
        options.tlsKey = tlsKey;
    }
    if (!quiet && command == "serve")
        options.log = [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        };
    auto created = DemoService::create(options);
    if (!created)
        return fail(created.error());
    DemoService& service = **created;
    Store& store = service.store();

    if (command == "serve") {
        if (args.size() > 1)
            return usage("unexpected argument " + args[1]);
        auto bound = service.bind("127.0.0.1", port);
        if (!bound)
            return fail(bound.error());
        std::printf("vxcenter-demo: %s://127.0.0.1:%d/  (data %s, web %s%s)\n"
                    "demo account: %s / %s\n",
                    service.secure() ? "https" : "http", *bound, data.string().c_str(),
                    web.string().c_str(),
                    options.signingKeyPem.empty() ? "" : ", descriptors signed", kDemoUser,
                    kDemoPassword);
        std::fflush(stdout);
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        service.start();
        while (!g_signal)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        service.stop();
        return 0;
    }
    if (command == "add-user" || command == "passwd") {
        if (args.size() < 3)
            return usage(command + " needs NAME and PASSWORD");
        std::string qq, agent;
        for (std::size_t i = 3; i < args.size(); ++i) {
            if (args[i] == "--qq" && i + 1 < args.size() && command == "add-user")
                qq = args[++i];
            else if (args[i] == "--agent" && i + 1 < args.size() && command == "add-user")
                agent = args[++i];
            else
                return usage("unknown option " + args[i]);
        }
        const std::string pwd = password(args[2]);
        if (command == "passwd") {
            if (auto st = store.setPassword(args[1], pwd); !st)
                return fail(st.error());
            std::printf("password of %s changed\n", args[1].c_str());
            return 0;
        }
        auto id = store.addUser(args[1], pwd, qq, agent);
        if (!id)
            return fail(id.error());
        std::printf("user %s added with id %lld\n", args[1].c_str(), static_cast<long long>(*id));
        return 0;
    }
    if (command == "grant") {
        if (args.size() != 3)
            return usage("grant needs NAME and APPID");
        auto app = store.appById(std::atoll(args[2].c_str()));
        if (!app)
            return fail("no application " + args[2]);
        auto user = store.userByName(args[1]);
        if (!user)
            return fail("no user " + args[1]);
        if (auto st = store.addUserApp(user->id, app->id); !st)
            return fail(st.error());
        std::printf("%s added to the list of %s\n", app->name.c_str(), args[1].c_str());
        return 0;
    }
    if (command == "list") {
        for (const auto& a : store.catalogue())
            std::printf("%6lld  %-12s %-8s %-4s %s\n", static_cast<long long>(a.id), a.dir.c_str(),
                        a.version.c_str(), a.nessary.c_str(), a.name.c_str());
        return 0;
    }
    if (command == "add-app") {
        App a;
        std::string package, files, user;
        std::map<std::string, std::string*> text = {{"--name", &a.name},
                                                    {"--dir", &a.dir},
                                                    {"--main", &a.mainFile},
                                                    {"--version", &a.version},
                                                    {"--ico", &a.ico},
                                                    {"--img", &a.img},
                                                    {"--price", &a.price},
                                                    {"--note", &a.note},
                                                    {"--url", &a.url},
                                                    {"--sort", &a.sort},
                                                    {"--version-name", &a.versionName},
                                                    {"--package", &package},
                                                    {"--files", &files},
                                                    {"--user", &user}};
        std::string id;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--necessary") {
                a.nessary = "是";
            } else if (args[i] == "--hidden") {
                a.statu = "隐藏";
            } else if (args[i] == "--id" && i + 1 < args.size()) {
                id = args[++i];
            } else if (text.count(args[i]) && i + 1 < args.size()) {
                *text[args[i]] = args[i + 1];
                ++i;
            } else {
                return usage("unknown or incomplete add-app option " + args[i]);
            }
        }
        char* end = nullptr;
        a.id = std::strtoll(id.c_str(), &end, 10);
        if (id.empty() || *end)
            return usage("add-app needs --id with a number");
        if (a.mainFile.empty() || a.version.empty())
            return usage("add-app needs --main and --version");
        if (!package.empty())
            a.package = fs::path(package).filename().string();
        if (auto st = store.putApp(a); !st)
            return fail(st.error());
        const fs::path folder = data / "apps" / a.dir;
        if (!package.empty())
            if (auto st = copyInto(package, folder / a.package, false); !st)
                return fail(st.error());
        // A new release of the files keeps the one before it, for patches.
        if (!files.empty())
            if (auto st = publishRelease(folder, files); !st)
                return fail(st.error());
        if (!user.empty()) {
            auto u = store.userByName(user);
            if (!u)
                return fail("no user " + user);
            if (auto st = store.addUserApp(u->id, a.id); !st)
                return fail(st.error());
        }
        std::printf("application %lld (%s) stored; its files go to %s\n",
                    static_cast<long long>(a.id), a.name.c_str(), folder.string().c_str());
        return 0;
    }
    return usage("unknown command " + command);
}
