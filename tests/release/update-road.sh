#!/usr/bin/env bash
# An installed copy and the releases offered to it, all served on loopback:
#  - release A, installed in a home's Applications folder and started with its window on a
#    virtual X server, is driven from the keyboard to check for updates and to install release B
#    from its update sheet; it quits, its folder becomes B's and the new copy runs;
#  - then the installed copy (now B) is offered forged and stale releases, each refused with its
#    own error, leaving the installed folder exactly as it was and no work folder behind: an
#    archive signed with another key, a good signature over another archive, an archive that is
#    not the one its digest names, an older signed release announced as new, a release record
#    without the archive's ".sig" asset, plain http addresses off this computer (directly and
#    through a redirect), and an archive signed with the publisher's key whose links, followed
#    one after the other, lead out of the folder.
#   tests/release/update-road.sh RELEASE_A RELEASE_B KEY PORT UPDATER_CHILD
# RELEASE_A and RELEASE_B are folders written by scripts/release.sh (versions 1.0.0 build 100
# and 1.1.0 build 101) with the private key KEY, B's base address being http://127.0.0.1:PORT/.
# UPDATER_CHILD is the tests' updater program (tests/App/UpdaterChild.cpp): what an installed
# copy's update sheet does, without a window, printing the error it ends with; the refusals use
# it to read each error's own text.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
release_a=$(cd "$1" && pwd)
release_b=$(cd "$2" && pwd)
key=$3
port=$4
child=$5
zip_a=$release_a/ZarvoRecorder-1.0.0-linux-x86_64.zip
zip_b_name=ZarvoRecorder-1.1.0-linux-x86_64.zip
zip_b=$release_b/$zip_b_name
work=$(mktemp -d /tmp/zarvo-update-road-XXXXXX)
home=$work/home
installed=$home/Applications/ZarvoRecorder.app
site=$work/site  # what the loopback server serves
tmp=$work/tmp    # the updater's temporary folder: its work folders go here
mkdir -p "$home/Applications" "$site" "$tmp"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# Into the served folder, without copying when it can.
place() {  # FILE
    ln -f "$1" "$site/" 2>/dev/null || cp "$1" "$site/"
}
json_field() {  # FILE KEY
    python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$1" "$2"
}
osc=$((port + 1))
local_url=http://127.0.0.1:$port
# The update sheet's work, as the installed copy does it, with the manifest or record at URL.
run_child() {  # URL
    HOME=$home ZARVO_UPDATE_URL=$1 TMPDIR=$tmp ZARVO_OSC_PORT=$osc \
        ZARVO_OSCQUERY_PORT=$((osc + 1)) DISPLAY='' WAYLAND_DISPLAY='' \
        "$child" "$installed" "$work/settings.json"
}
# The copy started from the installed folder, by its own path.
stop_installed_copy() {
    local copy
    for copy in $(pgrep -f -- "^$installed/bin/zarvo-recorder" || true); do
        kill "$copy" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$copy" 2>/dev/null || break; sleep 0.1; done
    done
}
trap 'stop_installed_copy; cleanup' EXIT

echo "== A updates itself to B, served on loopback"
for file in "$zip_b" "$zip_b.sig" "$release_b/manifest.json"; do place "$file"; done
python3 "$here/serve-folder.py" "$site" "$port" >"$work/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
    curl -sf -o /dev/null "$local_url/manifest.json" && break
    sleep 0.2
