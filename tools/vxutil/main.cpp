// vxutil: the client's text functions on the command line, for operators of the service
// and for tests, and the operator's signing of descriptors. Arguments are UTF-8; output is
// UTF-8 (or ASCII).

#include "core/Crypto.h"
#include "core/Signing.h"
#include "core/Text.h"
#include "http/FormUrl.h"
#include "platform/Platform.h"
#include "Patch.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <pugixml.hpp>
#include <sstream>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "Diag.h"

namespace {

constexpr const char* kUsage = R"(usage: vxutil COMMAND ARGUMENT...

Commands:
  scramble TEXT      the token the client makes of TEXT (a user id, say)
  unscramble TOKEN   the original text of a token (the reverse of scramble)
  base64 TEXT        base64 of TEXT in the ANSI code page (GBK)
  md5 FILE           MD5 of a file in upper-case hex, as the client compares it
  sha256 FILE        SHA-256 of a file in lower-case hex, as descriptors give it
  urlencode TEXT     form-URL encoding of TEXT in the ANSI code page
  urldecode TEXT     form-URL decoding; the bytes are read as ANSI and printed as UTF-8

Signing of descriptors (Ed25519):
  keygen DIR         a new key pair: DIR/signing.key (the private key, PKCS#8 PEM, readable
                     by its owner only) and DIR/signing.pub (the public key in base64);
                     prints the <signkey> element for the client's config.xml. An existing
                     DIR/signing.key is never replaced.
  sign KEY FILE [--expires UTC | --expires-days N]
                     signs the bytes of FILE with the private key KEY (a PEM file, as keygen
                     or `openssl genpkey -algorithm ed25519` writes it) into FILE.sig. With
                     an expiry, FILE (a descriptor) first gets the element <expires> below its
                     root, set to UTC (2026-12-31T00:00:00Z) or to N days from now: clients
                     under a signkey refuse it after that moment
  verify PUBKEY FILE checks FILE.sig against FILE; PUBKEY is the base64 public key or a file
                     holding it (signing.pub); prints "good signature"

Patches for updates (zstd --patch-from):
  diff OLD NEW PATCH [--level N]
                     writes PATCH, which turns the file OLD into the file NEW (zstd level N,
                     1 to 19, 19 unless given); prints its size and its SHA-256, and its size
                     as a share of NEW. `zstd -d --patch-from=OLD PATCH` decodes it too

Support:
  diag FILE.zip [--client DIR]
                     collects the user's client logs, config.xml without secrets, the
                     installed descriptors of the client and every application, the queue
                     and the platform facts into FILE.zip (never Users.xml). DIR is the
                     client's folder, the packaged client's user folder unless given

Exit status: 0 on success, 1 when the input is bad or a signature is not good (the reason
goes to standard error), 2 on a usage error.
)";

int usage(const char* why) {
    std::fprintf(stderr, "vxutil: %s\n\n%s", why, kUsage);
    return 2;
}

int print(const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fputc('\n', stdout);
    return 0;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "vxutil: %s\n", message.c_str());
    return 1;
}

// The whole content of a file, bytes as they are.
vx::Expected<std::string> readAll(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return vx::Error{"no file at " + path};
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        return vx::Error{"cannot open " + path + ": " + std::strerror(errno)};
    std::string data((std::istreambuf_iterator<char>(in)), {});
    // A read error ends the iteration like the end of the file: the size tells them apart.
    if (in.bad() || data.size() != std::filesystem::file_size(path, ec) || ec)
        return vx::Error{"cannot read " + path};
    return data;
}

// Creates `path` for the owner alone; never replaces a file that is there, so a key that
// signs descriptors already in use is not lost to a second keygen.
vx::Status writeNewPrivateFile(const std::string& path, const std::string& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return vx::Error{errno == EEXIST ? path + " exists already; keygen never replaces a key"
                                         : "cannot create " + path + ": " + std::strerror(errno)};
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const std::string why = std::strerror(errno);
            ::close(fd);
            ::unlink(path.c_str());
            return vx::Error{"cannot write " + path + ": " + why};
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        ::unlink(path.c_str());
        return vx::Error{"cannot write " + path};
    }
    return {};
}

