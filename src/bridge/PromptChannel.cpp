#include "bridge/PromptChannel.h"

#include "bridge/hiJsScriptExtented.h"
#include "core/JsString.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace vx {

namespace {

constexpr std::string_view kDeclPrefix = " native function ";

// The extension source's lines (separated by LF CR; a lone LF or CR separates too).
std::vector<std::string_view> sourceLines(std::string_view source) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= source.size(); ++i) {
        if (i == source.size() || source[i] == '\n' || source[i] == '\r') {
            if (i > start)
                lines.push_back(source.substr(start, i - start));
            start = i + 1;
        }
    }
    return lines;
}

bool parseDeclaration(std::string_view line, NativeDeclaration& out) {
    if (line.substr(0, kDeclPrefix.size()) != kDeclPrefix)
        return false;
    line.remove_prefix(kDeclPrefix.size());
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
        open == 0)
        return false;
    out.name = std::string(line.substr(0, open));
    const std::string_view params = line.substr(open + 1, close - open - 1);
    out.paramCount = 0;
    if (params.find_first_not_of(' ') != std::string_view::npos)
        out.paramCount =
            1 + static_cast<std::size_t>(std::count(params.begin(), params.end(), ','));
    return true;
}

// --- A reader for the one message shape ----------------------------------------------------

class Reader {
public:
    explicit Reader(std::string_view s) : m_s(s) {}

    bool atEnd() {
        skipSpace();
        return m_i == m_s.size();
    }
    bool take(char c) {
        skipSpace();
        if (m_i < m_s.size() && m_s[m_i] == c) {
            ++m_i;
            return true;
        }
        return false;
    }
    bool peek(char c) {
        skipSpace();
        return m_i < m_s.size() && m_s[m_i] == c;
    }
    bool word(std::string_view w) {
        skipSpace();
        if (m_s.substr(m_i, w.size()) != w)
            return false;
        m_i += w.size();
        return true;
    }

    bool string(std::string& out) {
        out.clear();
        if (!take('"'))
            return false;
        while (m_i < m_s.size()) {
            const char c = m_s[m_i++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_i >= m_s.size())
                return false;
            switch (m_s[m_i++]) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                uint32_t cp = 0;
                if (!hex4(cp))
                    return false;
                if (cp >= 0xD800 && cp <= 0xDBFF && m_s.substr(m_i, 2) == "\\u") {
                    const std::size_t back = m_i;
                    m_i += 2;
                    uint32_t low = 0;
                    if (!hex4(low))
                        return false;
                    if (low >= 0xDC00 && low <= 0xDFFF)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else
                        m_i = back; // the next escape stands on its own
                }
                // A surrogate left alone has no UTF-8 form.
                if (cp >= 0xD800 && cp <= 0xDFFF)
                    cp = 0xFFFD;
                appendUtf8(out, cp);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }

    bool number(double& out) {
        skipSpace();
        const std::size_t start = m_i;
        if (m_i < m_s.size() && m_s[m_i] == '-')
            ++m_i;
        if (m_i >= m_s.size() || m_s[m_i] < '0' || m_s[m_i] > '9')
            return false;
        while (m_i < m_s.size() &&
               std::string_view("0123456789.eE+-").find(m_s[m_i]) != std::string_view::npos)
            ++m_i;
        const char* first = m_s.data() + start;
        const char* last = m_s.data() + m_i;
        auto r = std::from_chars(first, last, out);
        return r.ec == std::errc() && r.ptr == last;
    }

private:
    void skipSpace() {
        while (m_i < m_s.size() &&
               (m_s[m_i] == ' ' || m_s[m_i] == '\t' || m_s[m_i] == '\n' || m_s[m_i] == '\r'))
            ++m_i;
    }
    bool hex4(uint32_t& out) {
        if (m_i + 4 > m_s.size())
            return false;
        out = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = m_s[m_i++];
            out <<= 4;
            if (c >= '0' && c <= '9')
                out |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                out |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                out |= static_cast<uint32_t>(c - 'A' + 10);
            else
                return false;
        }
        return true;
    }
    static void appendUtf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    std::string_view m_s;
    std::size_t m_i = 0;
};

bool nonFinite(std::string_view text, double& out) {
    if (text == "NaN")
        out = std::numeric_limits<double>::quiet_NaN();
    else if (text == "Infinity")
        out = std::numeric_limits<double>::infinity();
    else if (text == "-Infinity")
        out = -std::numeric_limits<double>::infinity();
    else
        return false;
    return true;
}

// One typed argument: {"b":…}, {"n":…}, {"n":…,"t":…}, {"s":…} or {}.
bool readArgument(Reader& r, ScriptValue& out) {
    if (!r.take('{'))
        return false;
    if (r.take('}')) {
        out = ScriptValue::undefined();
        return true;
    }
    std::string key;
    if (!r.string(key) || !r.take(':'))
        return false;
    if (key == "b") {
        if (r.word("true"))
            out = ScriptValue::boolean(true);
        else if (r.word("false"))
            out = ScriptValue::boolean(false);
        else
            return false;
    } else if (key == "n") {
        double d = 0;
        if (r.peek('"')) {
            std::string text;
            if (!r.string(text) || !nonFinite(text, d))
                return false;
        } else if (!r.number(d)) {
            return false;
        }
        // The page's own text of the number follows in current stubs, not in older ones.
        if (r.take(',')) {
            std::string text;
            if (!r.string(key) || key != "t" || !r.take(':') || !r.string(text))
                return false;
            out = ScriptValue::number(d, std::move(text));
        } else {
            out = ScriptValue::number(d);
        }
    } else if (key == "s") {
        std::string s;
        if (!r.string(s))
            return false;
        out = ScriptValue::string(std::move(s));
    } else {
        return false;
    }
    return r.take('}');
}

