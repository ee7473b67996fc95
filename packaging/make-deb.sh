#!/usr/bin/env bash
# Builds the Debian package from an application folder installed under ROOT/opt/zarvo-recorder:
#   packaging/make-deb.sh ROOT VERSION DEPENDS_FILE OUTPUT.deb
# DEPENDS_FILE lists the base libraries the folder does not carry, one "package (>= version)"
# a line. The package adds the commands in /usr/bin, the desktop entry and the icons under
# /usr/share, and the marker by which the program knows that the package manager updates it.
set -euo pipefail
root=$1
version=$2
depends_file=$3
output=$4
here=$(cd "$(dirname "$0")" && pwd)
opt=$root/opt/zarvo-recorder
[ -x "$opt/bin/zarvo-recorder" ] || { echo "make-deb: no application in $opt" >&2; exit 1; }

# The copy installed by the package never replaces itself: the updater sees this file.
: >"$opt/installed-by-package"

mkdir -p "$root/usr/bin" "$root/usr/share/applications" "$root/usr/share/icons" \
    "$root/usr/share/doc/zarvo-recorder" "$root/usr/share/lintian/overrides"
ln -sf /opt/zarvo-recorder/bin/zarvo-recorder "$root/usr/bin/zarvo-recorder"
ln -sf /opt/zarvo-recorder/bin/zarvo-recorder-mcp "$root/usr/bin/zarvo-recorder-mcp"
mv "$opt/share/applications/zarvo-recorder.desktop" "$root/usr/share/applications/"
rmdir "$opt/share/applications"
cp -r "$opt/share/icons/hicolor" "$root/usr/share/icons/"
cp "$here/copyright" "$root/usr/share/doc/zarvo-recorder/copyright"
cat >"$root/usr/share/doc/zarvo-recorder/changelog" <<EOF
zarvo-recorder ($version) stable; urgency=medium

  * Release $version.

 -- ZarvoRecorder publishers <zarvo-recorder@mervane.net>  $(date -u -R)
EOF
gzip -9n "$root/usr/share/doc/zarvo-recorder/changelog"
cp "$here/lintian-overrides" "$root/usr/share/lintian/overrides/zarvo-recorder"

# Owner-only or group-writable modes of the build do not belong in a package.
find "$root" -type d -exec chmod 755 {} +
find "$root" -type f -exec chmod go-w,a+r {} +

depends=$(paste -sd, "$depends_file" | sed 's/,/, /g')
installed_size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
mkdir -p "$root/DEBIAN"
cat >"$root/DEBIAN/control" <<EOF
Package: zarvo-recorder
Version: $version
Architecture: amd64
Maintainer: ZarvoRecorder publishers <zarvo-recorder@mervane.net>
Installed-Size: $installed_size
Depends: $depends
Section: video
Priority: optional
Homepage: https://github.com/mervane/ZarvoRecorder
Description: records several video sources at once, on one clock
 ZarvoRecorder records up to eight video sources, with their sound, into one
 movie per source or one assembled movie, for live performance. It is driven
 from its window, over OSC and OSCQuery, and by AI assistants through
 zarvo-recorder-mcp.
EOF
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -print | sed 's|^\./||' | sort |
    xargs -d '\n' md5sum >DEBIAN/md5sums)
chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
dpkg-deb --root-owner-group -Zxz -z3 --build "$root" "$output" >/dev/null

# Debian's own checker: an error in it is an error of the release.
if command -v lintian >/dev/null; then
    report=$(lintian --fail-on error "$output" 2>&1) || {
        echo "$report" >&2
        echo "make-deb: lintian reports errors on the package" >&2
        exit 1
    }
    [ -z "$report" ] || echo "$report"
fi