int keygen(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec))
        return fail("cannot create the folder " + dir);
    const std::string keyFile = (std::filesystem::path(dir) / "signing.key").string();
    const std::string pubFile = (std::filesystem::path(dir) / "signing.pub").string();
    auto pair = vx::generateSigningKey();
    if (!pair)
        return fail(pair.error());
    if (vx::Status st = writeNewPrivateFile(keyFile, pair->privatePem); !st)
        return fail(st.error());
    if (vx::Status st = vx::platform::writeFileAtomic(pubFile, pair->publicKeyBase64 + "\n"); !st)
        return fail(st.error() + " (the private key is in " + keyFile + ")");
    return print("<signkey>" + pair->publicKeyBase64 + "</signkey>");
}

// The descriptor's text with its root's <expires> set to `expires` (added when missing).
vx::Expected<std::string> withExpiry(const std::string& file, const std::string& text,
                                     const std::string& expires) {
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed =
        doc.load_buffer(text.data(), text.size(), pugi::parse_full, pugi::encoding_utf8);
    if (!parsed || !doc.document_element())
        return vx::Error{file + " is not an XML descriptor: " + parsed.description()};
    pugi::xml_node root = doc.document_element();
    pugi::xml_node e = root.child("expires");
    if (!e) {
        pugi::xml_node after = root.child("version");
        e = after ? root.insert_child_after("expires", after) : root.prepend_child("expires");
    }
    e.text() = expires.c_str();
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

int sign(const std::string& keyFile, const std::string& file, const std::string& expires) {
    auto pem = readAll(keyFile);
    if (!pem)
        return fail(pem.error());
    auto data = readAll(file);
    if (!data)
        return fail(data.error());
    if (!expires.empty()) {
        auto changed = withExpiry(file, *data, expires);
        if (!changed)
            return fail(changed.error());
        // The key is checked before the descriptor changes.
        if (auto pub = vx::publicKeyOf(*pem); !pub)
            return fail(keyFile + ": " + pub.error());
        if (vx::Status st = vx::platform::writeFileAtomic(file, *changed); !st)
            return fail(st.error());
        data = std::move(*changed);
    }
    auto sig = vx::signEd25519(*pem, *data);
    if (!sig)
        return fail(keyFile + ": " + sig.error());
    if (vx::Status st = vx::platform::writeFileAtomic(file + ".sig", vx::signatureFileText(*sig));
        !st)
        return fail(st.error());
    return 0;
}

int verify(const std::string& pubArg, const std::string& file) {
    // Base64 text that happens to name an existing file is not a worry: a key is 44
    // characters of base64, no file name an operator would choose.
    std::string keyText = pubArg;
    std::error_code ec;
    const bool isFile = std::filesystem::is_regular_file(pubArg, ec);
    if (isFile) {
        auto text = readAll(pubArg);
        if (!text)
            return fail(text.error());
        keyText = *text;
    }
    auto key = vx::parsePublicKey(keyText);
    if (!key)
        return fail(isFile ? pubArg + ": " + key.error()
                           : "no file " + pubArg + ", nor a key: " + key.error());
    auto data = readAll(file);
    if (!data)
        return fail(data.error());
    auto sigText = readAll(file + ".sig");
    if (!sigText)
        return fail(sigText.error());
    auto sig = vx::parseSignature(*sigText);
    if (!sig)
        return fail(file + ".sig: " + sig.error());
    if (!vx::verifyEd25519(*key, *data, *sig))
        return fail("bad signature: " + file + ".sig is not a signature of " + file +
                    " by this key");
    return print("good signature");
}

} // namespace

int diff(const std::string& oldPath, const std::string& newPath, const std::string& patchPath, int level) {
    auto oldBytes = readAll(oldPath);
    if (!oldBytes)
        return fail("cannot read " + oldPath);
    auto newBytes = readAll(newPath);
    if (!newBytes)
        return fail("cannot read " + newPath);
    const std::string& from = *oldBytes;
    const std::string& to = *newBytes;
    if (to.size() > vxdl::kMaxPatchedSize)
        return fail(newPath + " is larger than a patch may make");
    std::string error;
    const std::string patch = vxdl::makePatch(from, to, level, error);
    if (patch.empty())
        return fail("cannot make the patch: " + error);
    if (vx::Status st = vx::platform::writeFileAtomic(patchPath, patch, false); !st)
        return fail(st.error());
    char share[32];
    std::snprintf(share, sizeof share, "%.2f", to.empty() ? 0.0 : 100.0 * static_cast<double>(patch.size()) /
                                                                   static_cast<double>(to.size()));
    return print(std::to_string(patch.size()) + " bytes, " + share + " % of " + std::to_string(to.size()) +
                 ", SHA256 " + vx::sha256Hex(patch));
}

