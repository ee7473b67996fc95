#!/usr/bin/env bash
# The road of a release, from the publisher's command to a copy that updated itself:
#  - without a key, scripts/release.sh stops, says why and writes nothing;
#  - with a key made here, it makes releases A and B whose archives carry the publisher's
#    public key and verify against it, whose manifest announces them, and whose package holds
#    the same folder under /opt;
#  - A runs on a bare Debian 12 (portable-debian.sh);
#  - A, installed in a home's Applications folder, updates itself to B served on loopback from
#    its own update sheet, the new copy runs, and forged or stale releases are refused
#    (update-road.sh).
#   tests/release/release-test.sh BUILD_FOLDER UPDATER_CHILD
# UPDATER_CHILD is the tests' updater program (tests/App/UpdaterChild.cpp), through which the
# refused releases are offered (update-road.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_root=$(cd "$here/../.." && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
child=$2
work=$(mktemp -d /tmp/zarvo-release-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
json_field() {  # FILE KEY
    python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$1" "$2"
}

echo "== A release needs the publisher's key"
mkdir "$work/nokey"
if env -u ZARVO_RELEASE_KEY "$source_root/scripts/release.sh" 1.0.0 "$work/nokey" \
    >"$work/nokey.log" 2>&1; then
    fail "scripts/release.sh made a release without ZARVO_RELEASE_KEY"
fi
grep -q "ZARVO_RELEASE_KEY is not set" "$work/nokey.log" || fail "no clear message: $(cat "$work/nokey.log")"
openssl genpkey -algorithm rsa -pkeyopt rsa_keygen_bits:1024 -out "$work/rsa.pem" 2>/dev/null
if ZARVO_RELEASE_KEY=$work/rsa.pem "$source_root/scripts/release.sh" 1.0.0 "$work/nokey" \
    >"$work/nokey.log" 2>&1; then
    fail "scripts/release.sh signed with a key that is not Ed25519"
fi
[ -z "$(ls -A "$work/nokey")" ] || fail "a refused release left files: $(ls -A "$work/nokey")"

echo "== Releases A (1.0.0) and B (1.1.0), signed with a test key"
openssl genpkey -algorithm ed25519 -out "$work/key.pem"
export ZARVO_RELEASE_KEY=$work/key.pem
port=$((20000 + RANDOM % 20000))
printf 'Second release.\n' >"$work/notes-en.txt"
printf 'Deuxième version.\n' >"$work/notes-fr.txt"
started=$(date +%s)
"$source_root/scripts/release.sh" 1.0.0 "$work/A" --build 100 \
    --base-url "http://127.0.0.1:$port/" || fail "release A failed"
echo "Release A took $(($(date +%s) - started)) s"
"$source_root/scripts/release.sh" 1.1.0 "$work/B" --build 101 --base-url "http://127.0.0.1:$port" \
    --notes-en "$work/notes-en.txt" --notes-fr "$work/notes-fr.txt" || fail "release B failed"
[ -z "$(ls -A "$work/B" | grep -v -e '^ZarvoRecorder-1.1.0-linux-x86_64.zip$' \
    -e '^ZarvoRecorder-1.1.0-linux-x86_64.zip.sig$' -e '^manifest.json$' \
    -e '^zarvo-recorder_1.1.0_amd64.deb$')" ] || fail "unexpected files in OUTDIR: $(ls -A "$work/B")"

echo "== What release B holds"
zip=$work/B/ZarvoRecorder-1.1.0-linux-x86_64.zip
unzip -q "$zip" -d "$work/B-unpacked"
app=$work/B-unpacked/ZarvoRecorder.app
[ "$(ls "$work/B-unpacked")" = ZarvoRecorder.app ] || fail "the archive has more than one top folder"
for program in zarvo-recorder zarvo-recorder-mcp zarvo-test-source; do
    [ -x "$app/bin/$program" ] || fail "bin/$program is missing"
    readelf -d "$app/bin/$program" | grep -q 'RUNPATH.*\[\$ORIGIN/../lib\]' ||
        fail "bin/$program does not look for its libraries in lib/"
done
for file in plugins/platforms/libqxcb.so plugins/platforms/libqwayland-generic.so \
    plugins/platforms/libqoffscreen.so translations/qtbase_fr.qm bin/qt.conf lib/libQt6Core.so.6; do
    [ -f "$app/$file" ] || fail "$file is missing from the folder"
done
[ ! -e "$app/installed-by-package" ] || fail "the portable folder says it was installed by a package"
[ "$(json_field "$app/Info.json" CFBundleShortVersionString)" = 1.1.0 ] || fail "Info.json's version"
[ "$(json_field "$app/Info.json" CFBundleVersion)" = 101 ] || fail "Info.json's build"
# The public key in Info.json, as an installed copy reads it, verifies the signature.
public=$(json_field "$app/Info.json" ZarvoUpdatePublicKey)
{ printf '\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00'; printf '%s' "$public" | base64 -d; } >"$work/public.der"
openssl pkey -pubin -inform DER -in "$work/public.der" -out "$work/public.pem" ||
    fail "Info.json's ZarvoUpdatePublicKey is not an Ed25519 key"
base64 -d "$zip.sig" >"$work/signature.bin"
openssl pkeyutl -verify -pubin -inkey "$work/public.pem" -rawin -in "$zip" \
    -sigfile "$work/signature.bin" >/dev/null || fail "the signature does not verify with Info.json's key"
manifest=$work/B/manifest.json
[ "$(json_field "$manifest" version)" = 1.1.0 ] || fail "the manifest's version"
[ "$(json_field "$manifest" build)" = 101 ] || fail "the manifest's build"
[ "$(json_field "$manifest" url)" = "http://127.0.0.1:$port/ZarvoRecorder-1.1.0-linux-x86_64.zip" ] ||
    fail "the manifest's address: $(json_field "$manifest" url)"
[ "$(json_field "$manifest" sha256)" = "$(sha256sum "$zip" | cut -d' ' -f1)" ] || fail "the manifest's sha256"
[ "$(json_field "$manifest" ed25519)" = "$(tr -d '\n' <"$zip.sig")" ] || fail "the manifest's ed25519"
[ "$(json_field "$manifest" notes_fr)" = "Deuxième version." ] || fail "the manifest's French notes"
deb=$work/B/zarvo-recorder_1.1.0_amd64.deb
contents=$(dpkg-deb -c "$deb")
for entry in ./opt/zarvo-recorder/installed-by-package ./opt/zarvo-recorder/Info.json \
    './usr/bin/zarvo-recorder -> /opt/zarvo-recorder/bin/zarvo-recorder' \
    './usr/bin/zarvo-recorder-mcp -> /opt/zarvo-recorder/bin/zarvo-recorder-mcp' \
    ./usr/share/applications/zarvo-recorder.desktop \
    ./usr/share/icons/hicolor/256x256/apps/zarvo-recorder.png; do
    grep -qF -- "$entry" <<<"$contents" || fail "the package lacks $entry"
done
depends=$(dpkg-deb -f "$deb" Depends)
grep -qi 'qt6\|libav\|libcurl\|libssl' <<<"$depends" && fail "the package depends on what it carries: $depends"
# The release command itself refuses a package on which lintian reports an error.
command -v lintian >/dev/null || fail "lintian is missing (scripts/setup.sh installs it)"

echo "== Release A on a bare Debian 12"
"$here/portable-debian.sh" "$work/A" 1.0.0 "$build"

"$here/update-road.sh" "$work/A" "$work/B" "$work/key.pem" "$port" "$child"
echo "PASS: releases are made, run on a bare Debian 12, update an installed copy and no forged one"
