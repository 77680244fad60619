#include "http/ReplyDecoding.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include "core/Text.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <pcre2.h>
#include <zlib.h>

namespace vx {

// --- Content encoding ------------------------------------------------------------------

namespace {

constexpr unsigned char kFlagHcrc = 0x02;
constexpr unsigned char kFlagExtra = 0x04;
constexpr unsigned char kFlagName = 0x08;
constexpr unsigned char kFlagComment = 0x10;
constexpr unsigned char kFlagReserved = 0xE0;

std::uint32_t readLe32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// RAII for a raw-inflate stream.
class Inflater {
public:
    Inflater() { m_ok = inflateInit2(&m_z, -MAX_WBITS) == Z_OK; }
    ~Inflater() {
        if (m_ok)
            inflateEnd(&m_z);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    bool ok() const { return m_ok; }
    z_stream& z() { return m_z; }

private:
    z_stream m_z{};
    bool m_ok = false;
};

} // namespace

Expected<std::string> gunzip(std::string_view body, std::size_t maxOutput) {
    const auto* p = reinterpret_cast<const unsigned char*>(body.data());
    const std::size_t n = body.size();
    if (n < 10 || p[0] != 0x1F || p[1] != 0x8B)
        return Error{"not a gzip stream (bad magic bytes)"};
    if (p[2] != 8)
        return Error{"unsupported gzip compression method " + std::to_string(p[2])};
    const unsigned char flags = p[3];
    if (flags & kFlagReserved)
        return Error{"gzip header has reserved flags set"};
    std::size_t pos = 10;
    if (flags & kFlagExtra) {
        if (n < pos + 2)
            return Error{"truncated gzip header"};
        const std::size_t xlen = p[pos] | static_cast<std::size_t>(p[pos + 1]) << 8;
        pos += 2 + xlen;
        if (pos > n)
            return Error{"truncated gzip header"};
    }
    for (unsigned char f : {kFlagName, kFlagComment}) {
        if (flags & f) {
            while (pos < n && p[pos] != 0)
                ++pos;
            if (pos >= n)
                return Error{"truncated gzip header"};
            ++pos;
        }
    }
    if (flags & kFlagHcrc) {
        pos += 2;
        if (pos > n)
            return Error{"truncated gzip header"};
    }

    Inflater inf;
    if (!inf.ok())
        return Error{"zlib could not be initialised"};
    z_stream& z = inf.z();
    std::string out;
    std::size_t consumed = pos;
    unsigned char buf[64 * 1024];
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        const std::size_t left = n - consumed;
        z.next_in = const_cast<Bytef*>(p + consumed);
        z.avail_in = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
        z.next_out = buf;
        z.avail_out = sizeof buf;
        const uInt inBefore = z.avail_in;
        rc = inflate(&z, Z_NO_FLUSH);
        consumed += inBefore - z.avail_in;
        if (sizeof buf - z.avail_out > maxOutput - out.size())
            return Error{"gzip data inflates beyond " + std::to_string(maxOutput) + " bytes"};
        out.append(reinterpret_cast<char*>(buf), sizeof buf - z.avail_out);
        if (rc == Z_STREAM_END)
            break;
        if (rc != Z_OK && rc != Z_BUF_ERROR)
            return Error{std::string("corrupt gzip data: ") + (z.msg ? z.msg : "inflate failed")};
        if (z.avail_out != 0 && consumed >= n)
            return Error{"truncated gzip data"};
        if (rc == Z_BUF_ERROR && z.avail_out != 0)
            return Error{"truncated gzip data"};
    }
    if (n - consumed < 8)
        return Error{"truncated gzip trailer"};
    const std::uint32_t crc = readLe32(p + consumed);
    const std::uint32_t isize = readLe32(p + consumed + 4);
    std::uint32_t actualCrc = 0;
    {
        uLong c = crc32(0L, Z_NULL, 0);
        std::size_t done = 0;
        while (done < out.size()) {
            const auto chunk =
                static_cast<uInt>(std::min<std::size_t>(out.size() - done, 1u << 30));
            c = crc32(c, reinterpret_cast<const Bytef*>(out.data() + done), chunk);
            done += chunk;
        }
        actualCrc = static_cast<std::uint32_t>(c);
    }
    if (crc != actualCrc)
        return Error{"gzip CRC-32 mismatch"};
    if (isize != static_cast<std::uint32_t>(out.size()))
        return Error{"gzip length mismatch"};
    return out;
}

Expected<std::string> decodeContent(std::string_view rawBody, std::string_view contentEncoding,
                                    std::size_t maxOutput) {
    if (icontains(contentEncoding, "gzip"))
        return gunzip(rawBody, maxOutput);
    return std::string(rawBody);
}

// --- Character sets --------------------------------------------------------------------

std::string contentTypeCharset(std::string_view contentType) {
    std::size_t i = contentType.find(';');
    while (i != std::string_view::npos) {
        std::string_view rest = contentType.substr(i + 1);
        const std::size_t next = rest.find(';');
        std::string_view param = rest.substr(0, next);
        while (!param.empty() && (param.front() == ' ' || param.front() == '\t'))
            param.remove_prefix(1);
        while (!param.empty() && (param.back() == ' ' || param.back() == '\t'))
            param.remove_suffix(1);
        const std::size_t eq = param.find('=');
        if (eq != std::string_view::npos) {
            std::string_view name = param.substr(0, eq);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
                name.remove_suffix(1);
            if (iequals(name, "charset")) {
                std::string_view value = param.substr(eq + 1);
                while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                    value.remove_prefix(1);
                if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                    value.back() == value.front())
                    value = value.substr(1, value.size() - 2);
                return std::string(value);
            }
        }
        i = next == std::string_view::npos ? next : i + 1 + next;
    }
    return {};
}

