#include "bridge/hiJsScriptExtented.h"

#include "core/JsString.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace vx {

namespace {

// The extension's line break: line feed, then carriage return.
constexpr std::string_view kBreak = "\n\r";

bool isOrdinalKind(ValueKind k) {
    return k == ValueKind::Integer || k == ValueKind::Enumeration || k == ValueKind::Boolean ||
           k == ValueKind::Set;
}

// A native value read as a whole number (a fault in the table gives 0 rather than garbage).
int64_t asInt64(const NativeValue& v) {
    if (auto b = std::get_if<bool>(&v))
        return *b ? 1 : 0;
    if (auto i = std::get_if<int64_t>(&v))
        return *i;
    if (auto d = std::get_if<double>(&v))
        return std::isfinite(*d) ? static_cast<int64_t>(*d) : 0;
    return 0;
}

double asDouble(const NativeValue& v) {
    if (auto d = std::get_if<double>(&v))
        return *d;
    return static_cast<double>(asInt64(v));
}

std::string asText(const NativeValue& v) {
    if (auto s = std::get_if<std::string>(&v))
        return *s;
    return {};
}

// Fixed notation with two decimals and a point whatever the locale. The non-finite values
// are written as the script names them: "nan" would be an undefined variable in the source.
std::string fixed2(double d) {
    if (std::isnan(d))
        return "NaN";
    if (std::isinf(d))
        return d > 0 ? "Infinity" : "-Infinity";
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, 2);
    return std::string(buf, r.ptr);
}

// A number as script's String(x) writes it (Number::toString): the shortest digits that
// read back the same, plain between 1e-6 and 1e21, else with an exponent ("1e-7", "1.5e+21").
std::string numberText(double d) {
    if (std::isnan(d))
        return "NaN";
    if (std::isinf(d))
        return d > 0 ? "Infinity" : "-Infinity";
    if (d == 0.0)
        return "0"; // -0 too
    char buf[64];
    const auto r =
        std::to_chars(buf, buf + sizeof buf, std::fabs(d), std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    const std::size_t e = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e))
        if (c != '.')
            digits += c;
    int exponent = 0;
    std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+'), sci.data() + sci.size(), exponent);
    const int k = static_cast<int>(digits.size());
    const int n = exponent + 1; // the value is 0.digits × 10^n
    std::string out = d < 0 ? "-" : "";
    if (k <= n && n <= 21) {
        out += digits;
        out.append(static_cast<std::size_t>(n - k), '0');
    } else if (0 < n && n <= 21) {
        out += digits.substr(0, static_cast<std::size_t>(n));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(n));
    } else if (-6 < n && n <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n), '0');
        out += digits;
    } else {
        out += digits[0];
        if (k > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += n - 1 >= 0 ? "e+" : "e-";
        out += std::to_string(std::abs(n - 1));
    }
    return out;
}

