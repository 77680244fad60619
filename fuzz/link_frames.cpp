// The link server's frame reader and the parsers of what it reads: bytes of a peer, as
// they arrive over TCP in pieces of any size. A peer first registers; every later frame
// is a message or a control frame.
//
// Checks: the frames found do not depend on how the stream was cut into reads; nothing is
// read past a frame; a parsed registration survives its own encoding.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "LinkProtocol.h"

namespace proto = vxlink::proto;

namespace {

struct Outcome {
    std::vector<std::string> frames;
    bool invalid = false;
    bool refused = false;
};

// What a connection makes of the stream when it arrives in reads of the given sizes.
Outcome read(std::string_view stream, const std::vector<std::size_t>& cuts) {
    Outcome out;
    std::string buffer;
    bool registered = false;
    std::size_t at = 0, k = 0;
    while (at < stream.size() && !out.invalid && !out.refused) {
        std::size_t n = std::min(cuts[k++ % cuts.size()], stream.size() - at);
        buffer.append(stream.substr(at, n));
        at += n;
        proto::Scan s = proto::scanFrames(buffer, [&](std::string_view payload) {
            VXFUZZ_CHECK(payload.size() <= proto::kMaxFrame);
            out.frames.emplace_back(payload);
            if (!registered) {
                auto reg = proto::parseRegistration(payload);
                if (!reg) {
                    out.refused = true;
                    return false;
                }
                VXFUZZ_CHECK(reg->version >= 1 && reg->appId >= 0);
                std::string again = proto::registrationFrame(reg->appId, reg->version);
                auto back = proto::parseRegistration(std::string_view(again).substr(proto::kHeaderSize));
                VXFUZZ_CHECK(back && back->appId == reg->appId && back->version == reg->version);
                registered = true;
                return true;
            }
            if (proto::isControl(payload)) {
                if (auto c = proto::parseControl(payload))
                    VXFUZZ_CHECK(c->word.find(' ') == std::string::npos);
            } else if (auto target = proto::parseTarget(payload)) {
                VXFUZZ_CHECK(*target >= 0);
            }
            return true;
        });
        VXFUZZ_CHECK(s.consumed <= buffer.size());
        out.invalid = s.invalid;
        buffer.erase(0, s.consumed);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    const Outcome whole = read(stream, {stream.size() + 1});
    const Outcome bytes = read(stream, {1});
    const Outcome mixed = read(stream, {3, 1, 64, 7, 4096});
    VXFUZZ_CHECK(whole.frames == bytes.frames && whole.frames == mixed.frames);
    VXFUZZ_CHECK(whole.invalid == bytes.invalid && whole.invalid == mixed.invalid);
    VXFUZZ_CHECK(whole.refused == bytes.refused && whole.refused == mixed.refused);
    return 0;
}
