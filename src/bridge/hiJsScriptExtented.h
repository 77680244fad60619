#pragma once
// The script bridge: exposes one native object to every page as a script extension of the
// browser engine. TNCCustomJsExtended builds the extension source from the object's member
// table and registers it; its handler TNCJSHandle carries out the page's calls of the native
// functions on the object. Everything runs on the main thread.

#include "bridge/Engine.h"
#include "bridge/MemberTable.h"

#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vx {

// Texts of the bridge's errors, as page script and the main window see them.
namespace bridge_texts {
inline constexpr std::string_view kHaveNoMember = "Have no member";
inline constexpr std::string_view kErrorParameters = "Error Parameters";
inline constexpr std::string_view kRegisterError = "Register JavaScript Extension Error";
inline constexpr std::string_view kNoChromium =
    "Chromium could not be nil, please first set the Chromium property";
// Prefix of the exception text when the called method itself fails; the method's name, ": "
// and the failure's own text follow.
inline constexpr std::string_view kMethodFailed = "Native function failed: ";
// Thrown by the prompt channel's stubs when the browser gave the call no answer at all.
inline constexpr std::string_view kCallBlocked = "Native call blocked by the browser";
} // namespace bridge_texts

// Raised by SetProcessObject when the engine refuses the extension and by ExecuteJavaScript
// without a bound view; what() is the text of bridge_texts.
class BridgeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The extension source of `object` described by `table`: the head "var N; if(!N) N={};", then
// for each method a " native function NAME( A, B);" line, for each field and then each
// property a " var NAME;" line followed by an assignment of its current value by kind. Lines
// are separated by LF CR. Text values are written as escaped JavaScript string literals.
std::string buildExtensionSource(const MemberTable& table, const void* object);

class TNCCustomJsExtended {
public:
    // The engine's handler of the extension's native functions. It refers back to the
    // component that created it; once that component is gone every call is refused with
    // "Have no member" (the engine may keep the handler longer).
    class TNCJSHandle : public IScriptHandler {
    public:
        explicit TNCJSHandle(TNCCustomJsExtended* container) : FContainer(container) {}

        bool execute(const std::string& name, std::span<const ScriptValue> arguments,
                     ResultValue& result, std::string& exception) override {
            return Execute(name, arguments, result, exception);
        }

        // Finds the method by name (ASCII letters in any case), converts the arguments by
        // their script types and then to the parameters' kinds, calls it and converts its
        // result. A method without parameters ignores any arguments; otherwise the argument
        // count must equal the parameter count. Refusals and failures of the method itself
        // return false with `exception` set; nothing is thrown.
        bool Execute(const std::string& name, std::span<const ScriptValue> arguments,
                     ResultValue& result, std::string& exception) noexcept;

    private:
        friend class TNCCustomJsExtended;
        enum class MemberSort { None, Method, Property, Field };
        struct Found {
            MemberSort sort = MemberSort::None;
            std::size_t index = 0;
        };

        Found FindMember(const MemberTable& table, std::string_view name) const;
        // Throws BridgeError(kErrorParameters) for an argument that does not convert.
        void InvokeMethod(void* object, const MethodInfo& method,
                          std::span<const ScriptValue> arguments, ResultValue& result) const;

        TNCCustomJsExtended* FContainer;
    };

    explicit TNCCustomJsExtended(IScriptEngine& engine);
    virtual ~TNCCustomJsExtended();
    TNCCustomJsExtended(const TNCCustomJsExtended&) = delete;
    TNCCustomJsExtended& operator=(const TNCCustomJsExtended&) = delete;

    // Binds `object` (not owned; must outlive this component) described by `table` (kept by
    // reference; must outlive it too), builds the extension source and registers it under the
    // class name with this component's handler. Throws BridgeError with kRegisterError when
    // the engine refuses it (the object is then not bound), std::invalid_argument when the
    // table describes another class, and std::logic_error on a second call.
    template <typename T> void SetProcessObject(T& object, const MemberTable& table) {
        if (!table.type || *table.type != typeid(T))
            throw std::invalid_argument("the member table describes another class than " +
                                        table.className);
        bindAndRegister(&object, table);
    }

    void* ProcessObject() const { return FProcessObject; }
    const MemberTable* ATypeInfo() const { return FTypeInfo; }
    const std::shared_ptr<TNCJSHandle>& JsHandle() const { return FJsHandle; }
    // The source registered by SetProcessObject (empty before).
    const std::string& ExtensionSource() const { return m_source; }

    // Runs `jsCode` in the main frame of the bound view. Throws BridgeError with kNoChromium
    // when no view is bound.
    void ExecuteJavaScript(const std::string& jsCode, const std::string& scriptUrl, int startLine);
    // The same with an empty script URL and line 0.
    void ExecuteJavaScript(const std::string& jsCode) { ExecuteJavaScript(jsCode, "", 0); }

protected:
    IBrowserView* Chromium() const { return FCustomChromium; }
    void SetChromium(IBrowserView* view) { FCustomChromium = view; }

private:
    void bindAndRegister(void* object, const MemberTable& table);

    IScriptEngine& m_engine;
    void* FProcessObject = nullptr;
    std::shared_ptr<TNCJSHandle> FJsHandle;
    const MemberTable* FTypeInfo = nullptr;
    IBrowserView* FCustomChromium = nullptr; // not owned
    std::string m_source;
};

// The component as the main window uses it: publishes the view property.
class TNCJsExtended : public TNCCustomJsExtended {
public:
    using TNCCustomJsExtended::Chromium;
    using TNCCustomJsExtended::SetChromium;
    using TNCCustomJsExtended::TNCCustomJsExtended;
};

using TNCJSHandle = TNCCustomJsExtended::TNCJSHandle;

} // namespace vx
