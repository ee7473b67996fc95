#!/usr/bin/env bash
# Prints the path of a tarball of a bare Debian 12 (debootstrap's minbase) holding only the
# base, display, GL and sound client libraries of packaging/system-packages.txt: a machine
# that never built ZarvoRecorder. Made once per build folder and package list:
#   tests/release/debian-root.sh BUILD_FOLDER
# Fails, saying so, when the Debian archive cannot be reached.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
mirror=${ZARVO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
suite=bookworm

packages=$(sed 's/#.*//' "$here/../../packaging/system-packages.txt" | awk 'NF' | paste -sd,)
key=$(printf '%s %s %s' "$suite" "$mirror" "$packages" | sha256sum | cut -c1-16)
tarball=$build/debian12-$key.tar
if [ -f "$tarball" ]; then
    echo "$tarball"
    exit 0
fi

if ! curl -sfI -m 30 "$mirror/dists/$suite/Release" >/dev/null; then
    echo "The Debian archive cannot be reached ($mirror): the portability test cannot run" >&2
    exit 1
fi
root=$(mktemp -d "$build/debian12-XXXXXX")
trap 'rm -rf "$root"' EXIT
echo "Making a bare Debian 12 in $root (once per build folder)" >&2
if ! debootstrap --variant=minbase --include="$packages" "$suite" "$root" "$mirror" \
    >"$root.log" 2>&1; then
    tail -20 "$root.log" >&2
    echo "debootstrap could not make a Debian 12 from $mirror" >&2
    exit 1
fi
rm -f "$root.log"
rm -rf "$root/var/cache/apt/archives/"*.deb
tar -C "$root" -cf "$tarball.part" .
mv "$tarball.part" "$tarball"
echo "$tarball"
