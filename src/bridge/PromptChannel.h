#pragma once
// Native functions for an engine that has no native script extensions (Qt WebEngine): each
// "native function NAME( A, B);" declaration of the extension source becomes a plain script
// function that sends the call through the page's prompt() with a fixed marker and waits for
// the reply. The engine adapter injects the stub script into every page context and answers
// the marked prompts with dispatchPromptMessage; every other prompt keeps its usual meaning.
//
// Messages, both JSON:
//   call   [name, [arg, ...]]  each arg {"b": true|false}, {"n": number, "t": "text"},
//                              {"n": "NaN" | "Infinity" | "-Infinity", "t": "text"},
//                              {"s": "text"}, or {} for any other value (undefined, null,
//                              objects, functions, ...). "t" is the page's own String(number),
//                              the text a text parameter receives; older stubs leave it out.
//   reply  {"r": value}        an integer, a number or a string
//          {"d": "NaN" | "Infinity" | "-Infinity"}   a non-finite number
//          {}                  no value (the page sees undefined)
//          {"x": "text"}       refused: the stub throws an Error with that message

#include "bridge/Engine.h"
#include "core/Expected.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

// The default first argument of a channel prompt; no page has a reason to prompt with it.
inline constexpr std::string_view kNativeCallMarker = "vx-native-call:v1";

struct NativeDeclaration {
    std::string name;
    std::size_t paramCount = 0;
    bool operator==(const NativeDeclaration&) const = default;
};

// The "native function" declarations of an extension source, in order.
std::vector<NativeDeclaration> nativeDeclarations(std::string_view source);

// The extension source rewritten for the prompt channel: one block that captures, before any
// page script runs, everything the stubs use (prompt, JSON, Reflect.apply, hasOwnProperty,
// String, ...) and defines a global stub for each declaration (with its declared parameters;
// it forwards every argument passed), followed by the head and the variable declarations of
// the source. The variables' values are assigned only in a frame whose origin (window.origin,
// as Chromium serializes it: "http://host:port", a default port left out) is
// `serviceOrigin`, so that no frame of another origin reads them (an empty origin: none
// does). Run it at document creation in the main world.
//
// A stub throws an Error with the reply's exception text, or with kCallBlocked when prompt()
// gives no reply (Chromium answers null at once, without asking the client, in unload
// handlers and in sandboxed frames without allow-modals).
std::string promptStubScript(std::string_view source, std::string_view serviceOrigin,
                             std::string_view marker = kNativeCallMarker);

struct NativeCall {
    std::string name;
    std::vector<ScriptValue> arguments;
};

// Reads one call message; an error for anything else than the shape above.
Expected<NativeCall> parseCallMessage(std::string_view json);

// The reply to a call: {"x": exception} when refused, else the result.
std::string replyMessage(bool handled, const ResultValue& result, const std::string& exception);

// Parses `message`, lets `handler` execute the call and returns the reply. A malformed
// message is refused with "Error Parameters". Never throws.
std::string dispatchPromptMessage(IScriptHandler& handler, std::string_view message) noexcept;

} // namespace vx