std::string numberJson(double d) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

} // namespace

std::vector<NativeDeclaration> nativeDeclarations(std::string_view source) {
    std::vector<NativeDeclaration> out;
    for (std::string_view line : sourceLines(source)) {
        NativeDeclaration d;
        if (parseDeclaration(line, d))
            out.push_back(std::move(d));
    }
    return out;
}

std::string promptStubScript(std::string_view source, std::string_view serviceOrigin,
                             std::string_view marker) {
    // Everything a call touches is captured now, before any page script runs, and nothing a
    // page can replace is looked up at call time: page script may redefine prompt, JSON,
    // Function.prototype.call, Array.prototype.toJSON or any property of Object.prototype (old
    // libraries do) and still neither break nor reroute a call. So the message is written by
    // hand from primitives (JSON.stringify of a primitive consults no toJSON), prompt is
    // called through Reflect.apply, and a reply field is read only when it is the reply's own.
    std::string out = R"JS((function(){
var w=window,p=w.prompt,R=Reflect.apply,S=JSON.stringify,Q=JSON.parse,H=Object.prototype.hasOwnProperty,E=Error,F=isFinite,T=String,N=Number,M=)JS" +
                      jsStringLiteral(marker) +
                      ",B=" + jsStringLiteral(bridge_texts::kCallBlocked) + R"JS(;
function o(r,k){return R(H,r,[k]);}
function c(n,a){var m="["+S(n)+",[",i,v,k,r;
for(i=0;i<a.length;i++){v=a[i];k=typeof v;if(i)m+=",";
m+=k==="boolean"?(v?"{\"b\":true}":"{\"b\":false}"):k==="number"?"{\"n\":"+(F(v)?S(v):S(T(v)))+",\"t\":"+S(T(v))+"}":k==="string"?"{\"s\":"+S(v)+"}":"{}";}
r=R(p,w,[M,m+"]]"]);
if(typeof r!=="string")throw new E(B);
try{r=Q(r);}catch(e){throw new E(B);}
if(typeof r!=="object"||r===null)throw new E(B);
if(o(r,"x"))throw new E(typeof r.x==="string"?r.x:B);
if(o(r,"d"))return N(r.d);
if(o(r,"r"))return r.r;}
)JS";
    std::string declarations;
    std::string values;
    bool head = true;
    for (std::string_view line : sourceLines(source)) {
        NativeDeclaration d;
        if (parseDeclaration(line, d)) {
            std::string params;
            for (std::size_t i = 0; i < d.paramCount; ++i) {
                if (i)
                    params += ',';
                params += static_cast<char>('A' + i);
            }
            const std::string name = jsStringLiteral(d.name);
            out += "w[" + name + "]=function(" + params + "){return c(" + name + ",arguments);};\n";
            continue;
        }
        // The head and the variable declarations go to every frame, so that page script
        // naming a field meets no ReferenceError; the values only to the service's own.
        // window.origin is read before any page script of this document has run.
        std::string& to = head || line.substr(0, 5) == " var " ? declarations : values;
        to += line;
        to += '\n';
        head = false;
    }
    out += "})();\n" + declarations;
    if (!values.empty())
        out += "if(window.origin===" + jsStringLiteral(serviceOrigin) + "){\n" + values + "}\n";
    return out;
}

Expected<NativeCall> parseCallMessage(std::string_view json) {
    Reader r(json);
    NativeCall call;
    if (!r.take('[') || !r.string(call.name) || !r.take(',') || !r.take('['))
        return Error{"a native call message starts with [name, ["};
    if (!r.take(']')) {
        do {
            ScriptValue v;
            if (!readArgument(r, v))
                return Error{"a native call argument is not {\"b\"|\"n\"|\"s\": value} or {}"};
            call.arguments.push_back(std::move(v));
        } while (r.take(','));
        if (!r.take(']'))
            return Error{"the argument list of a native call message is not closed"};
    }
    if (!r.take(']') || !r.atEnd())
        return Error{"a native call message ends with ]]"};
    return call;
}

std::string replyMessage(bool handled, const ResultValue& result, const std::string& exception) {
    if (!handled)
        return "{\"x\":" + jsStringLiteral(exception) + "}";
    if (result.isInt())
        return "{\"r\":" + std::to_string(result.intValue()) + "}";
    if (result.isDouble()) {
        const double d = result.doubleValue();
        if (std::isnan(d))
            return "{\"d\":\"NaN\"}";
        if (std::isinf(d))
            return d > 0 ? "{\"d\":\"Infinity\"}" : "{\"d\":\"-Infinity\"}";
        return "{\"r\":" + numberJson(d) + "}";
    }
    if (result.isString())
        return "{\"r\":" + jsStringLiteral(result.stringValue()) + "}";
    return "{}";
}

std::string dispatchPromptMessage(IScriptHandler& handler, std::string_view message) noexcept {
    try {
        auto call = parseCallMessage(message);
        if (!call)
            return replyMessage(false, {}, std::string(bridge_texts::kErrorParameters));
        ResultValue result;
        std::string exception;
        const bool handled = handler.execute(call->name, call->arguments, result, exception);
        return replyMessage(handled, result, exception);
    } catch (...) {
        return "{\"x\":\"Error Parameters\"}";
    }
}

} // namespace vx
