"""A small Chrome DevTools protocol client for driving the client's pages.

The client is started with QTWEBENGINE_REMOTE_DEBUGGING=127.0.0.1:<port>; every browser view
(the main window and each pop-up) is one "page" target. Uses Debian's python3-websocket.
"""
import base64
import json
import time
import urllib.request

import websocket


def targets(port):
    """The page targets of the client, as the DevTools endpoint lists them."""
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/json", timeout=5) as r:
        return [t for t in json.load(r) if t.get("type") == "page"]


class Page:
    """One page target: evaluate script, wait for conditions, take screenshots."""

    def __init__(self, port, url_prefix=None, title=None, timeout=60):
        deadline = time.time() + timeout
        target = None
        while time.time() < deadline:
            try:
                for t in targets(port):
                    if url_prefix and not t.get("url", "").startswith(url_prefix):
                        continue
                    if title is not None and t.get("title") != title:
                        continue
                    target = t
                    break
            except OSError:
                pass
            if target:
                break
            time.sleep(0.2)
        if not target:
            raise TimeoutError(f"no page {url_prefix or ''} {title or ''} on port {port}")
        self.target = target
        self.ws = websocket.create_connection(target["webSocketDebuggerUrl"], timeout=60)
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        msg_id = self.next_id
        self.ws.send(json.dumps({"id": msg_id, "method": method, "params": params}))
        while True:
            msg = json.loads(self.ws.recv())
            if msg.get("id") == msg_id:
                if "error" in msg:
                    raise RuntimeError(f"{method}: {msg['error']}")
                return msg.get("result", {})

    def eval(self, expression):
        """The value of a script expression in the page's main frame (JSON-able values)."""
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                      awaitPromise=True)
        if "exceptionDetails" in r:
            raise RuntimeError(r["exceptionDetails"].get("exception", {}).get("description")
                               or r["exceptionDetails"].get("text"))
        return r.get("result", {}).get("value")

    def wait(self, expression, timeout=60, what=None):
        """Waits until the expression is truthy; returns its value."""
        deadline = time.time() + timeout
        last = None
        while time.time() < deadline:
            try:
                value = self.eval(expression)
                if value:
                    return value
            except RuntimeError as e:
                last = e
            time.sleep(0.2)
        raise TimeoutError(f"waited in vain for {what or expression} ({last})")

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", format="png")["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))
        return path

    def close(self):
        self.ws.close()
