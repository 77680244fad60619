// Decoding of HTTP reply bodies. The first byte picks the rule; for the rules that also read
// a header value, the text up to the first line break is that value and the rest the body.

#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "http/ReplyDecoding.h"

namespace {

// Splits "value\nbody"; no line break: no value.
std::pair<std::string_view, std::string_view> split(std::string_view s) {
    auto nl = s.find('\n');
    if (nl == std::string_view::npos)
        return {{}, s};
    return {s.substr(0, nl), s.substr(nl + 1)};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto [value, body] = split(in);
    bool isutf8 = false;
    switch (data[0] % 6) {
    case 0:
        (void)vx::gunzip(in);
        break;
    case 1: {
        auto out = vx::decodeContent(body, value);
        // Only an encoding that names gzip (in any letter case) changes the body.
        std::string lower(value);
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        if (lower.find("gzip") == std::string::npos)
            VXFUZZ_CHECK(out && *out == body);
        break;
    }
    case 2: {
        std::string cs = vx::contentTypeCharset(in);
        VXFUZZ_CHECK(cs.size() <= in.size());
        break;
    }
    case 3:
        VXFUZZ_CHECK(vxfuzz::validUtf8(vx::decodeWithCharset(body, value)));
        break;
    case 4:
        (void)vx::decodeGetText(body, value.empty() ? "gb2312" : value, isutf8);
        break;
    case 5:
        (void)vx::decodePostText(body, value, "gb2312", isutf8);
        break;
    }
    return 0;
}
