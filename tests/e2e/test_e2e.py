#!/usr/bin/env python3
"""End-to-end tests: the real client binary under Xvfb against the real demo service.

Each test starts a fresh copy of the client folder and drives its page through the DevTools
protocol (tools/demo/vxcdp.py). The service and Xvfb are shared by the tests of a run."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import threading
import unittest
import http.client
import http.server

BUILD = os.environ.get("VX_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build/debug"))
SOURCE = os.environ.get("VX_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "../.."))
sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))
import vxcdp  # noqa: E402
import xwdshot  # noqa: E402

BASE = "http://127.0.0.1:18080/"
SERVICE = os.path.join(BUILD, "bin", "vxcenter-demo")
CLIENT_DIR = os.path.join(BUILD, "client")
VXLINK = os.path.join(BUILD, "bin", "vxlink")
VXUTIL = os.path.join(BUILD, "bin", "vxutil")


def port_in_use(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(pred, timeout=60, what="a condition"):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if pred():
            return
        time.sleep(0.1)
    raise AssertionError(f"waited in vain for {what}")


class ClientCase(unittest.TestCase):
    """What every end-to-end test needs: Xvfb, the demo service (on 18080, where the
    client's base address points, unless a class puts something else there) and a fresh
    client folder per test, with helpers that drive the client's page."""

    # Further arguments of the demo service, and the port it listens on.
    service_args = []
    service_port = 18080

    @classmethod
    def setUpClass(cls):
        for port in (18080, 8885):
            if port_in_use(port):
                raise RuntimeError(f"port {port} on 127.0.0.1 is taken by another program; "
                                   "the end-to-end tests need it")
        cls.tmp = tempfile.mkdtemp(prefix="vx-e2e-")
        cls.procs = []
        cls.display = f":{200 + os.getpid() % 300}"
        cls.fbdir = os.path.join(cls.tmp, "fb")
        os.makedirs(cls.fbdir)
        cls.procs.append(subprocess.Popen(["Xvfb", cls.display, "-screen", "0", "1280x800x24",
                                           "-nolisten", "tcp", "-fbdir", cls.fbdir],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        cls.service_log = open(os.path.join(cls.tmp, "service.log"), "w")
        cls.service = subprocess.Popen([SERVICE, "--data", os.path.join(cls.tmp, "data"),
                                        "--port", str(cls.service_port)] + cls.service_args,
                                       stdout=cls.service_log, stderr=subprocess.STDOUT)
        cls.procs.append(cls.service)
        wait_until(lambda: port_in_use(cls.service_port), what="the demo service")

    @classmethod
    def tearDownClass(cls):
        for p in reversed(cls.procs):
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        cls.service_log.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        # A fresh client folder: the program, its libraries, the configuration and images
        # (not whatever users and applications the build's own client folder has gathered).
        self.folder = tempfile.mkdtemp(prefix="client-", dir=self.tmp)
        for name in ("vxclient", "libTCPServer.so", "libDownLoader.so"):
            shutil.copy2(os.path.join(CLIENT_DIR, name), self.folder)
        shutil.copytree(os.path.join(CLIENT_DIR, "imgs"), os.path.join(self.folder, "imgs"))
        os.makedirs(os.path.join(self.folder, "Config"))
        shutil.copy2(os.path.join(CLIENT_DIR, "Config", "config.xml"),
                     os.path.join(self.folder, "Config"))
        self.client = None
        self.pages = []

    def tearDown(self):
        for p in self.pages:
            p.close()
        if self.client and self.client.poll() is None:
            self.client.send_signal(signal.SIGTERM)
            try:
                self.client.wait(10)
            except subprocess.TimeoutExpired:
                self.client.kill()
        wait_until(lambda: not port_in_use(8885), 20, "the link server port to be free")

    # --- helpers ---------------------------------------------------------------------

    def client_env(self, **extra):
        """The environment of a client on the test's X screen. The platform is set here:
        a caller's QT_QPA_PLATFORM=offscreen would give windows that xdotool never sees."""
        env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb",
                   XDG_RUNTIME_DIR=self.folder, **extra)
        if os.getuid() == 0:
            env["QTWEBENGINE_DISABLE_SANDBOX"] = "1"
        return env

    def start_client(self, offline=False):
        """Starts the client and returns its start page, or with `offline` the client's own
        page for a service that cannot be reached."""
        self.debug_port = free_port()
        env = self.client_env(QTWEBENGINE_REMOTE_DEBUGGING=f"127.0.0.1:{self.debug_port}")
        self.client_log = os.path.join(self.folder, "client.log")
        with open(self.client_log, "w") as log:
            self.client = subprocess.Popen([os.path.join(self.folder, "vxclient")], env=env,
                                           cwd=self.folder, stdout=log, stderr=subprocess.STDOUT)
        page = vxcdp.Page(self.debug_port, url_prefix="vxoffline://" if offline else BASE,
                          timeout=90)
        self.pages.append(page)
        page.wait("document.readyState === 'complete' && typeof "
                  + ("_GetOfflineApps" if offline else "_LoginFun") + " === 'function'",
                  what="the page with the client's functions")
        return page

    def stop_client(self, kill=False):
        """Ends the client (SIGKILL with `kill`, else SIGTERM) and waits for its port."""
        if kill:
            self.client.kill()
        else:
            self.client.send_signal(signal.SIGTERM)
        self.client.wait(30)
        for p in self.pages:
            p.close()
        self.pages = []
        wait_until(lambda: not port_in_use(8885), 20, "the link server port to be free")

    def tile_click(self, page, app_id, selector):
        page.eval(f"document.querySelector('#mineGrid .tile[data-id=\"{app_id}\"] {selector}')"
                  ".click(); true")

    def add_to_config(self, element):
        """Adds an element to the root of the test client's config.xml."""
        config = os.path.join(self.folder, "Config", "config.xml")
        with open(config, encoding="utf-8") as f:
            text = f.read()
        with open(config, "w", encoding="utf-8") as f:
            f.write(text.replace("</config>", f"  {element}\n</config>"))

    def wait_for_link_answer(self, timeout, what):
        """Waits until a client answers an application on the link port (not a socket that
        a leftover process inherited and nobody accepts on)."""
        def answered():
            out = subprocess.run([VXLINK, "--app", "12", "--timeout", "3000",
                                  "获取用户信息:MyID=12"], capture_output=True, text=True,
                                 timeout=30)
            return out.returncode == 0 and out.stdout.startswith("UserInfo?uid=")
        wait_until(answered, timeout, what)

    def login(self, page, user="demo", password="demo123"):
        page.eval(f"""(function () {{
            document.getElementById('user').value = {user!r};
            document.getElementById('pwd').value = {password!r};
            document.getElementById('btnLogin').click(); return true; }})()""")

    def tile_text(self, page, app_id):
        return page.eval(f"(document.querySelector('#mineGrid .tile[data-id=\"{app_id}\"]') || "
                         "{textContent: ''}).textContent")

    def service_requests(self, needle):
        """The service's request lines that contain `needle`, in order."""
        self.service_log.flush()
        with open(self.service_log.name, encoding="utf-8", errors="replace") as f:
            return [line.strip() for line in f if needle in line]

    def logged_in(self, page):
        self.login(page)
        page.wait("document.querySelectorAll('#mineGrid .tile').length > 0", 60,
                  "the user's applications")
        return page.eval("Array.prototype.map.call(document.querySelectorAll('#mineGrid .tile'),"
                         " function (t) { return t.dataset.id; })")

    def install(self, page, app_id):
        self.assertEqual(page.eval(f"_InstallApp('{app_id}')"), "正在安装")
        page.wait(f"/安装完成/.test((document.querySelector('#mineGrid .tile[data-id=\"{app_id}\"]')"
                  " || {textContent: ''}).textContent)", 120, f"application {app_id} installed")

    def confirm_update_box(self, env, timeout):
        """Waits for the box that announces the client's new version (it comes up a moment
        after the file is in place, when the downloader reports the end) and confirms it,
        as the user would."""
        windows = []

        def box_shown():
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid",
                                    str(self.client.pid), "--name", "应用中心"], env=env,
                                   capture_output=True, text=True, timeout=30)
            windows[:] = found.stdout.split()
            return len(windows) >= 2  # the window and the box
        wait_until(box_shown, timeout, "the box that announces the new version")
        for w in windows:
            subprocess.run(["xdotool", "key", "--window", w, "Return"], env=env,
                           stderr=subprocess.DEVNULL)


    def catalogue(self, page):
        """The service's catalogue as the page sees it, keyed by application id."""
        apps = page.eval("""(function () {
            var r = new XMLHttpRequest(); r.open('GET', 'catalog.php?u=' + _GetUid(), false);
            r.send(); return JSON.parse(r.responseText).apps; })()""")
        return {str(a["appId"]): a for a in apps}


