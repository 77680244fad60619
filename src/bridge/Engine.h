#pragma once
// What the script bridge needs of a browser engine, free of any engine's own types. The shell's
// engine adapter implements IScriptEngine and IBrowserView, turns the page's script values into
// ScriptValue and hands ResultValue back to the page. Everything here runs on the main thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>

namespace vx {

// One argument of a native call, as page script passed it. Only its script type matters to
// the bridge: a boolean, a number, a string, or anything else (undefined, null, objects,
// arrays, functions, dates), which carries no value.
class ScriptValue {
public:
    // Anything that is neither a boolean, a number nor a string.
    ScriptValue() = default;
    static ScriptValue undefined() { return {}; }
    static ScriptValue boolean(bool value) { return ScriptValue(value); }
    static ScriptValue number(double value) { return ScriptValue(value); }
    // A number together with the text the page's own String(value) gives for it, which is
    // what a text parameter receives; an engine that has no such text uses number(value).
    static ScriptValue number(double value, std::string text) {
        ScriptValue v(value);
        v.m_numberText = std::move(text);
        return v;
    }
    static ScriptValue string(std::string utf8) { return ScriptValue(std::move(utf8)); }

    bool isBool() const { return std::holds_alternative<bool>(m_v); }
    // An integral number that fits a signed 32-bit integer (not -0), as V8's Int32 check.
    // Such a number is a double too.
    bool isInt() const;
    // Any number, NaN and the infinities included.
    bool isDouble() const { return std::holds_alternative<double>(m_v); }
    bool isString() const { return std::holds_alternative<std::string>(m_v); }

    // The getters give the type's default (false, 0, 0.0, "") for a value of another type.
    bool getBoolValue() const;
    int32_t getIntValue() const;
    double getDoubleValue() const;
    const std::string& getStringValue() const; // UTF-8
    // The page's text of a number, or nullptr when the engine gave none (or not a number).
    const std::string* numberText() const {
        return isDouble() && m_numberText ? &*m_numberText : nullptr;
    }

private:
    explicit ScriptValue(bool v) : m_v(v) {}
    explicit ScriptValue(double v) : m_v(v) {}
    explicit ScriptValue(std::string v) : m_v(std::move(v)) {}

    std::variant<std::monostate, bool, double, std::string> m_v;
    std::optional<std::string> m_numberText;
};

// The value a native call gives back to the page: nothing (the page sees undefined), a 32-bit
// integer, a double or a UTF-8 string.
class ResultValue {
public:
    ResultValue() = default;
    static ResultValue integer(int32_t v) { return ResultValue(Value(v)); }
    static ResultValue real(double v) { return ResultValue(Value(v)); }
    static ResultValue string(std::string v) { return ResultValue(Value(std::move(v))); }

    void clear() { m_v = std::monostate{}; }
    bool isEmpty() const { return std::holds_alternative<std::monostate>(m_v); }
    bool isInt() const { return std::holds_alternative<int32_t>(m_v); }
    bool isDouble() const { return std::holds_alternative<double>(m_v); }
    bool isString() const { return std::holds_alternative<std::string>(m_v); }
    int32_t intValue() const { return isInt() ? std::get<int32_t>(m_v) : 0; }
    double doubleValue() const { return isDouble() ? std::get<double>(m_v) : 0.0; }
    std::string stringValue() const { return isString() ? std::get<std::string>(m_v) : ""; }

    bool operator==(const ResultValue&) const = default;

private:
    using Value = std::variant<std::monostate, int32_t, double, std::string>;
    explicit ResultValue(Value v) : m_v(std::move(v)) {}
    Value m_v;
};

// The handler of the extension's native functions. The engine calls execute when page script
// calls one of them; it must never throw.
class IScriptHandler {
public:
    virtual ~IScriptHandler() = default;
    // name: the function's name as declared; arguments: the values passed, in order.
    // Returns true when the call was carried out, with `result` set (or left empty for no
    // value). Returns false with `exception` set when the call is refused; the page then
    // receives an Error with that text.
    virtual bool execute(const std::string& name, std::span<const ScriptValue> arguments,
                         ResultValue& result, std::string& exception) = 0;
};

// The engine as a whole.
class IScriptEngine {
public:
    virtual ~IScriptEngine() = default;
    // Registers one extension: `source` runs in every page context created from now on (the
    // main world of every frame of every view), and its "native function NAME( A, B);"
    // declarations become global functions whose calls reach `handler`. The engine keeps the
    // handler alive. Returns false when the engine refuses the extension.
    virtual bool registerExtension(const std::string& name, const std::string& source,
                                   std::shared_ptr<IScriptHandler> handler) = 0;
};

// One browser view.
class IBrowserView {
public:
    virtual ~IBrowserView() = default;
    // Runs `code` in the view's main frame; `scriptUrl` and `startLine` only attribute errors
    // in the script. Returns at once; no result is read.
    virtual void executeJavaScript(const std::string& code, const std::string& scriptUrl,
                                   int startLine) = 0;
};

} // namespace vx
