// The prompt-channel stub script in V8 (node), against the real dispatcher in
// bridge_prompt_peer. Exits non-zero on the first failed check.
"use strict";
const { execFileSync } = require("child_process");
const vm = require("vm");
const assert = require("assert");

const peer = process.argv[2];
const MARKER = "vx-native-call:v1";
const sent = [];

// A page context: its own global object with window, prompt and origin, as a browser frame
// has; by default of the service's origin, for which the peer makes its stub scripts.
const SERVICE = "http://127.0.0.1:18080";
function pageContext(prompt, origin = SERVICE) {
  const ctx = vm.createContext({});
  ctx.window = vm.runInContext("this", ctx);
  ctx.window.prompt = prompt;
  ctx.window.origin = origin;
  return ctx;
}
function answering(marker, message) {
  if (marker !== MARKER) return "page prompt: " + marker;
  sent.push(message);
  return execFileSync(peer, ["call", message]).toString();
}
function throwsWith(ctx, code, text) {
  const r = vm.runInContext(
    "(function(){try{" + code + ";return 'no error';}catch(e){" +
      "return (e instanceof Error ? 'Error: ' : 'not an Error: ') + e.message;}})()", ctx);
  assert.strictEqual(r, "Error: " + text, code);
}

const ctx = pageContext(answering);
vm.runInContext(execFileSync(peer, ["stub"]).toString(), ctx, { filename: "stub.js" });
const run = (code) => vm.runInContext(code, ctx);

// Page script that comes later cannot reroute the channel.
run("window.prompt = function(){ return 'hijacked'; }; JSON.stringify = function(){ return 'x'; };" +
    "JSON.parse = function(){ return {r:'hijacked'}; }; isFinite = function(){ return true; };");

// Declarations: globals with their declared parameters; the variables with their values.
assert.strictEqual(run("typeof Echo + typeof Add + typeof Nothing"), "functionfunctionfunction");
assert.strictEqual(run("Echo.length + ',' + Add.length + ',' + Nothing.length"), "1,2,0");
assert.strictEqual(run("typeof Demo"), "object");
assert.strictEqual(run("title"), 'q"\n</script>');
assert.strictEqual(run("count"), 5);
assert.strictEqual(run("ratio"), 0.25);
assert.strictEqual(run("JSON.stringify === undefined ? 0 : typeof owner"), "object");

// Strings both ways, and other values as text parameters.
assert.strictEqual(run("Echo('a\"b\\\\c\\n\\u2028字😀')"), 'a"b\\c\n\u2028字😀');
assert.strictEqual(run("Echo(true)"), "true");
assert.strictEqual(run("Echo(12)"), "12");
assert.strictEqual(run("Echo(-0)"), "0");
assert.strictEqual(run("Echo(1.5)"), "1.5");
assert.strictEqual(run("Echo(1e-7)"), "1e-7");
assert.strictEqual(run("Echo(1.5e-5)"), "0.000015");
assert.strictEqual(run("Echo(123456789012345680000)"), "123456789012345680000");
assert.strictEqual(run("Echo(NaN)"), "NaN");
assert.strictEqual(run("Echo(undefined)"), "");
assert.strictEqual(run("Echo(null)"), "");
assert.strictEqual(run("Echo({a:1})"), "");
assert.strictEqual(run("Echo([1])"), "");

// Numbers, booleans, results by kind.
assert.strictEqual(run("Add(2, 3)"), 5);
assert.strictEqual(run("Add(-2147483648, 0)"), -2147483648);
assert.strictEqual(run("Not(true)"), 0);
assert.strictEqual(run("Not(false)"), 1);
assert.strictEqual(run("Half(3)"), 1.5);
assert.strictEqual(run("Half(Infinity)"), Infinity);
assert.ok(Number.isNaN(run("Half(NaN)")));
assert.strictEqual(run("Nothing()"), undefined);
assert.strictEqual(run("Nothing(1, 'two')"), undefined);

// Refusals and failures arrive as Errors with the dispatcher's text.
throwsWith(ctx, "Add(2.5, 1)", "Error Parameters");
throwsWith(ctx, "Add('2', 1)", "Error Parameters");
throwsWith(ctx, "Add(1)", "Error Parameters");
throwsWith(ctx, "Add(1, 2, 3)", "Error Parameters");
throwsWith(ctx, "Echo()", "Error Parameters");
throwsWith(ctx, "Fail()", "Native function failed: Fail: boom");

// What went over the channel: typed arguments.
assert.ok(sent.includes('["Add",[{"n":2,"t":"2"},{"n":3,"t":"3"}]]'), sent.join("\n"));
assert.ok(sent.includes('["Echo",[{"n":1e-7,"t":"1e-7"}]]'));
assert.ok(sent.includes('["Echo",[{}]]'));
assert.ok(sent.includes('["Echo",[{"b":true}]]'));
assert.ok(sent.includes('["Half",[{"n":"Infinity","t":"Infinity"}]]'));
assert.ok(sent.includes('["Nothing",[{"n":1,"t":"1"},{"s":"two"}]]'));