class E2E(ClientCase):

    def test_remembered_users_after_start(self):
        os.makedirs(os.path.join(self.folder, "Config"), exist_ok=True)
        with open(os.path.join(self.folder, "Config", "Users.xml"), "w", encoding="utf-8") as f:
            f.write('<?xml version="1.0" encoding="utf-8"?><VXFrame>'
                    '<DefUser user="张三" pwd="secret" auto="false"/>'
                    '<User user="张三" pwd="secret"/><User user="lisi" pwd=""/></VXFrame>')
        page = self.start_client()
        page.wait("document.getElementById('user').value === '张三'", 30, "the default user")
        self.assertEqual(page.eval("document.getElementById('pwd').value"), "secret")
        listed = page.eval("document.getElementById('userList').textContent")
        self.assertIn("张三", listed)
        self.assertIn("lisi", listed)

    def test_wrong_password_then_login(self):
        page = self.start_client()
        self.login(page, password="wrong")
        error = page.wait("document.getElementById('loginError').textContent", 30,
                          "the refusal")
        self.assertTrue(error.strip())
        ids = self.logged_in(page)
        self.assertGreaterEqual(len(ids), 1)
        # Users.xml remembers the user; the page's statuses are the client's.
        with open(os.path.join(self.folder, "Config", "Users.xml"), encoding="utf-8") as f:
            users = f.read()
        self.assertIn('user="demo"', users)
        for app_id in ids:
            status = page.eval(f"_CheckAPP('{app_id}')")
            self.assertIn(status, ("未安装", "正常", "有升级"))

    def test_add_install_and_files_on_disk(self):
        page = self.start_client()
        self.logged_in(page)
        new_ids = [i for i, a in self.catalogue(page).items() if not a["added"]]
        self.assertTrue(new_ids, "the demo catalogue has an application to add")
        app_id = new_ids[0]
        self.assertEqual(page.eval(f"_AddNewTestApp('{app_id}')"), "正在添加")
        page.wait(f"['未添加', '正在安装'].indexOf(_CheckAPP('{app_id}')) < 0", 120,
                  "the added application to install")
        self.assertIn(page.eval(f"_CheckAPP('{app_id}')"), ("正常", "有升级"))
        folder = os.path.join(self.folder, "apps", self.catalogue(page)[app_id]["dir"])
        self.assertTrue(os.path.exists(os.path.join(folder, "version.xml")))
        self.assertFalse([f for f in os.listdir(folder) if f.endswith(".zip")])

    def test_install_with_progress_and_update_of_changed_file(self):
        page = self.start_client()
        ids = self.logged_in(page)
        page.eval("window.__progress = []; var __jdt = window.ST_jdt;"
                  "window.ST_jdt = function (id, p) { window.__progress.push(p); return __jdt(id, p); };"
                  "true")
        target = None
        for app_id in ids:
            self.install(page, app_id)
            if page.eval(f"_CheckAPP('{app_id}')") == "有升级":
                target = app_id
        self.assertEqual(page.eval("window.__progress[window.__progress.length - 1]"), 100)
        self.assertIsNotNone(target, "the demo offers an update for one application")
        prefix = f"GET /apps/{self.catalogue(page)[target]['dir']}/"
        before = len(self.service_requests(prefix))
        self.assertEqual(page.eval(f"_UpdateApp('{target}')"), "正在升级")
        page.wait(f"_CheckAPP('{target}') === '正常'", 120, "the update")
        # The descriptor and the one changed file; the unchanged main file is not fetched.
        fetched = [r for r in self.service_requests(prefix)[before:] if r.startswith("GET")]
        # Of the release's two files only the changed readme is fetched.
        self.assertEqual(len([r for r in fetched if "/readme.txt" in r]), 1, fetched)
        self.assertFalse([r for r in fetched if "/vx-userinfo" in r], fetched)

    def test_application_started_through_the_link(self):
        page = self.start_client()
        ids = self.logged_in(page)
        catalogue = self.catalogue(page)
        target = next(i for i in ids if catalogue[i]["dir"] == "userinfo")
        self.install(page, target)
        out = subprocess.run([VXLINK, "--app", "77", "--count", "0",
                              f"运行应用:appID={target}&parma=from-e2e"],
                             capture_output=True, text=True, timeout=30)
        self.assertEqual(out.returncode, 0, out.stderr)
        result = os.path.join(self.folder, "apps", "userinfo", "userinfo-result.txt")
        wait_until(lambda: os.path.exists(result), 60, "the started application's report")
        with open(result, encoding="utf-8") as f:
            text = f.read()
        self.assertIn("args=from-e2e", text)
        self.assertRegex(text, r"uid=\d+")
        self.assertNotIn("error=", text)

    def tile_visible(self, page, app_id, selector):
        return page.eval(f"!document.querySelector('#mineGrid .tile[data-id=\"{app_id}\"] "
                         f"{selector}').hidden")

    def test_open_and_uninstall_from_the_tile(self):
        page = self.start_client()
        self.logged_in(page)
        app_id = next(i for i, a in self.catalogue(page).items() if a["dir"] == "launcher")
        self.install(page, app_id)
        page.wait(f"_CheckAPP('{app_id}') === '正常' && document.querySelector("
                  f"'#mineGrid .tile[data-id=\"{app_id}\"] .act-main').textContent === '打开'",
                  30, "the open button")
        folder = os.path.join(self.folder, "apps", "launcher")
        # 打开: not running, so the client starts it.
        page.eval("window.__runs = []; var __run = window._RunApp; window._RunApp = function (id) "
                  "{ var r = __run(id); window.__runs.push(r); return r; }; true")
        self.tile_click(page, app_id, ".act-main")
        wait_until(lambda: os.path.exists(os.path.join(folder, "launcher-result.txt")), 60,
                   "the opened application's report")
        self.assertEqual(page.eval("window.__runs"), ["正在启动"])
        # 卸载, declined: nothing goes.
        self.assertTrue(self.tile_visible(page, app_id, ".act-uninstall"))
        page.eval("window.confirm = function () { return false; }; true")
        self.tile_click(page, app_id, ".act-uninstall")
        self.assertTrue(os.path.exists(os.path.join(folder, "version.xml")))
        # 卸载, confirmed: the folder goes and the tile offers the install again.
        page.eval("window.__asked = ''; window.confirm = function (t) { window.__asked = t; "
                  "return true; }; true")
        self.tile_click(page, app_id, ".act-uninstall")
        page.wait(f"document.querySelector('#mineGrid .tile[data-id=\"{app_id}\"] "
                  ".badge').textContent === '未安装'", 30, "the uninstalled status")
        self.assertIn("卸载", page.eval("window.__asked"))
        self.assertFalse(os.path.exists(folder))
        self.assertEqual(page.eval(f"_CheckAPP('{app_id}')"), "未安装")
        self.assertFalse(self.tile_visible(page, app_id, ".act-uninstall"))

    def test_cancel_an_install_from_the_tile(self):
        page = self.start_client()
        self.logged_in(page)
        app_id = next(i for i, a in self.catalogue(page).items() if a["dir"] == "launcher")
        prefix = "GET /apps/launcher/"
        before = len(self.service_requests(prefix))
        # The service holds still, so the install is surely under way when 取消 is clicked.
        self.service.send_signal(signal.SIGSTOP)
        try:
            self.tile_click(page, app_id, ".act-main")
            page.wait(f"_CheckAPP('{app_id}') === '正在安装'", 30, "the install to start")
            self.assertTrue(self.tile_visible(page, app_id, ".progress"))
            self.assertTrue(self.tile_visible(page, app_id, ".act-cancel"))
            self.tile_click(page, app_id, ".act-cancel")
            page.wait(f"/已取消/.test(document.querySelector('#mineGrid .tile[data-id=\"{app_id}\"] "
                      ".tile-state').textContent)", 30, "the cancelled install")
            self.assertEqual(page.eval(f"_CheckAPP('{app_id}')"), "未安装")
            self.assertFalse(self.tile_visible(page, app_id, ".act-cancel"))
        finally:
            self.service.send_signal(signal.SIGCONT)
        # The descriptor that arrives late starts nothing.
        wait_until(lambda: len(self.service_requests(prefix)) > before, 30,
                   "the held request to be served")
        time.sleep(1)
        self.assertFalse([r for r in self.service_requests(prefix)[before:] if ".zip" in r])
        self.assertEqual(page.eval(f"_CheckAPP('{app_id}')"), "未安装")
        # And the next install runs through.
        self.install(page, app_id)
        self.assertEqual(page.eval(f"_CheckAPP('{app_id}')"), "正常")

    def test_main_window_screenshot(self):
        """The real window on the X screen, kept as a test artefact."""
        page = self.start_client()
        self.logged_in(page)
        time.sleep(1)
        env = dict(os.environ, DISPLAY=self.display)
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid",
                                str(self.client.pid), "--name", "应用中心"], env=env,
                               capture_output=True, text=True, timeout=30)
        windows = found.stdout.split()
        self.assertTrue(windows, found.stderr)
        geometry = xwdshot.window_geometry(windows[0], env)
        self.assertEqual(geometry[2:], (850, 600))
        artefacts = os.path.join(BUILD, "artifacts")
        os.makedirs(artefacts, exist_ok=True)
        shot = xwdshot.screenshot(self.fbdir, os.path.join(artefacts, "main-window.png"), geometry)
        self.assertGreater(os.path.getsize(shot), 10000)

    def test_second_instance_is_refused(self):
        self.start_client()
        env = self.client_env()
        second = subprocess.Popen([os.path.join(self.folder, "vxclient")], env=env,
                                  cwd=self.folder, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        try:
            # Its only window is the message box; answer it as a user would.
            found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                                    str(second.pid)], env=env, capture_output=True, text=True,
                                   timeout=30)
            windows = found.stdout.split()
            self.assertEqual(len(windows), 1, found.stderr)
            subprocess.run(["xdotool", "key", "--window", windows[0], "Return"], env=env,
                           stderr=subprocess.DEVNULL)
            self.assertEqual(second.wait(20), 0)
        finally:
            if second.poll() is None:
                second.kill()
        self.assertIsNone(self.client.poll(), "the first client keeps running")

    def test_client_update_downloads_and_restarts(self):
        release = os.path.join(self.tmp, "data", "apps", "KVLMZ", "files")
        os.makedirs(release, exist_ok=True)
        with open(os.path.join(release, "notes.txt"), "w", encoding="utf-8") as f:
            f.write("新版本说明\n")
        try:
            page = self.start_client()
            env = dict(os.environ, DISPLAY=self.display)
            page.eval("CheckMainVer(); true")
            downloaded = os.path.join(self.folder, "Update", "notes.txt")
            wait_until(lambda: os.path.exists(downloaded), 60, "the new file in Update/")
            # The client tells the user, who confirms; then it writes the script and closes.
            self.confirm_update_box(env, 60)
            self.assertEqual(self.client.wait(30), 0)
            script = os.path.join(self.folder, "temp.sh")
            self.assertTrue(os.path.exists(script))
            # After its pause the script moves the file in and starts the client again.
            moved = os.path.join(self.folder, "notes.txt")
            wait_until(lambda: os.path.exists(moved), 30, "the script to replace the files")
            # The restarted client itself answers an application on the link port (not a
            # socket that a leftover process inherited and nobody accepts on).
            self.wait_for_link_answer(90, "the restarted client to answer on 8885")
            # It confirmed its start, so the script dropped the old files' copy.
            backup = os.path.join(self.folder, "Update", "backup")
            wait_until(lambda: not os.path.exists(backup), 30, "the backup to be removed")
            self.assertFalse(os.path.exists(os.path.join(self.folder, "Update", "rolledback")))
        finally:
            subprocess.run(["pkill", "-f", os.path.join(self.folder, "vxclient")])
            shutil.rmtree(os.path.join(self.tmp, "data", "apps", "KVLMZ"), ignore_errors=True)

    def test_client_update_that_crashes_is_undone(self):
        # The new client exits at once, before its start page could confirm it.
        release = os.path.join(self.tmp, "data", "apps", "KVLMZ", "files")
        os.makedirs(release, exist_ok=True)
        with open(os.path.join(release, "vxclient"), "w") as f:
            f.write("#!/bin/sh\nexit 1\n")
        self.add_to_config("<updatewait>30</updatewait>")
        with open(os.path.join(self.folder, "vxclient"), "rb") as f:
            old_client = f.read()
        try:
            page = self.start_client()
            env = dict(os.environ, DISPLAY=self.display)
            page.eval("CheckMainVer(); true")
            self.confirm_update_box(env, 90)
            self.assertEqual(self.client.wait(30), 0)
            page.close()
            self.pages.remove(page)
            # The old client comes back: it answers an application on the link port ...
            self.wait_for_link_answer(120, "the old client to answer on 8885")
            # ... and says on its status line that the update was undone.
            again = vxcdp.Page(self.debug_port, url_prefix=BASE, timeout=90)
            self.pages.append(again)
            again.wait("/新版本未能正常启动，已恢复原版本/.test(document.getElementById("
                       "'statusText').textContent)", 60, "the status line to say so")
            with open(os.path.join(self.folder, "vxclient"), "rb") as f:
                self.assertTrue(f.read() == old_client, "the old vxclient is not in place")
            update = os.path.join(self.folder, "Update")
            wait_until(lambda: not os.path.exists(os.path.join(update, "rolledback")), 30,
                       "the client to take its marker")
            self.assertFalse(os.path.exists(os.path.join(update, "backup")))
        finally:
            subprocess.run(["pkill", "-f", os.path.join(self.folder, "vxclient")])
            shutil.rmtree(os.path.join(self.tmp, "data", "apps", "KVLMZ"), ignore_errors=True)

    def test_a_taken_link_port_is_reported(self):
        with socket.socket() as holder:
            holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            holder.bind(("127.0.0.1", 8885))
            holder.listen()
            page = self.start_client()
            page.wait("/本地连接服务启动失败/.test(document.getElementById('statusText')"
                      ".textContent)", 60, "the status line to say the link port is taken")
            self.assertIn("8885", page.eval("document.getElementById('statusText').textContent"))

    def test_popup_shows_the_document_title(self):
        page = self.start_client()
        page.eval("_OpenURL('/help.html'); true")
        popup = vxcdp.Page(self.debug_port, url_prefix=BASE + "help.html", timeout=60)
        self.pages.append(popup)
        title = popup.wait("document.readyState === 'complete' && document.title", 30, "the title")
        self.assertTrue(title)
        # The same address again reuses the window.
        page.eval("_OpenURL('/help.html'); true")
        time.sleep(1)
        self.assertEqual(len([t for t in vxcdp.targets(self.debug_port)
                              if t["url"].startswith(BASE + "help.html")]), 1)
        # A foreign origin in a pop-up gets no native functions.
        page.eval("_OpenURL('http://localhost:18080/help.html'); true")
        foreign = vxcdp.Page(self.debug_port, url_prefix="http://localhost:18080/", timeout=60)
        self.pages.append(foreign)
        foreign.wait("document.readyState === 'complete' && typeof _GetPwd === 'function'", 30)
        self.assertEqual(foreign.eval("(function () { try { return _GetPwd(); }"
                                      " catch (e) { return e.message; } })()"), "Have no member")