int main(int argc, char** argv) {
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 2)
        return usage("missing command");
    const std::string cmd = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    static const std::vector<std::string> kCommands = {
        "scramble",  "unscramble", "base64", "md5",  "sha256",
        "urlencode", "urldecode",  "keygen", "sign", "verify", "diff", "diag"};
    if (std::find(kCommands.begin(), kCommands.end(), cmd) == kCommands.end())
        return usage(("unknown command: " + cmd).c_str());
    std::vector<std::string> rest = args;
    if (cmd == "diff") {
        int level = 19;
        if (rest.size() == 5 && rest[3] == "--level") {
            char* end = nullptr;
            const long n = std::strtol(rest[4].c_str(), &end, 10);
            if (rest[4].empty() || *end || n < 1 || n > 19)
                return usage("--level wants a number from 1 to 19");
            level = static_cast<int>(n);
            rest.resize(3);
        }
        if (rest.size() != 3)
            return usage("diff expects OLD NEW PATCH [--level N]");
        return diff(rest[0], rest[1], rest[2], level);
    }
    if (cmd == "diag") {
        std::string client;
        if (rest.size() == 3 && rest[1] == "--client")
            client = rest[2], rest.resize(1);
        if (rest.size() != 1)
            return usage("diag expects FILE.zip [--client DIR]");
        std::string why;
        const int rc = vxutil::diag(rest[0], client, why);
        return rc == 0 ? 0 : fail(why);
    }
    std::string expires;
    if (cmd == "sign" && rest.size() == 4) {
        if (rest[2] == "--expires") {
            auto t = vx::parseUtcTime(rest[3]);
            if (!t)
                return usage("--expires wants a UTC time such as 2026-12-31T00:00:00Z");
            expires = vx::utcTimeText(*t);
        } else if (rest[2] == "--expires-days") {
            char* end = nullptr;
            const long days = std::strtol(rest[3].c_str(), &end, 10);
            if (rest[3].empty() || *end || days < 1 || days > 3650)
                return usage("--expires-days wants a number of days from 1 to 3650");
            expires = vx::utcTimeText(static_cast<std::int64_t>(std::time(nullptr)) +
                                      std::int64_t(days) * 86400);
        } else {
            return usage(("unknown sign option: " + rest[2]).c_str());
        }
        rest.resize(2);
    }
    const std::size_t wanted = cmd == "sign" || cmd == "verify" ? 2 : 1;
    if (rest.size() != wanted)
        return usage(wanted == 2 ? (cmd + " expects exactly two arguments").c_str()
                                 : "expected exactly one argument");
    const std::string& arg = args[0];
    if (cmd == "keygen")
        return keygen(arg);
    if (cmd == "sign")
        return sign(args[0], args[1], expires);
    if (cmd == "verify")
        return verify(args[0], args[1]);
    if (cmd == "sha256") {
        if (!vx::platform::fileExists(arg))
            return fail("no file at " + arg);
        auto r = vx::FileSHA256(arg);
        return r ? print(*r) : fail(r.error());
    }
    if (cmd == "scramble")
        return print(vx::ScrambleParam(arg));
    if (cmd == "unscramble") {
        auto r = vx::UnscrambleParam(arg);
        return r ? print(*r) : fail(r.error());
    }
    if (cmd == "base64")
        return print(vx::Base64Encode(arg));
    if (cmd == "md5") {
        if (!vx::platform::fileExists(arg))
            return fail("no file at " + arg);
        auto r = vx::FileMD5(arg);
        return r ? print(*r) : fail(r.error());
    }
    if (cmd == "urlencode")
        return print(vx::FormUrlEncode(vx::toAnsi(arg)));
    if (cmd == "urldecode") {
        auto r = vx::FormUrlDecode(arg);
        return r ? print(vx::fromAnsi(*r)) : fail(r.error());
    }
    return usage(("unknown command: " + cmd).c_str());
}
