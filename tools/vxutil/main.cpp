// vxutil: the client's text functions on the command line, for operators of the service
// and for tests. Arguments are UTF-8; output is UTF-8 (or ASCII).

#include <cstdio>
#include <cstring>
#include <string>

#include "core/Crypto.h"
#include "core/Text.h"
#include "http/FormUrl.h"
#include "platform/Platform.h"

namespace {

constexpr const char* kUsage = R"(usage: vxutil COMMAND ARGUMENT

Commands:
  scramble TEXT      the token the client makes of TEXT (a user id, say)
  unscramble TOKEN   the original text of a token (the reverse of scramble)
  base64 TEXT        base64 of TEXT in the ANSI code page (GBK)
  md5 FILE           MD5 of a file in upper-case hex, as the client compares it
  urlencode TEXT     form-URL encoding of TEXT in the ANSI code page
  urldecode TEXT     form-URL decoding; the bytes are read as ANSI and printed as UTF-8

Exit status: 0 on success, 1 when the input is bad (the reason goes to standard error),
2 on a usage error.
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

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 3)
        return usage(argc < 2 ? "missing command" : "expected exactly one argument");
    const std::string cmd = argv[1];
    const std::string arg = argv[2];
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