class TamperProxy(http.server.ThreadingHTTPServer):
    """A man in the middle on 127.0.0.1:18080, where the client looks for its service: it
    relays every request to the service on `upstream` and lets `rule(path, body)` change a
    reply's body (returning the new body, or None to leave it). `tampered` counts changes."""

    daemon_threads = True

    def __init__(self, upstream):
        self.upstream = upstream
        self.rule = None
        self.tampered = 0
        self.requests = []  # "GET /path", noted before the reply goes on
        proxy = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def relay(self):
                proxy.requests.append(f"{self.command} {self.path}")
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else None
                headers = {k: v for k, v in self.headers.items()
                           if k.lower() not in ("host", "connection", "accept-encoding",
                                                "keep-alive", "proxy-connection")}
                up = http.client.HTTPConnection("127.0.0.1", proxy.upstream, timeout=120)
                up.request(self.command, self.path, body=body, headers=headers)
                reply = up.getresponse()
                content = reply.read()
                rule = proxy.rule
                if rule and self.command == "GET" and reply.status == 200:
                    changed = rule(self.path.split("?")[0], content)
                    if changed is not None:
                        content = changed
                        proxy.tampered += 1
                self.send_response(reply.status)
                for k, v in reply.getheaders():
                    if k.lower() not in ("content-length", "transfer-encoding", "connection",
                                         "content-encoding", "keep-alive"):
                        self.send_header(k, v)
                self.send_header("Content-Length", str(len(content)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(content)
                self.close_connection = True
                up.close()

            do_GET = relay
            do_POST = relay

        super().__init__(("127.0.0.1", 18080), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()


class SignedE2E(ClientCase):
    """The real client trusting the demo service's signing key (config.xml's signkey), with a
    man in the middle between them."""

    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.mkdtemp(prefix="vx-keys-")
        made = subprocess.run([VXUTIL, "keygen", cls.keys], capture_output=True, text=True,
                              check=True)
        cls.signkey = made.stdout.strip()
        cls.service_args = ["--sign-key", os.path.join(cls.keys, "signing.key")]
        cls.service_port = free_port()
        super().setUpClass()
        cls.proxy = TamperProxy(cls.service_port)

    @classmethod
    def tearDownClass(cls):
        cls.proxy.shutdown()
        cls.proxy.server_close()
        super().tearDownClass()
        shutil.rmtree(cls.keys, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.proxy.rule = None
        self.add_to_config(self.signkey)

    def watch_status(self, page):
        page.eval("window.__status = []; var __st = window.ST_softStatu;"
                  "window.ST_softStatu = function (t) { window.__status.push(t); return __st(t); };"
                  "true")

    def wait_failed(self, page, app_id):
        page.wait(f"/安装失败/.test((document.querySelector('#mineGrid .tile[data-id=\"{app_id}\"]')"
                  " || {textContent: ''}).textContent)", 120, f"application {app_id} to fail")

    def test_signed_install_and_a_swapped_package(self):
        page = self.start_client()
        ids = self.logged_in(page)
        self.assertGreaterEqual(len(ids), 2)
        catalogue = self.catalogue(page)
        first, second = ids[0], ids[1]
        self.install(page, first)
        first_dir = catalogue[first]["dir"]
        self.assertIn(f"GET /apps/{first_dir}/version.xml.sig", self.proxy.requests)
        self.assertTrue(os.path.exists(os.path.join(self.folder, "apps", first_dir, "version.xml")))

        # The second application's package swapped on the way for the first one's, a whole
        # and valid package: only its digest tells.
        second_dir = catalogue[second]["dir"]
        first_zip = [f for f in os.listdir(os.path.join(BUILD, "service", "packages", first_dir))
                     if f.endswith(".zip")][0]
        with open(os.path.join(BUILD, "service", "packages", first_dir, first_zip), "rb") as f:
            other = f.read()
        self.proxy.rule = lambda path, body: (other if path.startswith(f"/apps/{second_dir}/")
                                              and path.endswith(".zip") else None)
        self.watch_status(page)
        self.assertEqual(page.eval(f"_InstallApp('{second}')"), "正在安装")
        self.wait_failed(page, second)
        self.assertGreater(self.proxy.tampered, 0)
        folder = os.path.join(self.folder, "apps", second_dir)
        self.assertFalse(os.path.exists(folder) and os.listdir(folder), os.path.exists(folder) and os.listdir(folder))
        self.assertTrue([t for t in page.eval("window.__status") if "SHA256" in t],
                        page.eval("window.__status"))

    def test_a_changed_descriptor_downloads_nothing(self):
        page = self.start_client()
        ids = self.logged_in(page)
        app_id = ids[0]
        app_dir = self.catalogue(page)[app_id]["dir"]

        def change(path, body):
            if path != f"/apps/{app_dir}/version.xml":
                return None
            return body.replace(b"<version>", b"<version>9", 1)
        self.proxy.rule = change
        self.watch_status(page)
        before = len(self.proxy.requests)
        self.assertEqual(page.eval(f"_InstallApp('{app_id}')"), "正在安装")
        self.wait_failed(page, app_id)
        statuses = page.eval("window.__status")
        self.assertTrue([t for t in statuses if t.startswith("描述文件签名无效，已拒绝：")], statuses)
        # The descriptor and its signature, nothing else.
        fetched = [r for r in self.proxy.requests[before:] if f"/apps/{app_dir}/" in r]
        self.assertEqual(fetched, [f"GET /apps/{app_dir}/version.xml",
                                   f"GET /apps/{app_dir}/version.xml.sig"])
        self.assertFalse(os.path.exists(os.path.join(self.folder, "apps", app_dir, "version.xml")))


class QueueE2E(ClientCase):
    """The download queue, pause and resume, the bandwidth limit, verify and repair: the
    real client and its page against the demo service (user demo has 4, 12 and 15)."""

    def package(self, app_dir):
        folder = os.path.join(BUILD, "service", "packages", app_dir)
        name = [f for f in os.listdir(folder) if f.endswith(".zip")][0]
        return name, os.path.getsize(os.path.join(folder, name))

    def sent(self, path):
        """The bytes the service streamed of `path` in all ("SENT path N" lines)."""
        total = 0
        for line in self.service_requests("SENT "):
            parts = line.split()
            if len(parts) == 3 and parts[1] == path:
                total += int(parts[2])
        return total

    def watch_progress(self, page):
        page.eval("window.__max = {}; var __j = window.ST_jdt; window.ST_jdt = function (id, p) {"
                  " window.__max[id] = Math.max(window.__max[id] || 0, Number(p)); return __j(id, p); };"
                  " true")

    def wait_progress(self, page, app_id, at_least):
        page.wait(f"(window.__max['{app_id}'] || 0) >= {at_least}", 90,
                  f"application {app_id}'s download under way")

    def wait_installed(self, page, app_id, timeout=120):
        page.wait(f"['正常', '有升级'].indexOf(_CheckAPP('{app_id}')) >= 0", timeout,
                  f"application {app_id} installed")

    def restart(self, kill):
        self.stop_client(kill)
        return self.start_client()

    def tile_state(self, page, app_id):
        return page.eval(f"document.querySelector('#mineGrid .tile[data-id=\"{app_id}\"] "
                         ".tile-state').textContent")

    def test_a_queue_cut_by_a_kill_goes_on_after_the_restart(self):
        page = self.start_client()
        self.logged_in(page)
        ids = ["15", "12", "4"]
        self.assertEqual(page.eval("_SetRateLimit(256)"), "256")
        self.watch_progress(page)
        self.assertEqual([page.eval(f"_QueueApp('{i}')") for i in ids],
                         ["正在安装", "排队中", "排队中"])
        self.assertEqual(page.eval("_GetQueue()"), "12,4")
        self.wait_progress(page, "15", 20)
        page = self.restart(kill=True)
        self.assertEqual(page.eval("_GetRateLimit()"), "256")  # remembered
        self.assertEqual(page.eval("_SetRateLimit(0)"), "0")
        self.logged_in(page)
        for i in ids:
            self.wait_installed(page, i)
        self.assertEqual(page.eval("_GetQueue()"), "")
        # The package the kill cut off went on from what had arrived.
        name, size = self.package("launcher")
        zips = [r for r in self.service_requests(f"GET /apps/launcher/{name}")]
        self.assertTrue([r for r in zips if r.endswith(" 206")], zips)
        self.assertLess(self.sent(f"/apps/launcher/{name}"), 2 * size)
        with open(os.path.join(self.folder, "Config", "Queue.xml"), encoding="utf-8") as f:
            self.assertNotIn("<app", f.read())

    def test_pause_and_resume_across_a_restart_fetch_the_package_about_once(self):
        page = self.start_client()
        self.logged_in(page)
        name, size = self.package("launcher")
        page.eval("document.getElementById('rateInput').value = '256';"
                  " document.getElementById('btnRate').click(); true")
        self.assertEqual(page.eval("_GetRateLimit()"), "256")
        self.watch_progress(page)
        self.tile_click(page, "15", ".act-main")
        self.wait_progress(page, "15", 30)
        self.tile_click(page, "15", ".act-pause")
        page.wait("_CheckAPP('15') === '已暂停'", 30, "the pause")
        # What arrived is kept; the service's first reply ends when the connection is dropped.
        path = f"/apps/launcher/{name}"
        partial = os.path.join(self.folder, "apps", "launcher", f".{name}.vxpart")
        kept = os.path.getsize(partial)
        self.assertGreater(kept, 0)
        wait_until(lambda: [l for l in self.service_requests("SENT ") if f" {path} " in l], 30,
                   "the first reply to end")
        first = self.sent(path)
        page = self.restart(kill=False)
        self.logged_in(page)
        page.wait("_CheckAPP('15') === '已暂停' && !!document.querySelector("
                  "'#pausedList li[data-id=\"15\"] .q-resume')", 30, "the paused entry after the restart")
        self.assertEqual(page.eval("_SetRateLimit(0)"), "0")
        page.eval("document.querySelector('#pausedList li[data-id=\"15\"] .q-resume').click(); true")
        self.wait_installed(page, "15")
        # The rest came as one range from what was kept: in all one package, plus what was
        # on its way when it paused.
        self.assertEqual(self.sent(path) - first, size - kept)
        self.assertTrue([r for r in self.service_requests(f"GET {path}") if r.endswith(" 206")])
        self.assertFalse(os.path.exists(partial))

    def test_the_queue_panel_and_verify_and_repair_from_the_tiles(self):
        page = self.start_client()
        self.logged_in(page)
        self.assertEqual(page.eval("_SetRateLimit(128)"), "128")
        self.watch_progress(page)
        self.tile_click(page, "15", ".act-main")
        self.wait_progress(page, "15", 1)
        self.tile_click(page, "12", ".act-main")
        self.assertEqual(page.eval("_QueueApp('4')"), "排队中")
        page.wait("document.querySelectorAll('#queueList li').length === 2", 30, "the queue panel")
        self.assertEqual(page.eval("_GetQueue()"), "12,4")
        page.eval("document.querySelector('#queueList li[data-id=\"4\"] .q-up').click(); true")
        self.assertEqual(page.eval("_GetQueue()"), "4,12")
        page.eval("document.querySelector('#queueList li[data-id=\"12\"] .q-remove').click(); true")
        self.assertEqual(page.eval("_GetQueue()"), "4")
        self.assertEqual(page.eval("_CheckAPP('12')"), "未安装")
        self.assertEqual(page.eval("_SetRateLimit(0)"), "0")
        self.wait_installed(page, "15")
        self.wait_installed(page, "4")
        # 校验 finds a changed file and a missing one; 修复 puts them right.
        folder = os.path.join(self.folder, "apps", "launcher")
        program = os.path.join(folder, "vx-launcher")
        with open(program, "rb") as f:
            original = f.read()
        with open(os.path.join(folder, "readme.txt"), "a", encoding="utf-8") as f:
            f.write("changed")
        os.remove(program)
        page.eval("window.__said = []; var __s = window.ST_setFlatDivAnlv;"
                  " window.ST_setFlatDivAnlv = function (id, t) { if (id == '15') window.__said.push(t);"
                  " return __s(id, t); }; true")
        page.wait("!document.querySelector('#mineGrid .tile[data-id=\"15\"] .act-verify').hidden",
                  30, "the verify button")
        self.tile_click(page, "15", ".act-verify")
        page.wait("window.__said.indexOf('文件损坏：2') >= 0", 60, "the damage found")
        page.wait("!document.querySelector('#mineGrid .tile[data-id=\"15\"] .act-repair').hidden",
                  30, "the repair button")
        self.tile_click(page, "15", ".act-repair")
        page.wait("window.__said.indexOf('修复完成') >= 0", 120, "the repair")
        with open(program, "rb") as f:
            self.assertEqual(f.read(), original)
        # The tile offers 校验 again once its status is back.
        page.wait("_CheckAPP('15') === '正常' && !document.querySelector("
                  "'#mineGrid .tile[data-id=\"15\"] .act-verify').hidden", 30, "the tile back")
        self.tile_click(page, "15", ".act-verify")
        page.wait("window.__said.indexOf('文件完整') >= 0", 60, "the files whole again")
        self.assertEqual(page.eval("_CheckAPP('15')"), "正常")

class OfflineE2E(ClientCase):
    """The real client while the demo service is away, and when it comes back."""

    def test_installed_applications_start_offline_and_the_client_goes_online_again(self):
        page = self.start_client()
        self.logged_in(page)
        self.install(page, "12")
        config = os.path.join(self.folder, "Config")
        wait_until(lambda: [f for f in os.listdir(config) if f.startswith("Catalogue-")], 30,
                   "the catalogue cache")
        self.stop_client()
        self.service.terminate()
        self.service.wait(30)
        try:
            page = self.start_client(offline=True)
            page.wait("document.querySelectorAll('#apps li[data-id=\"12\"]').length === 1", 30,
                      "the installed application on the offline page")
            self.assertEqual(page.eval("document.querySelectorAll('#apps li').length"), 1)
            # 打开 starts it; no user is logged in for it.
            page.eval("document.querySelector('#apps li[data-id=\"12\"] .act-open').click(); true")
            result = os.path.join(self.folder, "apps", "userinfo", "userinfo-result.txt")
            wait_until(lambda: os.path.exists(result), 60, "the started application's report")
            with open(result, encoding="utf-8") as f:
                text = f.read()
            self.assertIn("uid=\n", text)
            # The page grants nothing else.
            self.assertEqual(page.eval("(function(){try{_LoginFun('demo','demo123','0','0');"
                                       "return 'ran'}catch(e){return e.message}})()"),
                             "Have no member")
        finally:
            cls = type(self)
            cls.service = subprocess.Popen([SERVICE, "--data", os.path.join(cls.tmp, "data"),
                                            "--port", str(cls.service_port)],
                                           stdout=cls.service_log, stderr=subprocess.STDOUT)
            cls.procs.append(cls.service)
            wait_until(lambda: port_in_use(cls.service_port), 30, "the demo service again")
        page.eval("document.getElementById('retry').click(); true")
        page.wait(f"location.href === {BASE!r} && document.readyState === 'complete' && "
                  "typeof _LoginFun === 'function'", 60, "the service's start page again")
        self.assertIn("12", self.logged_in(page))


if __name__ == "__main__":
    unittest.main()