// A prompt that the browser does not deliver (null at once, as Chromium does in unload
// handlers and sandboxed frames) or that comes back without a reply refuses the call with a
// text of the stub's own.
for (const answer of [() => null, () => undefined, () => "", () => "not json", () => "5",
                      () => "null", () => '"text"', () => '{"x":5}']) {
  const deaf = pageContext(answer);
  vm.runInContext(execFileSync(peer, ["stub"]).toString(), deaf);
  throwsWith(deaf, "Nothing()", "Native call blocked by the browser");
}

// Page script that changes built-ins before calling (old script libraries do) neither breaks
// nor reroutes a call: the message and the reply are what they would be without it.
{
  const heard = [];
  const tampered = pageContext(answering);
  tampered.note = (what) => heard.push(what);
  vm.runInContext(execFileSync(peer, ["stub"]).toString(), tampered, { filename: "stub.js" });
  vm.runInContext(`
    Array.prototype.toJSON = function () { note("Array.toJSON"); return "array"; };
    Object.prototype.toJSON = function () { note("Object.toJSON"); return "object"; };
    Object.prototype.d = "oops";
    Object.prototype.x = "forged exception";
    Object.defineProperty(Object.prototype, "r", {
      get() { note("get r"); return "forged"; }, set(v) { note("set r"); }, configurable: true });
    Function.prototype.call = function () { note("call"); return '{"r":"rerouted"}'; };
    Function.prototype.apply = function () { note("apply"); return '{"r":"rerouted"}'; };
    Reflect.apply = function () { note("Reflect.apply"); return '{"r":"rerouted"}'; };
    JSON.stringify = function () { note("stringify"); return '["Echo",[{"s":"forged"}]]'; };
    JSON.parse = function () { note("parse"); return { r: "forged" }; };
    Object.prototype.hasOwnProperty = function () { note("hasOwnProperty"); return true; };
    window.prompt = function () { note("prompt"); return '{"r":"rerouted"}'; };
    isFinite = function () { note("isFinite"); return false; };
    String = function () { note("String"); return "S"; };
    Number = function () { note("Number"); return 1; };
    Error = function () { note("Error"); this.message = "forged"; };`, tampered);
  const before = sent.length;
  assert.strictEqual(vm.runInContext("Echo('pass\"word')", tampered), 'pass"word');
  assert.strictEqual(vm.runInContext("Add(2, 3)", tampered), 5);
  assert.strictEqual(vm.runInContext("Half(Infinity)", tampered), Infinity);
  assert.strictEqual(vm.runInContext("Not(false)", tampered), 1);
  assert.strictEqual(vm.runInContext("Nothing()", tampered), undefined);
  const failed = vm.runInContext(
    "(function(){try{Fail();}catch(e){return e.message;}})()", tampered);
  assert.strictEqual(failed, "Native function failed: Fail: boom");
  assert.deepStrictEqual(sent.slice(before), [
    '["Echo",[{"s":"pass\\"word"}]]', '["Add",[{"n":2,"t":"2"},{"n":3,"t":"3"}]]',
    '["Half",[{"n":"Infinity","t":"Infinity"}]]', '["Not",[{"b":false}]]', '["Nothing",[]]', '["Fail",[]]']);
  assert.deepStrictEqual(heard, []);
}

// The page API's stub script runs, and declares every function and variable.
const tvx = pageContext(() => "{}");
vm.runInContext(execFileSync(peer, ["stub-tvx"]).toString(), tvx, { filename: "tvx.js" });
assert.strictEqual(vm.runInContext("typeof TVX_JS", tvx), "object");
assert.strictEqual(vm.runInContext("_LoginFun.length + ',' + _OpenURLA.length + ',' + UpdateMain.length", tvx),
                   "4,3,0");
assert.strictEqual(vm.runInContext("_productID + '|' + process + '|' + typeof _GetUid", tvx), "12||function");

// A frame of another origin (another port, another scheme) gets the functions and the
// declared variables, but not their values.
for (const origin of ["http://127.0.0.1:18081", "https://127.0.0.1:18080", "null"]) {
  const foreign = pageContext(answering, origin);
  vm.runInContext(execFileSync(peer, ["stub"]).toString(), foreign);
  assert.strictEqual(vm.runInContext("typeof Echo + ',' + typeof Demo", foreign), "function,object");
  assert.strictEqual(vm.runInContext("[title, count, ratio, owner].join('|')", foreign), "|||");
  assert.ok(vm.runInContext("'title' in window && 'count' in window", foreign));
  const tvxForeign = pageContext(() => "{}", origin);
  vm.runInContext(execFileSync(peer, ["stub-tvx"]).toString(), tvxForeign);
  assert.strictEqual(vm.runInContext("typeof _productID + ',' + typeof _GetUid", tvxForeign),
                     "undefined,function");
}

console.log("stub script checks passed");