void appendVariable(std::string& out, const FieldInfo& member, const void* object) {
    out += kBreak;
    out += " var ";
    out += member.name;
    out += ';';
    if (member.kind == ValueKind::Other)
        return;
    out += kBreak;
    out += ' ';
    out += member.name;
    if (member.kind == ValueKind::Object) {
        out += "={};";
        return;
    }
    const NativeValue value = member.read(object);
    out += '=';
    if (isOrdinalKind(member.kind))
        out += std::to_string(asInt64(value));
    else if (member.kind == ValueKind::Float)
        out += fixed2(asDouble(value));
    else
        out += jsStringLiteral(asText(value));
    out += ';';
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// Step one of the argument conversion: by the script value's own type.
NativeValue fromScript(const ScriptValue& v) {
    if (v.isBool())
        return v.getBoolValue();
    if (v.isInt())
        return static_cast<int64_t>(v.getIntValue());
    if (v.isDouble())
        return v.getDoubleValue();
    if (v.isString())
        return v.getStringValue();
    return std::monostate{};
}

[[noreturn]] void refuseParameters() {
    throw BridgeError(std::string(bridge_texts::kErrorParameters));
}

// Step two: to the parameter's declared kind. Whole numbers take booleans and integral
// numbers in 32 bits; a fraction, a non-finite number or a string is refused rather than
// guessed at. Texts take strings and the text of booleans and numbers. An empty value becomes
// the kind's default.
NativeValue toKind(NativeValue v, ValueKind kind) {
    switch (kind) {
    case ValueKind::Integer:
    case ValueKind::Enumeration:
    case ValueKind::Set:
        if (std::holds_alternative<std::monostate>(v))
            return int64_t{0};
        if (auto b = std::get_if<bool>(&v))
            return int64_t{*b ? 1 : 0};
        if (std::holds_alternative<int64_t>(v))
            return v;
        if (auto d = std::get_if<double>(&v)) {
            if (std::isfinite(*d) && *d == std::trunc(*d) && *d >= -2147483648.0 &&
                *d <= 2147483647.0)
                return static_cast<int64_t>(*d);
        }
        refuseParameters();
    case ValueKind::Boolean:
        if (std::holds_alternative<std::monostate>(v))
            return false;
        if (std::holds_alternative<bool>(v))
            return v;
        if (auto i = std::get_if<int64_t>(&v))
            return *i != 0;
        if (auto d = std::get_if<double>(&v))
            return *d != 0.0 && !std::isnan(*d);
        refuseParameters();
    case ValueKind::Float:
        if (std::holds_alternative<std::monostate>(v))
            return 0.0;
        if (auto b = std::get_if<bool>(&v))
            return *b ? 1.0 : 0.0;
        if (auto i = std::get_if<int64_t>(&v))
            return static_cast<double>(*i);
        if (std::holds_alternative<double>(v))
            return v;
        refuseParameters();
    case ValueKind::Character:
    case ValueKind::Text:
        if (std::holds_alternative<std::monostate>(v))
            return std::string();
        if (auto b = std::get_if<bool>(&v))
            return std::string(*b ? "true" : "false");
        if (auto i = std::get_if<int64_t>(&v))
            return std::to_string(*i);
        if (auto d = std::get_if<double>(&v))
            return numberText(*d);
        return v;
    case ValueKind::Object:
    case ValueKind::Other:
        break;
    }
    // No script value converts to an object, a record or the like.
    refuseParameters();
}

ResultValue toResult(const NativeValue& v, std::optional<ValueKind> kind) {
    if (!kind)
        return {};
    switch (*kind) {
    case ValueKind::Integer:
    case ValueKind::Set:
    case ValueKind::Enumeration:
    case ValueKind::Boolean:
        return ResultValue::integer(static_cast<int32_t>(asInt64(v)));
    case ValueKind::Float:
        return ResultValue::real(asDouble(v));
    case ValueKind::Character:
    case ValueKind::Text:
        return ResultValue::string(asText(v));
    case ValueKind::Object:
    case ValueKind::Other:
        break;
    }
    return {};
}

} // namespace

std::string buildExtensionSource(const MemberTable& table, const void* object) {
    const std::string& n = table.className;
    std::string out = "var " + n + "; if(!" + n + ") " + n + "={};";
    for (const MethodInfo& m : table.methods) {
        out += kBreak;
        out += " native function ";
        out += m.name;
        out += '(';
        const std::size_t k = m.paramCount();
        if (k == 0)
            out += ");";
        for (std::size_t i = 0; i < k; ++i) {
            out += ' ';
            // Past Z the letters go on through the ASCII table, as the original naming did;
            // no exposed method comes near 26 parameters.
            out += static_cast<char>('A' + i);
            out += i + 1 < k ? "," : ");";
        }
    }
    for (const FieldInfo& f : table.fields)
        appendVariable(out, f, object);
    for (const FieldInfo& p : table.properties)
        appendVariable(out, p, object);
    return out;
}

// --- TNCJSHandle --------------------------------------------------------------------------

