#!/bin/sh
# without-converters.sh PROGRAM ARGS...: runs PROGRAM where the system's character-set
# converters are missing, as on a stripped-down system: a private mount namespace puts an
# empty folder over the gconv folder. Exit 77 (skipped) where no such namespace can be made
# (not root, or a sandbox that forbids it).
set -u
gconv=
for d in /usr/lib/*/gconv /usr/lib64/gconv /usr/lib/gconv; do
  if [ -e "$d/gconv-modules" ] || [ -e "$d/gconv-modules.cache" ]; then
    gconv=$d
    break
  fi
done
[ -n "$gconv" ] || { echo "no gconv folder found"; exit 77; }
unshare -m true 2>/dev/null || { echo "no private mount namespace here"; exit 77; }
empty=$(mktemp -d) || exit 77
trap 'rmdir "$empty"' EXIT
VX_TEST_NO_CONVERTERS=1 unshare -m sh -c \
  'mount --bind "$1" "$2" || { echo "cannot hide $2"; exit 77; }; shift 2; exec "$@"' \
  sh "$empty" "$gconv" "$@"
