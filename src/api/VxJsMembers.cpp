#include "api/VxJsMembers.h"

#include "api/UJsExterned.h"

namespace vx {

namespace {

using K = ValueKind;
using Args = const NativeArgs&;
using R = NativeValue;

MemberTable makeTable() {
    const std::vector<K> none;
    const std::vector<K> text1{K::Text};
    // The operations that take an application record serve the client itself; the bridge refuses
    // page calls of them before their invoker could run, so the invokers only guard against a null
    // record.
    const std::vector<K> object1{K::Object};
    return MemberTableOf<TVX_JS>("TVX_JS")
        .method("_LoginFun", {K::Text, K::Text, K::Text, K::Text}, std::nullopt,
                [](TVX_JS& o, Args a) -> R {
                    o._LoginFun(a.text(0), a.text(1), a.text(2), a.text(3));
                    return {};
                })
        .method("_GetProductID", none, K::Text,
                [](TVX_JS& o, Args) -> R { return o._GetProductID(); })
        .method("_GetUid", none, K::Text, [](TVX_JS& o, Args) -> R { return o._GetUid(); })
        .method("_CheckAPP", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._CheckAPP(a.text(0)); })
        .method("CheckAPP", object1, K::Text,
                [](TVX_JS& o, Args) -> R { return o.CheckAPP(nullptr); })
        .method("_GetMyApps", none, std::nullopt,
                [](TVX_JS& o, Args) -> R {
                    o._GetMyApps();
                    return {};
                })
        .method("_UpdateApp", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._UpdateApp(a.text(0)); })
        .method("_CheckAPPVer", object1, std::nullopt,
                [](TVX_JS& o, Args) -> R {
                    o._CheckAPPVer(nullptr);
                    return {};
                })
        .method("CheckMainVer", none, std::nullopt,
                [](TVX_JS& o, Args) -> R {
                    o.CheckMainVer();
                    return {};
                })
        .method("_InstallApp", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._InstallApp(a.text(0)); })
        .method("_DownApp", object1, std::nullopt,
                [](TVX_JS& o, Args) -> R {
                    o._DownApp(nullptr);
                    return {};
                })
        .method("_AddNewTestApp", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._AddNewTestApp(a.text(0)); })
        .method("_RefreshApp", none, std::nullopt,
                [](TVX_JS& o, Args) -> R {
                    o._RefreshApp();
                    return {};
                })
        .method("_OpenTimer", none, std::nullopt,
                [](TVX_JS& o, Args) -> R {
                    o._OpenTimer();
                    return {};
                })
        .method("OpenTimer", {K::Boolean}, std::nullopt,
                [](TVX_JS& o, Args a) -> R {
                    o.OpenTimer(a.boolean(0));
                    return {};
                })
        .method("_OpenURL", text1, std::nullopt,
                [](TVX_JS& o, Args a) -> R {
                    o._OpenURL(a.text(0));
                    return {};
                })
        .method("_OpenURLA", {K::Text, K::Integer, K::Integer}, std::nullopt,
                [](TVX_JS& o, Args a) -> R {
                    o._OpenURLA(a.text(0), a.int32(1), a.int32(2));
                    return {};
                })
        .method("_OpenURLB", text1, std::nullopt,
                [](TVX_JS& o, Args a) -> R {
                    o._OpenURLB(a.text(0));
                    return {};
                })
        .method("_GetUser", none, K::Text, [](TVX_JS& o, Args) -> R { return o._GetUser(); })
        .method("_GetPwd", none, K::Text, [](TVX_JS& o, Args) -> R { return o._GetPwd(); })
        .method("_CloseAutoLogin", none, K::Boolean,
                [](TVX_JS& o, Args) -> R { return o._CloseAutoLogin(); })
        .method("_SetAutoLogin", text1, std::nullopt,
                [](TVX_JS& o, Args a) -> R {
                    o._SetAutoLogin(a.text(0));
                    return {};
                })
        .method("_GetAutoLogin", none, K::Text,
                [](TVX_JS& o, Args) -> R { return o._GetAutoLogin(); })
        .method("_GetConfigValue", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._GetConfigValue(a.text(0)); })
        .method("_ExcuteJs", text1, std::nullopt,
                [](TVX_JS& o, Args a) -> R {
                    o._ExcuteJs(a.text(0));
                    return {};
                })
        .method("UpdateMain", none, std::nullopt,
                [](TVX_JS& o, Args) -> R {
                    o.UpdateMain();
                    return {};
                })
        .method("_RunApp", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._RunApp(a.text(0)); })
        .method("_UninstallApp", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._UninstallApp(a.text(0)); })
        .method("_CancelInstall", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._CancelInstall(a.text(0)); })
        // Beyond the first set (docs/page-api.md).
        .method("_QueueApp", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._QueueApp(a.text(0)); })
        .method("_GetQueue", none, K::Text, [](TVX_JS& o, Args) -> R { return o._GetQueue(); })
        .method("_MoveInQueue", {K::Text, K::Integer}, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._MoveInQueue(a.text(0), a.int32(1)); })
        .method("_RemoveFromQueue", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._RemoveFromQueue(a.text(0)); })
        .method("_PauseApp", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._PauseApp(a.text(0)); })
        .method("_ResumeApp", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._ResumeApp(a.text(0)); })
        .method("_SetRateLimit", {K::Integer}, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._SetRateLimit(a.int32(0)); })
        .method("_GetRateLimit", none, K::Text,
                [](TVX_JS& o, Args) -> R { return o._GetRateLimit(); })
        .method("_VerifyApp", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._VerifyApp(a.text(0)); })
        .method("_RepairApp", text1, K::Text,
                [](TVX_JS& o, Args a) -> R { return o._RepairApp(a.text(0)); })
        .method("_GetOfflineApps", none, K::Text,
                [](TVX_JS& o, Args) -> R { return o._GetOfflineApps(); })
        .method("_RetryOnline", none, std::nullopt,
                [](TVX_JS& o, Args) -> R {
                    o._RetryOnline();
                    return {};
                })
        .field("process", K::Text, [](const TVX_JS& o) -> R { return o.process; })
        .field("ckPwd", K::Text, [](const TVX_JS& o) -> R { return o.ckPwd; })
        .field("ckAuto", K::Text, [](const TVX_JS& o) -> R { return o.ckAuto; })
        .field("_User", K::Text, [](const TVX_JS& o) -> R { return o._User; })
        .field("_pwd", K::Text, [](const TVX_JS& o) -> R { return o._pwd; })
        .field("_uid", K::Text, [](const TVX_JS& o) -> R { return o._uid; })
        .field("_productID", K::Text, [](const TVX_JS& o) -> R { return o._productID; })
        .build();
}

} // namespace

const MemberTable& TVX_JS_Members() {
    static const MemberTable table = makeTable();
    return table;
}

} // namespace vx