TNCJSHandle::Found TNCJSHandle::FindMember(const MemberTable& table, std::string_view name) const {
    for (std::size_t i = 0; i < table.methods.size(); ++i)
        if (equalsNoCase(table.methods[i].name, name))
            return {MemberSort::Method, i};
    for (std::size_t i = 0; i < table.properties.size(); ++i)
        if (equalsNoCase(table.properties[i].name, name))
            return {MemberSort::Property, i};
    for (std::size_t i = 0; i < table.fields.size(); ++i)
        if (equalsNoCase(table.fields[i].name, name))
            return {MemberSort::Field, i};
    return {};
}

void TNCJSHandle::InvokeMethod(void* object, const MethodInfo& method,
                               std::span<const ScriptValue> arguments, ResultValue& result) const {
    result.clear();
    std::vector<NativeValue> values;
    values.reserve(method.paramCount());
    for (std::size_t i = 0; i < method.paramCount(); ++i) {
        const ScriptValue& a = arguments[i];
        const ValueKind kind = method.params[i];
        // A text parameter reads a number exactly as the page writes it, when the engine
        // brought the page's own text along.
        if ((kind == ValueKind::Text || kind == ValueKind::Character) && a.numberText())
            values.emplace_back(*a.numberText());
        else
            values.push_back(toKind(fromScript(a), kind));
    }
    NativeValue returned;
    try {
        returned = method.invoke(object, NativeArgs(values));
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string(bridge_texts::kMethodFailed) + method.name + ": " +
                                 e.what());
    } catch (...) {
        throw std::runtime_error(std::string(bridge_texts::kMethodFailed) + method.name);
    }
    result = toResult(returned, method.result);
}

bool TNCJSHandle::Execute(const std::string& name, std::span<const ScriptValue> arguments,
                          ResultValue& result, std::string& exception) noexcept {
    try {
        result.clear();
        const MemberTable* table = FContainer ? FContainer->FTypeInfo : nullptr;
        void* object = FContainer ? FContainer->FProcessObject : nullptr;
        // Only methods are callable: a property's or a field's name is no function.
        const Found found = table && object ? FindMember(*table, name) : Found{};
        if (found.sort != MemberSort::Method) {
            exception = bridge_texts::kHaveNoMember;
            return false;
        }
        const MethodInfo& method = table->methods[found.index];
        const std::size_t p = method.paramCount();
        if (p == 0) {
            InvokeMethod(object, method, {}, result);
            return true;
        }
        if (arguments.size() != p) {
            exception = bridge_texts::kErrorParameters;
            return false;
        }
        InvokeMethod(object, method, arguments, result);
        return true;
    } catch (const std::exception& e) {
        result.clear();
        try {
            exception = e.what();
        } catch (...) {
        }
        return false;
    } catch (...) {
        result.clear();
        return false;
    }
}

// --- TNCCustomJsExtended --------------------------------------------------------------------

TNCCustomJsExtended::TNCCustomJsExtended(IScriptEngine& engine)
    : m_engine(engine), FJsHandle(std::make_shared<TNCJSHandle>(this)) {}

TNCCustomJsExtended::~TNCCustomJsExtended() {
    FJsHandle->FContainer = nullptr;
}

void TNCCustomJsExtended::bindAndRegister(void* object, const MemberTable& table) {
    if (FProcessObject)
        throw std::logic_error("the extension of " + FTypeInfo->className +
                               " is already registered");
    std::string source = buildExtensionSource(table, object);
    // Bound before registering: an engine may run the source, and page script call into it,
    // before registration returns.
    FProcessObject = object;
    FTypeInfo = &table;
    bool registered = false;
    try {
        registered = m_engine.registerExtension(table.className, source, FJsHandle);
    } catch (...) {
        registered = false;
    }
    if (!registered) {
        FProcessObject = nullptr;
        FTypeInfo = nullptr;
        throw BridgeError(std::string(bridge_texts::kRegisterError));
    }
    m_source = std::move(source);
}

void TNCCustomJsExtended::ExecuteJavaScript(const std::string& jsCode, const std::string& scriptUrl,
                                            int startLine) {
    if (!FCustomChromium)
        throw BridgeError(std::string(bridge_texts::kNoChromium));
    FCustomChromium->executeJavaScript(jsCode, scriptUrl, startLine);
}

} // namespace vx