done
unzip -q "$zip_a" -d "$home/Applications"
[ "$("$installed/bin/zarvo-recorder" --version)" = 1.0.0 ] || fail "A does not run"
# A's own program with its window, on a virtual X server of this test, as a person runs it: its
# application menu's "Check for Updates…" (reached from the keyboard) opens the update sheet,
# whose default button installs and relaunches.
for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
Xvfb -displayfd 1 -nolisten tcp -screen 0 1280x800x24 >"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "the virtual X server did not start: $(cat "$work/xvfb.log")"
DISPLAY=:$(head -1 "$work/display")
export DISPLAY
mkdir -m 700 "$work/runtime"
HOME=$home ZARVO_UPDATE_URL=$local_url/manifest.json TMPDIR=$tmp XDG_RUNTIME_DIR=$work/runtime \
    ZARVO_OSC_PORT=$osc ZARVO_OSCQUERY_PORT=$((osc + 1)) WAYLAND_DISPLAY='' \
    "$installed/bin/zarvo-recorder" >"$work/A.log" 2>&1 &
copy_a=$!
window=$(timeout 60 xdotool search --sync --name '^ZarvoRecorder$' | head -1) ||
    fail "A shows no window: $(cat "$work/A.log")"
open_sheet() {
    xdotool windowfocus --sync "$window" key alt
    sleep 0.5
    xdotool key Return
    sleep 0.5
    xdotool key Down Return
}
sheet_name='^(ZarvoRecorder Update|Mise à jour de ZarvoRecorder)$'
open_sheet
timeout 30 xdotool search --sync --onlyvisible --name "$sheet_name" >/dev/null ||
    fail "the menu did not open the update sheet: $(cat "$work/A.log")"
# The sheet offers the installation once its check found B; Return before that answers "OK" and
# closes it, and the menu opens it again.
for _ in $(seq 30); do
    grep -q "GET /$zip_b_name " "$work/server.log" && break
    sleep 1
    sheet=$(xdotool search --onlyvisible --name "$sheet_name" | head -1 || true)
    if [ -z "$sheet" ]; then
        open_sheet
    else
        xdotool windowfocus --sync "$sheet" key Return 2>/dev/null || true
    fi
done
grep -q "GET /$zip_b_name " "$work/server.log" ||
    fail "the sheet did not download B: $(cat "$work/A.log" "$work/server.log")"
for _ in $(seq 300); do kill -0 "$copy_a" 2>/dev/null || break; sleep 0.2; done
kill -0 "$copy_a" 2>/dev/null && fail "A did not quit to be replaced: $(cat "$work/A.log")"
wait "$copy_a" || fail "A quit with an error: $(cat "$work/A.log")"
# The replacer swaps the folders once the old copy has quit, then starts the new one.
for _ in $(seq 150); do
    [ "$(json_field "$installed/Info.json" CFBundleShortVersionString 2>/dev/null)" = 1.1.0 ] && break
    sleep 0.2
done
[ "$(json_field "$installed/Info.json" CFBundleShortVersionString)" = 1.1.0 ] ||
    fail "A's folder was not replaced by B"
[ "$("$installed/bin/zarvo-recorder" --version)" = 1.1.0 ] || fail "the new copy does not run"
state=""
for _ in $(seq 150); do
    state=$(curl -sf -m 2 "http://127.0.0.1:$((osc + 1))/status/state?VALUE" || true)
    [ -n "$state" ] && break
    sleep 0.2
done
[ -n "$state" ] || fail "the new copy was not started after the update"
[ "$(ls -A "$home/Applications")" = ZarvoRecorder.app ] ||
    fail "the update left folders beside the application: $(ls -A "$home/Applications")"
for _ in $(seq 50); do [ -z "$(ls -A "$tmp")" ] && break; sleep 0.2; done
[ -z "$(ls -A "$tmp")" ] || fail "the update left its work folder: $(ls -A "$tmp")"
timeout 60 xdotool search --sync --name '^ZarvoRecorder$' >/dev/null ||
    fail "the new copy shows no window"
stop_installed_copy
echo "PASS: A updated itself to B from its update sheet"

