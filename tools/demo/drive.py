#!/usr/bin/env python3
"""Drives the running client through its page: logs in with the demo account, saves a
screenshot of the user's applications, starts an install and saves a screenshot of it; with
--offline, a screenshot of the client's offline page (the service stopped)."""
import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vxcdp  # noqa: E402
import xwdshot  # noqa: E402

BASE = "http://127.0.0.1:18080/"


def window_shot(args, path):
    """The client's whole window (title bar included) from the Xvfb screen."""
    env = dict(os.environ)
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(args.client_pid),
                            "--name", "."], env=env, capture_output=True, text=True)
    windows = found.stdout.split()
    geometry = xwdshot.window_geometry(windows[0], env) if windows else None
    return xwdshot.screenshot(args.fbdir, path, geometry)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--user", default="demo")
    ap.add_argument("--password", default="demo123")
    ap.add_argument("--fbdir", help="Xvfb's -fbdir, for a screenshot of the whole window")
    ap.add_argument("--client-pid", type=int)
    ap.add_argument("--offline", action="store_true",
                    help="the service is stopped: a screenshot of the client's offline page")
    args = ap.parse_args()

    if args.offline:
        page = vxcdp.Page(args.port, url_prefix="vxoffline://", timeout=90)
        page.wait("document.readyState === 'complete' && typeof _GetOfflineApps === 'function'",
                  what="the offline page")
        time.sleep(1)
        print(f"==> screenshot: {os.path.abspath(page.screenshot(os.path.join(args.out, 'offline.png')))}")
        return

    page = vxcdp.Page(args.port, url_prefix=BASE, timeout=90)
    page.wait("document.readyState === 'complete' && typeof _LoginFun === 'function'",
              what="the start page with the client's functions")
    page.eval(f"""(function () {{
        document.getElementById('user').value = {args.user!r};
        document.getElementById('pwd').value = {args.password!r};
        document.getElementById('btnLogin').click();
        return true; }})()""")
    page.wait("document.querySelectorAll('#mineGrid .tile').length > 0", timeout=60,
              what="the user's applications after login")
    time.sleep(1)
    shots = [page.screenshot(os.path.join(args.out, "catalogue.png"))]
    if args.fbdir and args.client_pid:
        shots.append(window_shot(args, os.path.join(args.out, "window.png")))

    # Install the first application that is not installed yet (not a necessary one, whose
    # status the page does not show).
    started = page.eval("""(function () {
        var tiles = document.querySelectorAll('#mineGrid .tile');
        for (var i = 0; i < tiles.length; i++) {
            var b = tiles[i].querySelector('.act-main'), badge = tiles[i].querySelector('.badge');
            if (b && !b.disabled && /安装/.test(b.textContent) && /未安装/.test(badge.textContent)) {
                b.click(); return tiles[i].dataset.id; }
        }
        return null; })()""")
    if started:
        tile = f"document.querySelector('#mineGrid .tile[data-id=\"{started}\"]')"
        page.wait(f"/安装|%/.test(({tile} || {{}}).textContent)", timeout=30,
                  what="the install to start")
        time.sleep(0.5)
        shots.append(page.screenshot(os.path.join(args.out, "install.png")))
        page.wait(f"/正常|有升级/.test((({tile} || {{}}).querySelector('.badge') || {{}}).textContent)",
                  timeout=120,
                  what="the install to finish")
        shots.append(page.screenshot(os.path.join(args.out, "installed.png")))
    for s in shots:
        print(f"==> screenshot: {os.path.abspath(s)}")


if __name__ == "__main__":
    main()
