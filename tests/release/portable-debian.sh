#!/usr/bin/env bash
# A release runs on a Debian 12 that never built it: in a bare system holding only the base,
# display, GL and sound client libraries (tests/release/debian-root.sh), the portable folder
# tells its version and records a movie from its own test source over OSC, which ffprobe
# (outside) reads; then the .deb installs there with apt and its command tells the version.
# Runs as root (chroot, mounts).
#   tests/release/portable-debian.sh RELEASE_FOLDER VERSION BUILD_FOLDER
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
release=$(cd "$1" && pwd)
version=$2
build=$3
zip=$release/ZarvoRecorder-$version-linux-x86_64.zip
deb=$release/zarvo-recorder_${version}_amd64.deb
[ -f "$zip" ] && [ -f "$deb" ] || { echo "FAIL: no release $version in $release" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "FAIL: the portability test needs root (chroot)" >&2; exit 1; }

fail() {
    echo "FAIL: $*" >&2
    for log in "$root"/root/*.log; do
        [ -f "$log" ] && { echo "--- $log" >&2; tail -30 "$log" >&2; }
    done
    exit 1
}

tarball=$("$here/debian-root.sh" "$build")
root=$(mktemp -d /tmp/zarvo-debian12-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    umount "$root/dev/shm" 2>/dev/null || true
    umount "$root/proc" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$tarball"
mount -t proc proc "$root/proc"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
}
# In the background, with the program's own process number in pids (to stop it).
start_in_root() {
    local log=$1
    shift
    (exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LANG=C.UTF-8 "$@" >"$log" 2>&1) &
    pids+=($!)
}

echo "== The portable folder in a bare Debian 12"
(cd "$root/root" && unzip -q "$zip")
app=/root/ZarvoRecorder.app
# Every program and plugin finds all its libraries there.
missing=$(in_root sh -c "for f in $app/bin/zarvo-* $app/plugins/*/*.so; do
    ldd \"\$f\" | grep 'not found' | sed \"s|^|\$f: |\"; done; true")
[ -z "$missing" ] || fail "libraries missing in a bare Debian 12:"$'\n'"$missing"
got=$(in_root "$app/bin/zarvo-recorder" --version) || fail "zarvo-recorder --version failed"
[ "$got" = "$version" ] || fail "zarvo-recorder --version says \"$got\", not $version"

# A short take from the bundled test source, driven over OSC from outside the system.
osc=$((20000 + RANDOM % 20000))
query=$((osc + 1))
start_in_root "$root/root/source.log" "$app/bin/zarvo-test-source" --name Pattern --size 320x240
start_in_root "$root/root/recorder.log" ZARVO_OSC_PORT=$osc ZARVO_OSCQUERY_PORT=$query \
    ZARVO_DISABLE_UPDATE_CHECK=1 "$app/bin/zarvo-recorder" --headless
value() {
    curl -sf -m 2 "http://127.0.0.1:$query$1?VALUE" |
        python3 -c 'import json, sys; print(json.load(sys.stdin)["VALUE"][0])' 2>/dev/null || true
}
wait_for() {
    local address=$1 expected=$2 seconds=$3
    for _ in $(seq $((seconds * 5))); do
        [ "$(value "$address")" = "$expected" ] && return 0
        sleep 0.2
    done
    fail "$address did not become \"$expected\" (it is \"$(value "$address")\")"
}
mkdir -p "$root/root/movies"
wait_for /status/state idle 30
oscsend 127.0.0.1 "$osc" /folder s /root/movies
oscsend 127.0.0.1 "$osc" /output s separate
oscsend 127.0.0.1 "$osc" /codec s h264
oscsend 127.0.0.1 "$osc" /source/1 s pattern
wait_for /status/source/1/online 1 30
oscsend 127.0.0.1 "$osc" /record i 1
wait_for /status/state recording 10
sleep 3
oscsend 127.0.0.1 "$osc" /record i 0
wait_for /status/state idle 60
movie=$(value /status/source/1/file)
[ -n "$movie" ] && [ -f "$root$movie" ] || fail "no movie was written (\"$movie\")"
probe=$(ffprobe -v error -select_streams v:0 -count_frames \
    -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 "$root$movie") ||
    fail "ffprobe cannot read $movie"
IFS=, read -r codec width height frames <<<"$probe"
[ "$codec" = h264 ] || fail "the movie's codec is $codec, not h264"
[ "$frames" -ge 30 ] || fail "the movie holds $frames frames, fewer than a second's"
echo "Recorded $movie: $codec ${width}x$height, $frames frames"

echo "== The package in a bare Debian 12"
cp "$deb" "$root/root/"
in_root DEBIAN_FRONTEND=noninteractive apt-get install -y -q "/root/$(basename "$deb")" \
    >"$root/root/apt.log" 2>&1 ||
    fail "apt could not install $(basename "$deb")"
[ -f "$root/opt/zarvo-recorder/installed-by-package" ] || fail "the package's marker is missing"
got=$(in_root zarvo-recorder --version) || fail "the installed zarvo-recorder --version failed"
[ "$got" = "$version" ] || fail "the installed zarvo-recorder says \"$got\", not $version"
[ -f "$root/usr/share/applications/zarvo-recorder.desktop" ] || fail "no desktop entry"
grep -q '^Exec=/opt/zarvo-recorder/bin/zarvo-recorder' \
    "$root/usr/share/applications/zarvo-recorder.desktop" || fail "the entry names another program"
echo "PASS: the release $version runs on a bare Debian 12"
