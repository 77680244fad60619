#include "shell/OfflinePage.h"

#include <QBuffer>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>

namespace vx::shell {

namespace {

constexpr char kScheme[] = "vxoffline";
constexpr char kHost[] = "client";

class OfflineSchemeHandler : public QWebEngineUrlSchemeHandler {
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
    void requestStarted(QWebEngineUrlRequestJob* job) override {
        const QUrl url = job->requestUrl();
        if (url.host() != QLatin1String(kHost) || (url.path() != QLatin1String("/") && !url.path().isEmpty())) {
            job->fail(QWebEngineUrlRequestJob::UrlNotFound);
            return;
        }
        auto* body = new QBuffer(job);
        body->setData(QByteArray(offlinePageHtml()));
        body->open(QIODevice::ReadOnly);
        job->reply("text/html;charset=utf-8", body);
    }
};

// The page. It asks the client for the applications, offers 打开 and 卸载 for each, and 重试;
// the client tries again every 30 s by itself.
constexpr const char kHtml[] = R"HTML(<!DOCTYPE html>
<html lang="zh-CN"><head><meta charset="utf-8"><title>应用中心（离线）</title>
<style>
body { font: 14px/1.6 "WenQuanYi Micro Hei", "Microsoft YaHei", sans-serif; margin: 0; background: #f4f6fa; color: #222; }
header { background: #2f6fde; color: #fff; padding: 14px 20px; }
header h1 { margin: 0; font-size: 18px; }
header p { margin: 4px 0 0; opacity: .9; }
main { padding: 16px 20px; }
ul { list-style: none; padding: 0; margin: 0; }
li { background: #fff; border: 1px solid #e3e6ee; border-radius: 8px; padding: 10px 14px; margin-bottom: 10px; display: flex; align-items: center; gap: 10px; }
li .name { flex: 1; font-weight: bold; }
li .ver { color: #777; font-weight: normal; margin-left: 8px; }
button { border: 1px solid #2f6fde; background: #2f6fde; color: #fff; border-radius: 6px; padding: 4px 14px; cursor: pointer; }
button.ghost { background: #fff; color: #2f6fde; }
#status { margin-top: 12px; color: #555; min-height: 1.6em; }
#empty { color: #777; }
</style></head><body>
<header><h1>无法连接应用中心服务</h1><p>网络或服务暂时不可用。已安装的应用仍可打开；每 30 秒自动重试。</p></header>
<main>
<p><button id="retry">重试</button></p>
<ul id="apps"></ul>
<p id="empty" hidden>本机还没有已安装的应用。</p>
<div id="status"></div>
</main>
<script>
(function () {
  "use strict";
  var $ = function (id) { return document.getElementById(id); };
  function say(t) { $("status").textContent = t || ""; }
  window.ST_softStatu = function (t) { say(t); };
  window.ST_icoStatu = function () { render(); };
  window.ST_setFlatDivAnlv = function (id, t) { say(t); };
  window.ST_jdt = function () {};
  window.tsmsg = function (t) { say(t); };
  function render() {
    var apps = [];
    try { apps = JSON.parse(_GetOfflineApps()); } catch (e) { say(String(e && e.message || e)); }
    var list = $("apps");
    list.textContent = "";
    apps.forEach(function (a) {
      var li = document.createElement("li");
      li.dataset.id = a.id;
      var name = document.createElement("span");
      name.className = "name";
      name.textContent = a.name;
      var ver = document.createElement("span");
      ver.className = "ver";
      ver.textContent = a.version ? "版本 " + a.version : "";
      name.appendChild(ver);
      var open = document.createElement("button");
      open.className = "act-open";
      open.textContent = "打开";
      open.onclick = function () { say(_RunApp(a.id)); };
      var remove = document.createElement("button");
      remove.className = "ghost act-uninstall";
      remove.textContent = "卸载";
      remove.onclick = function () {
        if (!window.confirm("确定要卸载“" + a.name + "”吗？")) return;
        say(_UninstallApp(a.id));
        render();
      };
      li.appendChild(name); li.appendChild(open); li.appendChild(remove);
      list.appendChild(li);
    });
    $("empty").hidden = apps.length > 0;
  }
  $("retry").onclick = function () { say("正在重新连接…"); _RetryOnline(); };
  render();
})();
</script></body></html>
)HTML";

} // namespace

const char* offlinePageHtml() { return kHtml; }

void registerOfflineScheme() {
    QWebEngineUrlScheme scheme(kScheme);
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Host);
    scheme.setFlags(QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::LocalScheme);
    QWebEngineUrlScheme::registerScheme(scheme);
}

void installOfflinePage(QWebEngineProfile* profile) {
    if (profile && !profile->urlSchemeHandler(kScheme))
        profile->installUrlSchemeHandler(kScheme, new OfflineSchemeHandler(profile));
}

QUrl offlinePageUrl() { return QUrl(QStringLiteral("vxoffline://client/")); }

bool isOfflineOrigin(const QUrl& origin) {
    return origin.scheme() == QLatin1String(kScheme) && origin.host() == QLatin1String(kHost);
}

bool offlinePageMayCall(std::string_view name) {
    return name == "_GetOfflineApps" || name == "_RetryOnline" || name == "_RunApp" ||
           name == "_UninstallApp";
}

} // namespace vx::shell
