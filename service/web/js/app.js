/* 应用中心首页：登录、我的应用、应用目录。
 * 客户端注入的原生函数（_LoginFun、_InstallApp ……）只在客户端里存在；在普通浏览器里打开时，
 * 页面以“预览模式”直接向服务请求登录和列表，安装等操作给出提示。
 * 打开、卸载与取消安装用 _RunApp、_UninstallApp、_CancelInstall；下载队列、暂停与继续、限速、
 * 校验与修复用 _QueueApp、_GetQueue、_MoveInQueue、_RemoveFromQueue、_PauseApp、_ResumeApp、
 * _SetRateLimit、_GetRateLimit、_VerifyApp、_RepairApp（客户端有这些函数时）。
 * 客户端回调本页的函数：ST_Login、ST_icoStatu、ST_jdt、ST_setFlatDivAnlv、ST_softStatu、
 * ST_writeUserList、ST_writeUserForm、tsmsg。 */
(function () {
  "use strict";

  var $ = function (id) { return document.getElementById(id); };
  var inClient = typeof window._LoginFun === "function";

  // 调用客户端原生函数；不在客户端中时返回 undefined。
  function native(name) {
    var fn = window[name];
    if (typeof fn !== "function") return undefined;
    try {
      return fn.apply(window, Array.prototype.slice.call(arguments, 1));
    } catch (e) {
      softStatus("调用 " + name + " 失败：" + (e && e.message ? e.message : e));
      return undefined;
    }
  }

  var state = {
    token: "",          // 加扰后的用户编号
    user: "",
    apps: [],           // 我的应用（来自 myApps.php）
    catalog: [],
    status: {},         // 应用编号 -> 状态文字（ST_icoStatu）
    progress: {},       // 应用编号 -> 进度
    stateText: {},      // 应用编号 -> 状态提示（ST_setFlatDivAnlv）
    verifying: {},      // 正在校验的应用编号
    remembered: {},     // 用户名 -> 记住的密码
    autoTimer: null,
    autoTried: false,
    loggingIn: false
  };

  /* ---------- 提示与状态栏 ---------- */

  function toast(text, warn) {
    var t = document.createElement("div");
    t.className = "toast" + (warn ? " warn" : "");
    t.textContent = text;
    $("toasts").appendChild(t);
    setTimeout(function () { t.remove(); }, 4500);
  }

  function softStatus(text, busy) {
    $("statusText").textContent = text;
    $("statusDot").className = "dot" + (busy ? " busy" : "");
  }

  /* ---------- 预览模式用的参数加扰（与客户端相同的算法） ---------- */

  var PAD = "9ecfe072aacfc2bd2124d34f8eb1fa1d";
  function scramble(text) {
    var a = btoa(text), b = "";
    for (var j = 0; j < a.length; j++)
      b += String.fromCharCode(a.charCodeAt(j) ^ PAD.charCodeAt(j % PAD.length));
    return btoa(b);
  }

  /* ---------- 登录 ---------- */

  function setLoginBusy(busy, text) {
    state.loggingIn = busy;
    $("btnLogin").disabled = busy;
    $("btnLogin").textContent = busy ? (text || "正在登录…") : "登 录";
    softStatus(busy ? "正在登录…" : "就绪", busy);
  }

  function showLoginError(text, warn) {
    var e = $("loginError");
    e.textContent = text || "";
    e.className = "login-error" + (warn ? " warn" : "");
  }

  function doLogin() {
    cancelAuto(false);
    var user = $("user").value.trim(), pwd = $("pwd").value;
    if (!user) { showLoginError("请输入用户名"); $("user").focus(); return; }
    if (!pwd) { showLoginError("请输入密码"); $("pwd").focus(); return; }
    showLoginError("");
    setLoginBusy(true);
    state.user = user;
    var save = $("savePwd").checked ? "1" : "0";
    var auto = $("autoLogin").checked && $("savePwd").checked ? "1" : "0";
    if (inClient) {
      native("_LoginFun", user, pwd, save, auto);
      return;
    }
    // 预览模式：直接向服务登录。
    var form = new FormData();
    form.append("user", user);
    form.append("pws", pwd);
    form.append("pid", "0");
    fetch("Login.php", { method: "POST", body: form })
      .then(function (r) { return r.text(); })
      .then(function (text) {
        var doc = new DOMParser().parseFromString(text, "text/xml");
        var val = function (n) { var e = doc.getElementsByTagName(n)[0]; return e ? e.textContent : ""; };
        if (val("statu") === "true") window.ST_Login(true, scramble(val("uid")), "登录成功");
        else window.ST_Login(false, scramble("0"), val("msg") || "登录失败");
      })
      .catch(function () { window.ST_Login(false, scramble("0"), "登录超时，请检查网络"); });
  }

  window.ST_Login = function (ok, token, text) {
    if (!ok) {
      // 写不了 Users.xml 时客户端先报此提示，登录仍会继续。
      if (String(text).indexOf("管理员") >= 0) { toast(text, true); showLoginError(text, true); return; }
      setLoginBusy(false);
      showLoginError(text || "登录失败");
      return;
    }
    state.token = token;
    setLoginBusy(false);
    showLoginError("");
    enterMain();
    softStatus(text || "登录成功");
  };

  function enterMain() {
    $("loginView").hidden = true;
    $("tabs").hidden = false;
    $("userChip").hidden = false;
    var name = state.user || native("_GetUser") || "";
    $("userName").textContent = name;
    $("userAvatar").textContent = (name || "?").charAt(0).toUpperCase();
    $("autoSwitch").checked = native("_GetAutoLogin") === "1";
    $("autoSwitch").disabled = !inClient;
    showView("mine");
    loadMine();
    loadCatalog();
    setupRate();
    renderQueue();
  }

  /* ---------- 记住的用户与自动登录 ---------- */

  function renderUserList() {
    var names = Object.keys(state.remembered), list = $("userList");
    list.textContent = "";
    $("userDrop").hidden = names.length === 0;
    names.forEach(function (n) {
      var li = document.createElement("li");
      var a = document.createElement("span");
      a.textContent = n;
      var b = document.createElement("span");
      b.className = "hint";
      b.textContent = state.remembered[n] ? "已记住密码" : "";
      li.appendChild(a); li.appendChild(b);
      li.addEventListener("mousedown", function (ev) {
        ev.preventDefault();
        pickUser(n);
        list.hidden = true;
      });
      list.appendChild(li);
    });
  }

  function pickUser(name) {
    $("user").value = name;
    var pwd = state.remembered[name] || "";
    $("pwd").value = pwd;
    $("savePwd").checked = !!pwd;
    if (!pwd) $("autoLogin").checked = false;
  }

  window.ST_writeUserList = function (user, pwd, hasPwd) {
    if (!user) return;
    state.remembered[user] = hasPwd ? pwd : "";
    renderUserList();
  };

  window.ST_writeUserForm = function (user, pwd, hasPwd, auto) {
    if (!user) return;
    if (!(user in state.remembered)) { state.remembered[user] = hasPwd ? pwd : ""; renderUserList(); }
    $("user").value = user;
    $("pwd").value = hasPwd ? pwd : "";
    $("savePwd").checked = !!hasPwd;
    $("autoLogin").checked = !!(auto && hasPwd);
    if (auto && hasPwd && !state.autoTried) {
      state.autoTried = true;
      var left = 3;
      $("autoNote").hidden = false;
      var tick = function () {
        $("autoText").textContent = left + " 秒后自动登录 " + user;
        if (left-- <= 0) { cancelAuto(false); doLogin(); return; }
        state.autoTimer = setTimeout(tick, 1000);
      };
      tick();
    }
  };

  function cancelAuto(byUser) {
    if (state.autoTimer) clearTimeout(state.autoTimer);
    state.autoTimer = null;
    $("autoNote").hidden = true;
    if (byUser) {
      $("autoLogin").checked = false;
      native("_CloseAutoLogin");
      softStatus("已取消自动登录");
    }
  }

  /* ---------- 我的应用 ---------- */

  function xmlApps(text) {
    var doc = new DOMParser().parseFromString(text, "text/xml");
    var root = doc.documentElement, out = [];
    if (!root || root.getElementsByTagName("parsererror").length) return null;
    for (var i = 0; i < root.children.length; i++) {
      var e = root.children[i];
      var v = function (n) {
        var all = e.getElementsByTagName("*");
        for (var k = 0; k < all.length; k++) if (all[k].tagName.toLowerCase() === n.toLowerCase()) return all[k].textContent;
        return "";
      };
      if (!/^\d+$/.test(v("appId"))) continue;
      out.push({ id: v("appId"), name: v("Name"), dir: v("Dir"), ico: v("Ico"), version: v("Version"),
        price: v("price"), nessary: v("nessary") === "是", show: v("Statu") === "显示", note: v("Note"),
        url: v("Url"), sort: v("Sort"), versionName: v("myAppVersionName") });
    }
    return out;
  }

  function loadMine() {
    if (!state.token) return;
    $("mineSummary").textContent = "正在读取应用列表…";
    fetch("myApps.php?u=" + state.token, { cache: "no-store" })
      .then(function (r) { if (!r.ok) throw new Error("HTTP " + r.status); return r.text(); })
      .then(function (text) {
        var apps = xmlApps(text);
        if (!apps) throw new Error("列表格式错误");
        state.apps = apps.filter(function (a) { return a.show; });
        state.apps.sort(function (a, b) { return (a.sort || "").localeCompare(b.sort || "", "zh") || a.id - b.id; });
        renderMine();
      })
      .catch(function (e) { $("mineSummary").textContent = "应用列表读取失败（" + e.message + "），请稍后刷新"; });
  }

  var STATUS_CLASS = { "正常": "ok", "有升级": "update", "正在安装": "busy", "正在升级": "busy",
    "正在修复": "busy", "排队中": "busy", "已暂停": "update",
    "安装失败": "bad", "升级失败": "bad", "添加失败": "bad", "修复失败": "bad" };
  var hasQueue = typeof window._QueueApp === "function";

  function statusOf(app) {
    if (state.status[app.id]) return state.status[app.id];
    if (app.nessary) return "必备";
    return inClient ? "读取中" : "未安装";
  }

  function iconUrl(app) { return app.ico ? "apps/" + encodeURIComponent(app.dir) + "/" + encodeURIComponent(app.ico) : "img/logo.svg"; }

  function makeTile(app) {
    var node = $("tileTpl").content.firstElementChild.cloneNode(true);
    node.dataset.id = app.id;
    var img = node.querySelector(".tile-icon");
    img.src = iconUrl(app);
    img.onerror = function () { img.onerror = null; img.src = "img/logo.svg"; };
    node.querySelector(".tile-name").textContent = app.name;
    node.querySelector(".tile-note").textContent = app.note || "";
    node.querySelector(".act-help").addEventListener("click", function () { openHelp(app.url); });
    return node;
  }

  function renderMine() {
    var grid = $("mineGrid");
    grid.textContent = "";
    state.apps.forEach(function (app) { grid.appendChild(makeTile(app)); updateTile(app.id); });
    $("mineEmpty").hidden = state.apps.length > 0;
    var n = state.apps.length, upd = state.apps.filter(function (a) { return state.status[a.id] === "有升级"; }).length;
    $("mineSummary").textContent = n ? ("共 " + n + " 个应用" + (upd ? "，" + upd + " 个可升级" : "")) : "暂无应用";
    renderQueue();
  }

  function findApp(id) {
    for (var i = 0; i < state.apps.length; i++) if (state.apps[i].id === String(id)) return state.apps[i];
    return null;
  }

  function updateTile(id) {
    id = String(id);
    var app = findApp(id), tile = document.querySelector('#mineGrid .tile[data-id="' + id + '"]');
    if (!app || !tile) return;
    var status = statusOf(app);
    var badge = tile.querySelector(".badge");
    badge.textContent = app.nessary && !state.status[id] ? "必备应用" : status;
    badge.className = "badge " + (app.nessary && !state.status[id] ? "must" : (STATUS_CLASS[status] || ""));
    tile.querySelector(".tile-meta").textContent =
      "版本 " + (app.version || "—") + (app.versionName ? " · " + app.versionName : "") +
      (app.price && app.price !== "0" ? " · ￥" + app.price : " · 免费");

    var busy = status === "正在安装" || status === "正在升级" || status === "正在修复";
    var prog = tile.querySelector(".progress");
    var p = state.progress[id];
    prog.hidden = !(busy || (p !== undefined && p < 100));
    if (!prog.hidden) {
      var pct = Math.max(0, Math.min(100, Number(p) || 0));
      prog.querySelector(".bar").style.width = pct + "%";
      prog.querySelector(".pct").textContent = pct + "%";
    }
    var st = tile.querySelector(".tile-state"), text = state.stateText[id] || "";
    st.textContent = text;
    st.className = "tile-state" + (/失败/.test(text) ? " bad" : /完成/.test(text) ? " ok" : "");

    var main = tile.querySelector(".act-main");
    main.disabled = busy;
    main.className = "primary act-main";
    main.onclick = null;
    if (busy) {
      main.textContent = status === "正在升级" ? "升级中…" : status === "正在修复" ? "修复中…" : "安装中…";
    } else if (status === "排队中") {
      main.textContent = "排队中";
      main.disabled = true;
    } else if (status === "已暂停") {
      main.textContent = "继续";
      main.onclick = function () { resumeApp(id); };
    } else if (status === "未安装" || status === "安装失败" || status === "必备" || status === "添加失败") {
      main.textContent = status === "安装失败" || status === "添加失败" ? "重新安装" : (status === "必备" ? "安装 / 修复" : "安装");
      main.onclick = function () { install(id); };
    } else if (status === "有升级" || status === "升级失败") {
      main.textContent = status === "升级失败" ? "重新升级" : "升级";
      main.className = "primary act-main update";
      main.onclick = function () { update(id); };
    } else if (status === "正常") {
      main.textContent = "打开";
      main.onclick = function () { openApp(id); };
    } else {
      main.textContent = "请稍候";
      main.disabled = true;
    }

    // 进度条在走时可以取消；装好的应用可以卸载（必备应用和目录页的磁贴除外）。
    var cancel = tile.querySelector(".act-cancel");
    cancel.hidden = !(busy && inClient);
    cancel.onclick = busy ? function () { cancelInstall(id); } : null;
    var pause = tile.querySelector(".act-pause");
    pause.hidden = !(busy && hasQueue);
    pause.onclick = busy ? function () { pauseApp(id); } : null;
    var uninstall = tile.querySelector(".act-uninstall");
    var installed = status === "正常" || status === "有升级" || status === "升级失败" || status === "修复失败";
    uninstall.hidden = !(installed && inClient && !app.nessary);
    uninstall.onclick = installed ? function () { uninstallApp(id); } : null;
    var verify = tile.querySelector(".act-verify"), repair = tile.querySelector(".act-repair");
    verify.hidden = !(installed && hasQueue);
    verify.onclick = installed ? function () { verifyApp(id); } : null;
    repair.hidden = !(installed && hasQueue && (/^文件损坏/.test(text) || status === "修复失败"));
    repair.onclick = installed ? function () { repairApp(id); } : null;
  }

  /* ---------- 下载队列 ---------- */

  function renderQueue() {
    if (!hasQueue) return;
    var ids = (native("_GetQueue") || "").split(",").filter(Boolean);
    var paused = state.apps.filter(function (a) { return state.status[a.id] === "已暂停"; });
    $("queuePanel").hidden = !ids.length && !paused.length;
    var list = $("queueList");
    list.textContent = "";
    ids.forEach(function (id, i) {
      var li = document.createElement("li");
      li.dataset.id = id;
      li.appendChild(document.createTextNode(appName(id) + " "));
      var up = document.createElement("button");
      up.className = "link-btn q-up"; up.textContent = "上移"; up.disabled = i === 0;
      up.onclick = function () { native("_MoveInQueue", id, i - 1); renderQueue(); };
      var pause = document.createElement("button");
      pause.className = "link-btn q-pause"; pause.textContent = "暂停";
      pause.onclick = function () { pauseApp(id); };
      var rm = document.createElement("button");
      rm.className = "link-btn q-remove"; rm.textContent = "移除";
      rm.onclick = function () { removeFromQueue(id); };
      li.appendChild(up); li.appendChild(pause); li.appendChild(rm);
      list.appendChild(li);
    });
    var pl = $("pausedList");
    pl.textContent = "";
    paused.forEach(function (a) {
      var li = document.createElement("li");
      li.dataset.id = a.id;
      li.appendChild(document.createTextNode(a.name + "（已暂停） "));
      var go = document.createElement("button");
      go.className = "link-btn q-resume"; go.textContent = "继续";
      go.onclick = function () { resumeApp(a.id); };
      var rm = document.createElement("button");
      rm.className = "link-btn q-remove"; rm.textContent = "移除";
      rm.onclick = function () { removeFromQueue(a.id); };
      li.appendChild(go); li.appendChild(rm);
      pl.appendChild(li);
    });
  }

  function setStatus(id, r) {
    if (r) { state.status[id] = r; if (r === "正在安装" || r === "正在升级") state.progress[id] = 0; }
    updateTile(id);
    renderQueue();
  }

  function pauseApp(id) { setStatus(String(id), native("_PauseApp", String(id))); }
  function resumeApp(id) { setStatus(String(id), native("_ResumeApp", String(id))); }
  function removeFromQueue(id) {
    var r = native("_RemoveFromQueue", String(id));
    delete state.stateText[id];
    setStatus(String(id), r === "已取消" ? "" : r);
  }
  function verifyApp(id) {
    var r = native("_VerifyApp", String(id));
    if (r && r !== "正在校验") toast(r, true);
  }
  function repairApp(id) { setStatus(String(id), native("_RepairApp", String(id))); }

  function setupRate() {
    if (!hasQueue || state.rateReady) return;
    state.rateReady = true;
    $("rateBox").hidden = false;
    $("rateInput").value = native("_GetRateLimit") || "0";
    $("btnRate").addEventListener("click", function (ev) {
      ev.preventDefault();
      var r = native("_SetRateLimit", Math.max(0, parseInt($("rateInput").value, 10) || 0));
      $("rateInput").value = r;
      softStatus(r === "0" ? "下载不限速" : "下载限速 " + r + " KiB/s");
    });
  }

  function needClient() { toast("请在应用中心客户端中使用此功能", true); }

  function install(id) {
    if (!inClient) return needClient();
    var r = native(hasQueue ? "_QueueApp" : "_InstallApp", String(id));
    if (r === "排队中") return setStatus(String(id), r);
    if (r === "正在安装") {
      state.status[id] = "正在安装";
      state.progress[id] = 0;
      state.stateText[id] = "正在安装";
    } else if (r) {
      toast(r, true);
    }
    updateTile(id);
  }

  function update(id) {
    if (!inClient) return needClient();
    var r = native(hasQueue ? "_QueueApp" : "_UpdateApp", String(id));
    if (r === "排队中") return setStatus(String(id), r);
    if (r === "正在升级") {
      state.status[id] = "正在升级";
      state.progress[id] = 0;
      state.stateText[id] = "正在检查需要升级的文件";
    } else if (r) {
      toast(r, true);
    }
    updateTile(id);
  }

  function appName(id) { return (findApp(id) || {}).name || "应用"; }

  function openApp(id) {
    if (!inClient) return needClient();
    var r = native("_RunApp", String(id));
    if (r === "已运行") softStatus("已通知“" + appName(id) + "”显示窗口");
    else if (r === "正在启动") softStatus("正在启动“" + appName(id) + "”…");
    else if (r) { state.status[id] = r; updateTile(id); toast("应用状态：" + r, true); }
  }

  function uninstallApp(id) {
    if (!inClient) return needClient();
    if (!window.confirm("确定要卸载“" + appName(id) + "”吗？应用目录中的文件将全部删除。")) return;
    var r = native("_UninstallApp", String(id));
    if (r === "未安装") {
      state.status[id] = r;
      delete state.stateText[id];
      softStatus("已卸载“" + appName(id) + "”");
      updateTile(id);
    } else if (r) {
      toast(r, true);
    }
  }

  function cancelInstall(id) {
    if (!inClient) return needClient();
    // 客户端随后以 ST_setFlatDivAnlv(…,"已取消") 和各应用的状态回报。
    var r = native("_CancelInstall", String(id));
    if (!r) softStatus("“" + appName(id) + "”的安装已无法取消");
  }

  /* ---------- 客户端回调 ---------- */

  window.ST_icoStatu = function (id, status) {
    id = String(id);
    state.status[id] = status;
    setTimeout(renderQueue, 0);
    if (status !== "正在安装" && status !== "正在升级") delete state.progress[id];
    if (!findApp(id) && state.token && !state.reloadPending) {
      // 列表中出现了页面还没有的应用（例如刚添加的）。
      state.reloadPending = true;
      setTimeout(function () { state.reloadPending = false; loadMine(); }, 300);
    }
    updateTile(id);
    var summary = state.apps.length && $("mineSummary");
    if (summary) {
      var upd = state.apps.filter(function (a) { return state.status[a.id] === "有升级"; }).length;
      summary.textContent = "共 " + state.apps.length + " 个应用" + (upd ? "，" + upd + " 个可升级" : "");
    }
  };

  window.ST_jdt = function (id, progress) {
    id = String(id);
    if (state.verifying[id]) {
      // 校验的进度：不改变应用的状态。
      state.stateText[id] = "正在校验 " + (Number(progress) || 0) + "%";
      updateTile(id);
      return;
    }
    state.progress[id] = Number(progress) || 0;
    if (state.status[id] !== "正在安装" && state.status[id] !== "正在升级" && state.status[id] !== "正在修复")
      state.status[id] = state.stateText[id] === "正在检查需要升级的文件" ? "正在升级" : "正在安装";
    if (/^正在/.test(state.stateText[id] || "") || !state.stateText[id])
      state.stateText[id] = (state.status[id] === "正在升级" ? "正在升级 " : "正在下载 ") + state.progress[id] + "%";
    softStatus((findApp(id) || { name: "应用" }).name + " 下载中 " + state.progress[id] + "%", true);
    updateTile(id);
  };

  window.ST_setFlatDivAnlv = function (id, text) {
    id = String(id);
    state.stateText[id] = text;
    if (text === "排队中" || text === "已暂停" || text === "正在修复" || text === "正在升级") state.status[id] = text;
    if (text === "正在修复") state.progress[id] = 0;
    setTimeout(renderQueue, 0);
    if (text === "添加完成") {
      toast("应用已添加到“我的应用”");
      loadMine();
      loadCatalog();
    } else if (text === "正在安装") {
      state.status[id] = "正在安装";
      state.progress[id] = 0;
    } else if (text === "正在校验") {
      state.verifying[id] = true;
    } else if (text === "文件完整" || /^文件损坏/.test(text) || /^无法校验/.test(text)) {
      delete state.verifying[id];
      delete state.progress[id];
      softStatus(appName(id) + "：" + text);
    } else if (text === "安装完成" || text === "升级完成" || text === "修复完成") {
      state.progress[id] = 100;
      toast(((findApp(id) || {}).name || "应用") + text);
      softStatus(text);
      // The client refreshes the statuses before it clears the operation's state: ask again
      // once it is done, so the tile shows "正常".
      setTimeout(function () { native("_RefreshApp"); }, 300);
      setTimeout(function () { if (state.stateText[id] === text) { delete state.stateText[id]; updateTile(id); } }, 5000);
    } else if (text === "已取消") {
      delete state.progress[id];
      softStatus(appName(id) + "：已取消");
      setTimeout(function () { if (state.stateText[id] === text) { delete state.stateText[id]; updateTile(id); } }, 5000);
    } else if (/失败/.test(text)) {
      delete state.progress[id];
      softStatus(((findApp(id) || {}).name || "应用") + text);
    }
    updateTile(id);
  };

  window.tsmsg = function (text) { toast(text, true); };

  window.ST_softStatu = function (text) { softStatus(text); };

  /* ---------- 应用目录 ---------- */

  function loadCatalog() {
    fetch("catalog.php" + (state.token ? "?u=" + state.token : ""), { cache: "no-store" })
      .then(function (r) { return r.json(); })
      .then(function (data) { state.catalog = data.apps || []; renderCatalog(); })
      .catch(function () { $("catalogGrid").textContent = "应用目录读取失败，请稍后再试"; });
  }

  function renderCatalog() {
    var grid = $("catalogGrid");
    grid.textContent = "";
    state.catalog.forEach(function (c) {
      var app = { id: String(c.appId), name: c.name, dir: c.dir, ico: c.ico, note: c.note, url: c.url };
      var tile = makeTile(app);
      tile.classList.toggle("added", !!c.added);
      tile.querySelector(".tile-meta").textContent = "版本 " + c.version + (c.versionName ? " · " + c.versionName : "") +
        (c.price && c.price !== "0" ? " · ￥" + c.price : " · 免费");
      var badge = tile.querySelector(".badge");
      badge.textContent = c.nessary ? "必备应用" : (c.added ? "已添加" : "可添加");
      badge.className = "badge " + (c.nessary ? "must" : c.added ? "ok" : "");
      var btn = tile.querySelector(".act-main");
      if (c.added) {
        btn.textContent = "已添加";
        btn.disabled = true;
      } else {
        btn.textContent = "添加并安装";
        btn.onclick = function () { addApp(app.id, btn); };
      }
      grid.appendChild(tile);
    });
  }

  function addApp(id, btn) {
    if (!state.token) return;
    btn.disabled = true;
    btn.textContent = "正在添加…";
    if (inClient) {
      var r = native("_AddNewTestApp", String(id));
      softStatus(r || "正在添加", true);
      return;
    }
    var form = new FormData();
    form.append("uid", state.token);
    form.append("appId", String(id));
    fetch("userAppAdd.php", { method: "POST", body: form })
      .then(function (r) { if (!r.ok) throw new Error(); window.ST_setFlatDivAnlv(id, "添加完成"); })
      .catch(function () { window.ST_setFlatDivAnlv(id, "添加失败"); loadCatalog(); });
  }

  /* ---------- 帮助与外部链接 ---------- */

  function openHelp(url) {
    url = url || "/help.html";
    if (inClient) native("_OpenURL", url);
    else window.open(url, "_blank", "width=760,height=560");
  }

  function showView(name) {
    $("mineView").hidden = name !== "mine";
    $("catalogView").hidden = name !== "catalog";
    Array.prototype.forEach.call(document.querySelectorAll(".tab"), function (t) {
      t.classList.toggle("active", t.dataset.view === name);
    });
    if (name === "catalog") loadCatalog();
  }

  /* ---------- 事件 ---------- */

  document.addEventListener("DOMContentLoaded", function () {
    var title = native("_GetConfigValue", "title");
    if (title) { $("productTitle").textContent = title; document.title = title; }
    $("modeText").textContent = inClient ? "" : "预览模式（浏览器中只能浏览，安装请使用客户端）";

    $("loginForm").addEventListener("submit", function (e) { e.preventDefault(); if (!state.loggingIn) doLogin(); });
    $("btnCancelAuto").addEventListener("click", function () { cancelAuto(true); });
    $("savePwd").addEventListener("change", function () { if (!this.checked) $("autoLogin").checked = false; });
    $("autoLogin").addEventListener("change", function () { if (this.checked) $("savePwd").checked = true; });
    $("user").addEventListener("input", function () {
      if (state.remembered[this.value] !== undefined) pickUser(this.value);
    });
    $("userDrop").addEventListener("click", function () { $("userList").hidden = !$("userList").hidden; });
    $("user").addEventListener("blur", function () { setTimeout(function () { $("userList").hidden = true; }, 150); });

    Array.prototype.forEach.call(document.querySelectorAll(".tab"), function (t) {
      t.addEventListener("click", function () { showView(t.dataset.view); });
    });
    $("btnGoCatalog").addEventListener("click", function () { showView("catalog"); });
    $("btnEmptyCatalog").addEventListener("click", function () { showView("catalog"); });
    $("btnRefresh").addEventListener("click", function () {
      if (inClient) native("_GetMyApps");
      loadMine();
      softStatus("已刷新");
    });
    $("btnHelp").addEventListener("click", function () {
      if (inClient) native("_OpenURLA", "/help.html", 760, 560);
      else window.open("help.html", "_blank", "width=760,height=560");
    });
    $("lnkHelp2").addEventListener("click", function (e) { e.preventDefault(); openHelp("/help.html"); });
    $("btnWeb").addEventListener("click", function () {
      var url = location.origin + "/help.html";
      if (inClient) native("_OpenURLB", url);
      else window.open(url, "_blank");
    });
    $("btnCheckVer").addEventListener("click", function () {
      if (!inClient) return needClient();
      native("CheckMainVer");
      toast("正在检查新版本，发现新版本时会自动下载并提示重启");
      softStatus("正在检查新版本…");
    });
    $("autoSwitch").addEventListener("change", function () {
      native("_SetAutoLogin", this.checked ? "1" : "0");
      softStatus(this.checked ? "下次启动时将自动登录" : "已关闭自动登录");
    });
    $("user").focus();
  });
})();