echo "== Forged and stale releases offered to the installed copy (1.1.0, build 101)"
# Every file, link and folder of the installed copy with its mode, time and content, and the
# folder itself: any change to it, even a swap for an equal copy, changes this.
tree_digest() {
    stat -c '%i' "$1"
    (cd "$1" && find . -printf '%p %y %m %T@ %l\n' | LC_ALL=C sort &&
        find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
}
tree_digest "$installed" >"$work/before.txt"
sign() {  # FILE KEY: the base64 Ed25519 signature
    openssl pkeyutl -sign -inkey "$2" -rawin -in "$1" | base64 -w0
}
# A manifest in site/NAME/, announcing VERSION (BUILD) at URL with the digest and signature.
offer() {  # NAME VERSION BUILD URL SHA256 SIGNATURE
    mkdir -p "$site/$1"
    python3 -c 'import json, sys
out, version, build, url, sha256, signature = sys.argv[1:]
json.dump({"version": version, "build": int(build), "url": url, "sha256": sha256,
           "ed25519": signature, "notes_en": "Forged.", "notes_fr": "Falsifiée."},
          open(out, "w"))' "$site/$1/manifest.json" "${@:2}"
}
# The update at URL fails with MESSAGE, and nothing changed.
refused() {  # WHAT URL MESSAGE
    local log=$work/refused.log
    if run_child "$2" >"$log" 2>&1; then
        fail "$1: the update was not refused: $(cat "$log")"
    fi
    grep -qxF "message $3" "$log" || fail "$1: not refused with its own error: $(cat "$log")"
    tree_digest "$installed" | cmp -s - "$work/before.txt" || fail "$1: the installed copy changed"
    [ -z "$(ls -A "$tmp")" ] || fail "$1: the update left its work folder: $(ls -A "$tmp")"
    [ "$(ls -A "$home/Applications")" = ZarvoRecorder.app ] ||
        fail "$1: the update left folders beside the application: $(ls -A "$home/Applications")"
    [ ! -e "$work/payload-ran" ] || fail "$1: something of the archive ran"
    echo "refused: $1"
}
sha_b=$(sha256sum "$zip_b" | cut -d' ' -f1)
signature_b=$(tr -d '\n' <"$zip_b.sig")
not_publisher="The update's signature is not the publisher's (Ed25519); nothing was installed."

openssl genpkey -algorithm ed25519 -out "$work/other-key.pem"
offer other-key 1.2.0 102 "$local_url/$zip_b_name" "$sha_b" "$(sign "$zip_b" "$work/other-key.pem")"
refused "signed with another key" "$local_url/other-key/manifest.json" "$not_publisher"

# B with a program of someone else's added, its digest in the manifest, B's own signature.
mkdir -p "$work/payload/ZarvoRecorder.app/bin"
printf '#!/bin/sh\ntouch %s/payload-ran\n' "$work" >"$work/payload/ZarvoRecorder.app/bin/payload"
chmod +x "$work/payload/ZarvoRecorder.app/bin/payload"
cp "$zip_b" "$site/other-archive.zip"
(cd "$work/payload" && zip -qy "$site/other-archive.zip" ZarvoRecorder.app/bin/payload)
sha_other=$(sha256sum "$site/other-archive.zip" | cut -d' ' -f1)
offer other-archive 1.2.0 102 "$local_url/other-archive.zip" "$sha_other" "$signature_b"
refused "a good signature over another archive" "$local_url/other-archive/manifest.json" \
    "$not_publisher"
offer other-digest 1.2.0 102 "$local_url/other-archive.zip" "$sha_b" "$signature_b"
refused "an archive that is not the one its digest names" \
    "$local_url/other-digest/manifest.json" "SHA-256 checksum verification failed."

# A, older and signed with the right key, served as a newer release; announced as what it is,
# it is no update at all.
place "$zip_a"
offer older 1.2.0 102 "$local_url/$(basename "$zip_a")" "$(sha256sum "$zip_a" | cut -d' ' -f1)" \
    "$(tr -d '\n' <"$zip_a.sig")"
refused "an older signed release" "$local_url/older/manifest.json" \
    "The downloaded application is version 1.0.0 (100), not the announced 1.2.0 (102)."
offer older-as-is 1.0.0 100 "$local_url/$(basename "$zip_a")" \
    "$(sha256sum "$zip_a" | cut -d' ' -f1)" "$(tr -d '\n' <"$zip_a.sig")"
run_child "$local_url/older-as-is/manifest.json" >"$work/older.log" 2>&1 || true
if ! grep -qx "state upToDate" "$work/older.log" ||
    grep -q "state downloading" "$work/older.log"; then
    fail "an older release announced as such was taken for an update: $(cat "$work/older.log")"
fi

# The release page's record, as the repository service answers for the latest release.
record() {  # NAME WITH_SIGNATURE
    mkdir -p "$site/$1"
    python3 -c 'import json, sys
out, base, name, sha256, signed = sys.argv[1:]
assets = [{"name": name, "browser_download_url": base + "/" + name, "digest": "sha256:" + sha256}]
if signed == "yes":
    assets.append({"name": name + ".sig", "browser_download_url": base + "/" + name + ".sig"})
json.dump({"tag_name": "v1.2.0", "html_url": base + "/releases/v1.2.0", "body": "Forged.",
           "assets": assets}, open(out, "w"))' "$site/$1/record.json" "$local_url" "$zip_b_name" \
        "$sha_b" "$2"
}
record unsigned-record no
refused "a release record without the \".sig\" asset" "$local_url/unsigned-record/record.json" \
    "The release carries no Ed25519 signature of its archive ($zip_b_name.sig), so the update cannot be verified."
# With the asset, the same record's signature is fetched and holds: B is refused only because
# it is not the 1.2.0 the record announces.
record signed-record yes
refused "a signed release record announcing another version" \
    "$local_url/signed-record/record.json" \
    "The downloaded application is version 1.1.0 (101), not the announced 1.2.0."

elsewhere=http://192.0.2.1/$zip_b_name  # an address off this computer, never reached
refused "an http manifest off this computer" "http://192.0.2.1/manifest.json" \
    "Address refused: updates travel over https only (http://192.0.2.1/manifest.json)."
offer plain-http 1.2.0 102 "$elsewhere" "$sha_b" "$signature_b"
refused "an http archive off this computer" "$local_url/plain-http/manifest.json" \
    "Address refused: updates travel over https only ($elsewhere)."
mkdir -p "$site/moved"
echo "$elsewhere" >"$site/moved/$zip_b_name.redirect"
offer redirected 1.2.0 102 "$local_url/moved/$zip_b_name" "$sha_b" "$signature_b"
refused "a redirect to http off this computer" "$local_url/redirected/manifest.json" \
    "Address refused: updates travel over https only ($elsewhere)."

# Two links at the end of B's archive: "up" leads to the folder holding ZarvoRecorder.app and
# "out" to "up/..", each inside the archive when read alone, outside once followed in turn.
mkdir -p "$work/chain/ZarvoRecorder.app"
ln -s .. "$work/chain/ZarvoRecorder.app/up"
ln -s up/.. "$work/chain/ZarvoRecorder.app/out"
cp "$zip_b" "$site/chain.zip"
(cd "$work/chain" && zip -qy "$site/chain.zip" ZarvoRecorder.app/up ZarvoRecorder.app/out)
offer chain 1.2.0 102 "$local_url/chain.zip" "$(sha256sum "$site/chain.zip" | cut -d' ' -f1)" \
    "$(sign "$site/chain.zip" "$key")"
refused "a chain of links leaving the folder" "$local_url/chain/manifest.json" \
    "Archive extraction failed: link leading outside the archive's folder: ZarvoRecorder.app/out"

[ "$("$installed/bin/zarvo-recorder" --version)" = 1.1.0 ] || fail "the installed copy no longer runs"
echo "PASS: A updated itself to B, and every forged or stale release was refused with nothing changed"
