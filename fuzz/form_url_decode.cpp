// FormUrlDecode on any text, and the round trip of the encoder: what FormUrlEncode makes of
// bytes (up to the first NUL) decodes to the same bytes.

#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "http/FormUrl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    auto decoded = vx::FormUrlDecode(in);
    if (decoded)
        VXFUZZ_CHECK(decoded->size() <= in.size());

    const std::string_view bytes = in.substr(0, in.find('\0'));
    const std::string encoded = vx::FormUrlEncode(bytes);
    for (char c : encoded)
        VXFUZZ_CHECK(c > 0x20 && c < 0x7F && c != '&' && c != '=');
    auto back = vx::FormUrlDecode(encoded);
    VXFUZZ_CHECK(back && *back == bytes);
    return 0;
}
