#!/usr/bin/env python3
"""The package as its users meet it.

Root builds the .deb and installs it with apt-get; ordinary users (uid 65534 and 65533, each
with a temporary home of its own) start /usr/bin/vxcenter under Xvfb against the demo
service. The first user logs in and is remembered, installs and updates an application,
starts it through the link, and updates the client itself; the second user, started while
the first one's client runs, has a folder, a login and applications of his own. A launcher
that cannot lay out its folder says why and starts nothing, and `cmake --install` into a
prefix behaves as the .deb does.

  test_package.py BUILD_DIR SOURCE_DIR"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

BUILD, SOURCE = (os.path.abspath(a) for a in sys.argv[1:3])
sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
import vxcdp  # noqa: E402
from test_e2e import free_port, port_in_use, wait_until  # noqa: E402

BASE = "http://127.0.0.1:18080/"
VXLINK = None  # a copy that every user may run, whatever the build folder's modes (main())
PACKAGE = "/usr/lib/vxcenter"
SKIP = 77


def log(text):
    print(f"--- {text}", flush=True)


def check(ok, what):
    if not ok:
        raise AssertionError(what)


def tree(folder):
    """Every path below a folder with its size and modification time."""
    out = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            p = os.path.join(root, name)
            st = os.lstat(p)
            out[os.path.relpath(p, folder)] = (st.st_size, st.st_mtime_ns)
    return out


class User:
    """An ordinary user of the machine: a uid without rights and a home of his own."""

    def __init__(self, uid, tmp, name):
        self.uid = uid
        self.home = os.path.join(tmp, name)
        self.runtime = os.path.join(self.home, "run")
        os.makedirs(self.runtime)
        for p in (self.home, self.runtime):
            os.chown(p, uid, uid)
        os.chmod(self.runtime, 0o700)
        self.folder = os.path.join(self.home, ".local", "share", "vxcenter")

    def env(self, display, **extra):
        # Chromium's own sandbox needs user namespaces, which a build machine's container may
        # not offer; the test is about the client's files, not Chromium's sandbox.
        return dict(PATH="/usr/bin:/bin", HOME=self.home, XDG_RUNTIME_DIR=self.runtime,
                    DISPLAY=display, QT_QPA_PLATFORM="xcb", LANG="C.UTF-8",
                    QTWEBENGINE_DISABLE_SANDBOX="1", **extra)

    def run(self, args, **kw):
        return subprocess.run(args, user=self.uid, group=self.uid, extra_groups=[],
                              capture_output=True, text=True, timeout=60, **kw)

    def link(self, *message, app="12", count=None):
        args = [VXLINK, "--app", app, "--timeout", "3000"]
        if count is not None:
            args += ["--count", str(count)]
        return self.run(args + list(message))

    def answered(self):
        out = self.link("获取用户信息:MyID=12")
        return out.returncode == 0 and out.stdout.startswith("UserInfo?uid=")

    def file(self, rel):
        return os.path.join(self.folder, rel)


class Run:
    def __init__(self, tmp):
        self.tmp = tmp
        self.procs = []
        self.display = f":{300 + os.getpid() % 300}"
        self.procs.append(subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1280x800x24",
                                            "-nolisten", "tcp"],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self.data = os.path.join(tmp, "data")
        self.service = subprocess.Popen([os.path.join(BUILD, "bin", "vxcenter-demo"),
                                         "--data", self.data, "--quiet"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(self.service)
        wait_until(lambda: port_in_use(18080), 30, "the demo service")
        wait_until(lambda: os.path.exists(f"/tmp/.X11-unix/X{self.display[1:]}"), 30, "Xvfb")

    def start(self, user, launcher="/usr/bin/vxcenter"):
        """Starts the launcher as the user; returns the process and the page."""
        port = free_port()
        logfile = open(os.path.join(self.tmp, f"client-{user.uid}-{port}.log"), "w")
        proc = subprocess.Popen([launcher], user=user.uid, group=user.uid, extra_groups=[],
                                env=user.env(self.display,
                                             QTWEBENGINE_REMOTE_DEBUGGING=f"127.0.0.1:{port}"),
                                cwd=user.home, stdout=logfile, stderr=subprocess.STDOUT)
        self.procs.append(proc)
        page = vxcdp.Page(port, url_prefix=BASE, timeout=90)
        page.wait("document.readyState === 'complete' && typeof _LoginFun === 'function'", 60,
                  "the start page with the client's functions")
        return proc, page

    def stop(self, user):
        """Ends every client of the user (the one started, or one its update restarted)."""
        subprocess.run(["pkill", "-TERM", "-u", str(user.uid), "-f", "vxclient"])

        def ended():
            for p in self.procs:
                p.poll()  # a client the test started ends as its zombie until reaped
            return subprocess.run(["pgrep", "-u", str(user.uid), "-f", "vxclient"],
                                  capture_output=True).returncode != 0
        wait_until(ended, 30, f"the clients of {user.uid} to end")

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()


def login(page, remember=False):
    page.eval(f"""(function () {{
        document.getElementById('user').value = 'demo';
        document.getElementById('pwd').value = 'demo123';
        document.getElementById('savePwd').checked = {'true' if remember else 'false'};
        document.getElementById('btnLogin').click(); return true; }})()""")
    page.wait("document.querySelectorAll('#mineGrid .tile').length > 0", 60,
              "the user's applications")


def catalogue(page):
    apps = page.eval("""(function () {
        var r = new XMLHttpRequest(); r.open('GET', 'catalog.php?u=' + _GetUid(), false);
        r.send(); return JSON.parse(r.responseText).apps; })()""")
    return {a["dir"]: str(a["appId"]) for a in apps}


def install(page, app_id):
    check(page.eval(f"_InstallApp('{app_id}')") == "正在安装", "the install did not start")
    page.wait(f"['正在安装', '未安装'].indexOf(_CheckAPP('{app_id}')) < 0", 120,
              f"application {app_id} installed")


def confirm_update_box(run, proc):
    env = dict(os.environ, DISPLAY=run.display)
    windows = []

    def shown():
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(proc.pid),
                                "--name", "应用中心"], env=env, capture_output=True, text=True)
        windows[:] = found.stdout.split()
        return len(windows) >= 2  # the window and the box
    wait_until(shown, 90, "the box that announces the client's new version")
    for w in windows:
        subprocess.run(["xdotool", "key", "--window", w, "Return"], env=env,
                       stderr=subprocess.DEVNULL)


def build_deb(tmp):
    out = os.path.join(tmp, "deb")
    os.makedirs(out)
    subprocess.run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-G", "DEB"],
                   cwd=out, check=True, stdout=subprocess.DEVNULL)
    deb = glob.glob(os.path.join(out, "*.deb"))[0]
    # Every library that the packaged programs link comes from a package the .deb names.
    depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True,
                             text=True, check=True).stdout
    named = {d.strip().split(" ")[0] for d in depends.split(",")}
    staged = glob.glob(os.path.join(out, "_CPack_Packages", "*", "DEB", "*", "usr", "lib",
                                    "vxcenter"))[0]
    for name in ("vxclient", "vxlauncher", "libTCPServer.so", "libDownLoader.so"):
        binary = os.path.join(staged, name)
        needed = [l.split("[")[1].rstrip("]") for l in subprocess.run(
            ["readelf", "-d", binary], capture_output=True, text=True).stdout.splitlines()
            if "(NEEDED)" in l]
        resolved = {}
        for line in subprocess.run(["ldd", binary], capture_output=True, text=True,
                                   env=dict(os.environ, LD_LIBRARY_PATH=staged)).stdout.splitlines():
            if "=>" in line and "/" in line.split("=>")[1]:
                resolved[line.split("=>")[0].strip()] = line.split("=>")[1].split()[0]
            elif line.strip().startswith("/"):  # the dynamic loader
                path = line.split()[0]
                resolved[os.path.basename(path)] = path
        for lib in needed:
            path = resolved.get(lib)
            check(path, f"{name} needs {lib}, which this machine lacks")
            if path.startswith(staged):
                continue
            real = os.path.realpath(path)
            owner = subprocess.run(["dpkg", "-S", real], capture_output=True, text=True)
            if owner.returncode != 0:  # /lib is a link to /usr/lib on Debian 12
                owner = subprocess.run(["dpkg", "-S", real.replace("/usr/lib/", "/lib/", 1)],
                                       capture_output=True, text=True)
            package = owner.stdout.split(":")[0]
            # A Depends may name what the package provides (libspdlog1.10 provides
            # libspdlog1.10-fmt9, which dpkg-shlibdeps names).
            provides = subprocess.run(["dpkg-query", "-W", "-f=${Provides}", package],
                                      capture_output=True, text=True).stdout
            provided = {p.strip().split(" ")[0] for p in provides.split(",") if p.strip()}
            check(package in named or provided & named,
                  f"{name} needs {lib} of {package}, which Depends lacks: {depends}")
    return deb


def install_deb(deb):
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    got = subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", deb],
                         env=env, capture_output=True, text=True)
    if got.returncode != 0:
        # No registry: the declared dependencies are on this machine already, as the build
        # needs them.
        log(f"apt-get install failed ({got.stderr.strip()[-200:]}); dpkg -i instead")
        subprocess.run(["dpkg", "-i", deb], env=env, check=True, stdout=subprocess.DEVNULL)
    check(os.path.exists(os.path.join(PACKAGE, "vxclient")), "the .deb installed no client")
    check(os.path.realpath("/usr/bin/vxcenter") == os.path.join(PACKAGE, "vxlauncher"),
          "/usr/bin/vxcenter does not start the launcher")
    with open("/usr/share/applications/vxcenter.desktop", encoding="utf-8") as f:
        check("Exec=/usr/bin/vxcenter" in f.read(), "the desktop entry does not start vxcenter")


def first_user(run, a, b):
    log("user A: login remembered, install, update, start through the link")
    proc, page = run.start(a)
    login(page, remember=True)
    with open(a.file("Config/Users.xml"), encoding="utf-8") as f:
        users = f.read()
    check('user="demo"' in users and 'pwd="demo123"' in users, f"login not remembered: {users}")
    check(os.stat(a.file("Config/Users.xml")).st_uid == a.uid, "Users.xml is not the user's")
    check(os.stat(a.folder).st_mode & 0o777 == 0o700, "the user's folder is open to others")
    ids = catalogue(page)
    install(page, ids["userinfo"])
    check(page.eval(f"_CheckAPP('{ids['userinfo']}')") == "有升级", "no update offered")
    check(page.eval(f"_UpdateApp('{ids['userinfo']}')") == "正在升级", "the update did not start")
    page.wait(f"_CheckAPP('{ids['userinfo']}') === '正常'", 120, "the update")
    check(os.path.exists(a.file("apps/userinfo/version.xml")), "not in the user's folder")
    out = a.link(f"运行应用:appID={ids['userinfo']}&parma=from-package", app="77", count=0)
    check(out.returncode == 0, f"vxlink: {out.stderr}")
    result = a.file("apps/userinfo/userinfo-result.txt")
    wait_until(lambda: os.path.exists(result), 60, "the started application's report")
    with open(result, encoding="utf-8") as f:
        text = f.read()
    check("args=from-package" in text and "uid=" in text and "error=" not in text, text)
    # Another user's program gets nothing from this user's client.
    other = b.link("获取用户信息:MyID=12")
    check(other.returncode != 0 and "UserInfo" not in other.stdout,
          f"another user was answered: {other.stdout}")

    log("user A: the client updates itself in the user's folder")
    release = os.path.join(run.data, "apps", "KVLMZ", "files")
    os.makedirs(release, exist_ok=True)
    with open(os.path.join(release, "notes.txt"), "w", encoding="utf-8") as f:
        f.write("新版本说明\n")
    page.eval("CheckMainVer(); true")
    wait_until(lambda: os.path.exists(a.file("Update/notes.txt")), 60, "the download")
    confirm_update_box(run, proc)
    check(proc.wait(30) == 0, "the client did not close for its update")
    page.close()
    wait_until(lambda: os.path.exists(a.file("notes.txt")), 60, "the update to be moved in")
    wait_until(a.answered, 90, "the updated client to answer on 8885")
    wait_until(lambda: not os.path.exists(a.file("Update/backup")), 60, "its confirmation")
    run.stop(a)
    shutil.rmtree(os.path.join(run.data, "apps", "KVLMZ"))

    log("user A: started again, the user is remembered and the copy is kept")
    proc, page = run.start(a)
    page.wait("document.getElementById('user').value === 'demo'", 30, "the remembered user")
    check(os.path.exists(a.file("notes.txt")), "the launcher took back the client's update")
    return proc


def second_user(run, a, b):
    log("user B: starts while A's client runs; a folder, a login, applications of his own")
    _, page = run.start(b)  # A's instance lock does not hold B back
    check(page.eval("document.getElementById('user').value") == "", "B sees A's user")
    run.stop(b)
    run.stop(a)
    wait_until(lambda: not port_in_use(8885), 30, "the link port to be free")
    _, page = run.start(b)
    login(page)
    ids = catalogue(page)
    install(page, ids["launcher"])
    check(os.path.exists(b.file("apps/launcher/version.xml")), "not in B's folder")
    check(not os.path.exists(b.file("apps/userinfo")), "B has A's applications")
    check(not os.path.exists(a.file("apps/launcher")), "A got B's application")
    with open(b.file("Config/Users.xml"), encoding="utf-8") as f:
        check('pwd="demo123"' not in f.read(), "B's login remembered a password he did not save")
    check(b.answered(), "B's client does not answer B on 8885")
    check(not a.answered(), "B's client answered A")
    run.stop(b)


def failures_and_prefix(run, tmp):
    log("a launcher that cannot lay out its folder says why and starts nothing")
    c = User(65534, tmp, "user-c")
    os.makedirs(os.path.dirname(c.folder))
    with open(c.folder, "w") as f:
        f.write("in the way")
    for p in (os.path.join(c.home, ".local"), os.path.dirname(c.folder), c.folder):
        os.chown(p, c.uid, c.uid)
    env = c.env(run.display)
    del env["DISPLAY"]  # no box to answer
    out = subprocess.run(["/usr/bin/vxcenter"], user=c.uid, group=c.uid, extra_groups=[],
                         env=env, capture_output=True, text=True, timeout=60)
    check(out.returncode != 0 and c.folder in out.stderr, f"launcher said: {out.stderr}")
    check(not port_in_use(8885), "a client started anyway")
    # With a display it says so in a box, which the user closes.
    box = subprocess.Popen(["/usr/bin/vxcenter"], user=c.uid, group=c.uid, extra_groups=[],
                           env=c.env(run.display), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    run.procs.append(box)
    env = dict(os.environ, DISPLAY=run.display)
    found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                            str(box.pid)], env=env, capture_output=True, text=True, timeout=60)
    windows = found.stdout.split()
    check(len(windows) == 1, f"no box: {found.stderr}")
    subprocess.run(["xdotool", "key", "--window", windows[0], "Return"], env=env,
                   stderr=subprocess.DEVNULL)
    check(box.wait(30) != 0, "the launcher ended well after a failure")
    check(not port_in_use(8885), "a client started anyway")

    log("cmake --install into a prefix behaves as the .deb")
    prefix = os.path.join(tmp, "prefix")
    subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                   stdout=subprocess.DEVNULL)
    os.chmod(tmp, 0o755)
    d = User(65534, tmp, "user-d")
    run.start(d, os.path.join(prefix, "bin", "vxcenter"))
    wait_until(d.answered, 60, "the prefix's client to answer on 8885")
    with open(os.path.join(prefix, "lib", "vxcenter", "vxclient"), "rb") as f:
        with open(d.file("vxclient"), "rb") as g:
            check(f.read() == g.read(), "the user's copy is not the prefix's client")
    run.stop(d)


def main():
    if os.getuid() != 0:
        print("skipped: installing the package and changing users needs root")
        return SKIP
    for port in (18080, 8885):
        if port_in_use(port):
            raise RuntimeError(f"port {port} on 127.0.0.1 is taken by another program")
    installed_before = subprocess.run(["dpkg-query", "-W", "vxcenter"],
                                      capture_output=True).returncode == 0
    tmp = tempfile.mkdtemp(prefix="vx-package-")
    os.chmod(tmp, 0o755)  # the users' homes lie below it
    global VXLINK
    VXLINK = os.path.join(tmp, "vxlink")
    shutil.copy(os.path.join(BUILD, "bin", "vxlink"), VXLINK)
    os.chmod(VXLINK, 0o755)
    run = None
    try:
        log("building and installing the .deb")
        install_deb(build_deb(tmp))
        before = tree(PACKAGE)
        run = Run(tmp)
        a, b = User(65534, tmp, "user-a"), User(65533, tmp, "user-b")
        first_user(run, a, b)
        second_user(run, a, b)
        check(tree(PACKAGE) == before, "the package's folder changed")
        for user in (a, b):
            # Everything the client and its engine keep lies in the user's folder, its log in
            # his state folder; Qt's own shader cache goes where every Qt program of the user
            # keeps it.
            outside = [p for p in tree(user.home)
                       if not p.startswith(("run", ".local/share/vxcenter", ".cache/qtshader",
                                            ".local/state/vxcenter"))
                       and p not in (".local", ".local/share", ".local/state", ".cache")]
            check(not outside, f"outside the user's folder: {outside}")
            # The log is the user's alone.
            state = os.path.join(user.home, ".local", "state", "vxcenter")
            check(os.path.isfile(os.path.join(state, "vxcenter.log")), "no log in the state folder")
            check(os.stat(state).st_mode & 0o077 == 0, "the log's folder is open to others")
            check(os.stat(os.path.join(state, "vxcenter.log")).st_mode & 0o077 == 0,
                  "the log is open to others")
        failures_and_prefix(run, tmp)
        print("package: two users installed, updated and started applications and "
              "updated the client, each in his own folder")
        return 0
    finally:
        if run:
            for uid in (65534, 65533):
                subprocess.run(["pkill", "-KILL", "-u", str(uid), "-f", "vxclient"])
            run.close()
        if not installed_before:
            subprocess.run(["dpkg", "-r", "vxcenter"], stdout=subprocess.DEVNULL)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
