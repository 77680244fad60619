#!/usr/bin/env bash
# Installs the client into a temporary prefix, starts the installed client and checks that it
# came up (its link server listens), then builds the .deb and checks its contents.
set -euo pipefail
build=$(cd "${1:?usage: install-test.sh BUILD_DIR}" && pwd)
tmp=$(mktemp -d)
client_pid=
cleanup() {
  [ -n "$client_pid" ] && kill "$client_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
folder="$tmp/prefix/lib/vxcenter"
for f in vxclient libTCPServer.so libDownLoader.so Config/config.xml \
         imgs/sysbutton/imgClose_normal.png; do
  [ -e "$folder/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
[ -L "$tmp/prefix/bin/vxcenter" ] || { echo "bin/vxcenter is missing" >&2; exit 1; }
[ -f "$tmp/prefix/share/applications/vxcenter.desktop" ] || { echo "no desktop entry" >&2; exit 1; }

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
if port_open 8885; then echo "port 8885 is taken by another program" >&2; exit 1; fi
[ "$(id -u)" -eq 0 ] && export QTWEBENGINE_DISABLE_SANDBOX=1
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$tmp" "$tmp/prefix/bin/vxcenter" >"$tmp/client.log" 2>&1 &
client_pid=$!
for _ in $(seq 300); do port_open 8885 && break; sleep 0.1; done
port_open 8885 || { echo "the installed client did not start:" >&2; cat "$tmp/client.log" >&2; exit 1; }
kill "$client_pid"; wait "$client_pid" 2>/dev/null || true; client_pid=
[ -d "$folder/apps" ] || { echo "the client did not make its apps folder" >&2; exit 1; }

(cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -G DEB >/dev/null)
deb=$(ls "$tmp"/*.deb)
dpkg-deb -c "$deb" >"$tmp/contents"
grep -q './opt/vxcenter/lib/vxcenter/vxclient' "$tmp/contents" ||
  { echo "the .deb lacks the client" >&2; exit 1; }
echo "installed and started; $(basename "$deb") built"
