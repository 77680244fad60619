#!/usr/bin/env python3
"""End-to-end: an update through the real client where the demo service offers patches.

An application is published with one release and installed from its package; a second
release changes a few KiB of its large file. The update through the client's page must
fetch the patch the service offers for that file, not the file itself, and leave the new
file byte for byte on disk. What was fetched is read from the service's own log: its
request lines ("GET /path STATUS") and what it streamed ("SENT /path N")."""
import os
import random
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_e2e import ClientCase, SERVICE  # noqa: E402

APP_ID = "90"
APP_DIR = "patchdemo"
MAIN = "tool.sh"
BIG = "data/big.bin"
BIG_SIZE = 2 << 20


def release_files(big):
    """The files of a release: the main program, a large file and a small unchanged one."""
    return {
        MAIN: b"#!/bin/sh\necho patch demo\n",
        BIG: big,
        "notes.txt": b"release notes, the same in every release\n",
    }


def changed(big, rng):
    """The large file with three scattered runs of 1 KiB replaced."""
    out = bytearray(big)
    for at in (4096, BIG_SIZE // 2 + 123, BIG_SIZE - 8192):
        out[at:at + 1024] = rng.randbytes(1024)
    return bytes(out)


def write_tree(root, files):
    for name, body in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(body)
        os.chmod(path, 0o755 if name == MAIN else 0o644)


def write_package(path, files, version, zip_name):
    descriptor = (f'<?xml version="1.0" encoding="utf-8"?>\n<info>\n  <appId>{APP_ID}</appId>\n'
                  f'  <version>{version}</version>\n  <MainFile>{MAIN}</MainFile>\n'
                  f'  <zipFile>{zip_name}</zipFile>\n</info>\n').encode()
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, body in dict(files, **{"version.xml": descriptor}).items():
            info = zipfile.ZipInfo(name)
            info.create_system = 3
            info.external_attr = (0o100755 if name == MAIN else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, body)


class PatchUpdateE2E(ClientCase):
    """An update of an installed application whose changed file the service offers a
    patch for (user demo gets the application added to its list)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.data = os.path.join(cls.tmp, "data")
        rng = random.Random(20261211)
        cls.v1 = release_files(rng.randbytes(BIG_SIZE))
        cls.v2 = dict(cls.v1, **{BIG: changed(cls.v1[BIG], rng)})
        cls.releases = tempfile.mkdtemp(prefix="releases-", dir=cls.tmp)
        cls.package = os.path.join(cls.releases, f"{APP_DIR}-1.0.zip")
        write_package(cls.package, cls.v1, "1.0", os.path.basename(cls.package))
        cls.publish("1.0", cls.v1)

    @classmethod
    def publish(cls, version, files):
        """Publishes a release through the service's own command, as an operator does."""
        folder = os.path.join(cls.releases, version)
        write_tree(folder, files)
        subprocess.run([SERVICE, "--data", cls.data, "add-app", "--id", APP_ID,
                        "--name", "补丁演示", "--dir", APP_DIR, "--main", MAIN,
                        "--version", version, "--package", cls.package, "--files", folder,
                        "--user", "demo"], check=True, capture_output=True, timeout=120)

    def sent(self, lines, path):
        """The bytes the service streamed of `path` in the given log lines."""
        return sum(int(p[2]) for p in (line.split() for line in lines)
                   if len(p) == 3 and p[0] == "SENT" and p[1] == path)

    def test_an_update_fetches_the_patch_of_a_changed_file_not_the_file(self):
        page = self.start_client()
        self.assertIn(APP_ID, self.logged_in(page))
        self.install(page, APP_ID)
        installed = os.path.join(self.folder, "apps", APP_DIR)
        with open(os.path.join(installed, BIG), "rb") as f:
            self.assertEqual(f.read(), self.v1[BIG])

        self.publish("2.0", self.v2)
        log_before = len(self.service_requests(""))
        # The page learns of the new release with the user's next list.
        page.eval("_GetMyApps(); true")
        page.wait(f"_CheckAPP('{APP_ID}') === '有升级'", 120, "the new release offered")
        self.assertEqual(page.eval(f"_UpdateApp('{APP_ID}')"), "正在升级")
        page.wait(f"_CheckAPP('{APP_ID}') === '正常'", 120, "the update")

        lines = self.service_requests("")[log_before:]
        prefix = f"/apps/{APP_DIR}/"
        gets = [line for line in lines if line.startswith("GET " + prefix)]
        patch_gets = [line for line in gets if line.startswith(f"GET {prefix}patches/")]
        self.assertTrue([line for line in patch_gets if line.endswith(" 200")], gets)
        # The changed file never whole; the unchanged ones not at all.
        for name in (BIG, "notes.txt", MAIN):
            self.assertFalse([line for line in gets if line.split()[1] == prefix + name], gets)
        streamed = sum(self.sent(lines, line.split()[1]) for line in set(gets))
        self.assertGreater(self.sent(lines, patch_gets[0].split()[1]), 0, lines)
        self.assertLess(streamed, BIG_SIZE // 20, lines)

        for name, body in self.v2.items():
            with open(os.path.join(installed, name), "rb") as f:
                self.assertEqual(f.read(), body, name)
        self.assertTrue(os.access(os.path.join(installed, MAIN), os.X_OK))
        self.assertFalse([f for f in os.listdir(installed) if ".vx" in f], os.listdir(installed))


if __name__ == "__main__":
    unittest.main()