namespace {

// The length of the well-formed UTF-8 sequence (RFC 3629) at the start of `s`, or 0: no
// overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t wellFormedLength(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c < 0x80)
        return 1;
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF; // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else
        return 0;
    if (s.size() < len || b(1) < lo || b(1) > hi)
        return 0;
    for (std::size_t i = 2; i < len; ++i)
        if ((b(i) & 0xC0) != 0x80)
            return 0;
    return len;
}

// The converter passes some sequences through that are not UTF-8 (glibc's UTF-8 reader takes
// the old five- and six-byte forms and code points above U+10FFFF); each byte of such a
// sequence becomes U+FFFD, so that every caller gets well-formed text.
std::string wellFormedUtf8(std::string text) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t n = wellFormedLength(std::string_view(text).substr(i));
        if (n == 0)
            break;
        i += n;
    }
    if (i == text.size())
        return text;
    std::string out(text, 0, i);
    while (i < text.size()) {
        std::size_t n = wellFormedLength(std::string_view(text).substr(i));
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

} // namespace

std::string decodeWithCharset(std::string_view bytes, std::string_view charset) {
    if (auto text = platform::decodeCharset(bytes, charset))
        return wellFormedUtf8(std::move(*text));
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80)
            out += static_cast<char>(c);
        else
            out += "\xEF\xBF\xBD";
    }
    return out;
}

namespace {

// A compiled case-insensitive PCRE2 pattern, shared by all threads (a compiled pattern is
// read-only; each search has its own match data).
class Regex {
public:
    explicit Regex(const char* pattern) {
        int err = 0;
        PCRE2_SIZE offset = 0;
        pcre2_compile_context* ctx = pcre2_compile_context_create(nullptr);
        // A "line break" is CR, LF or CR LF, as in the texts the service sends.
        if (ctx)
            pcre2_set_newline(ctx, PCRE2_NEWLINE_ANYCRLF);
        m_code =
            pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                          PCRE2_CASELESS | PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &err, &offset, ctx);
        pcre2_compile_context_free(ctx);
    }
    ~Regex() { pcre2_code_free(m_code); }
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // The whole text of the first match, or false.
    bool search(std::string_view subject, std::string& match) const {
        if (!m_code)
            return false;
        pcre2_match_data* md = pcre2_match_data_create_from_pattern(m_code, nullptr);
        if (!md)
            return false;
        const int rc = pcre2_match(m_code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                                   subject.size(), 0, 0, md, nullptr);
        bool found = false;
        if (rc > 0) {
            const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
            match.assign(subject.substr(ov[0], ov[1] - ov[0]));
            found = true;
        }
        pcre2_match_data_free(md);
        return found;
    }

private:
    pcre2_code* m_code = nullptr;
};

const Regex& metaLazy() {
    static const Regex re(R"(<meta[\S\s]*?charset=(.*?)>)");
    return re;
}
const Regex& metaGreedy() {
    static const Regex re(R"(<meta[\S\s]*?charset=(.*)>)");
    return re;
}
const Regex& xmlEncoding() {
    static const Regex re(R"(encoding=[^>]+)");
    return re;
}

std::string decodeByDeclaration(std::string_view content, std::string_view defaultLabel,
                                bool& isutf8, const Regex& metaRe) {
    std::string text = fromAnsi(content);
    std::string match;
    if (!metaRe.search(text, match) && !xmlEncoding().search(text, match))
        return text;
    if (icontains(match, "utf-8")) {
        isutf8 = true;
        return decodeWithCharset(content, "utf-8");
    }
    isutf8 = false;
    return decodeWithCharset(content, defaultLabel);
}

} // namespace

std::string decodeGetText(std::string_view content, std::string_view defaultLabel, bool& isutf8) {
    return decodeByDeclaration(content, defaultLabel, isutf8, metaLazy());
}

std::string decodePostText(std::string_view content, std::string_view charsetParam,
                           std::string_view defaultLabel, bool& isutf8) {
    if (!charsetParam.empty()) {
        isutf8 = iequals(charsetParam, "utf-8");
        return decodeWithCharset(content, charsetParam);
    }
    return decodeByDeclaration(content, defaultLabel, isutf8, metaGreedy());
}

} // namespace vx
