#!/usr/bin/env bash
# Makes a release of ZarvoRecorder, signed with the publisher's Ed25519 private key:
#
#   ZARVO_RELEASE_KEY=/path/to/key.pem scripts/release.sh VERSION OUTDIR \
#       [--base-url URL] [--notes-en FILE --notes-fr FILE] [--build NUMBER]
#
# Writes into OUTDIR:
#   ZarvoRecorder-VERSION-linux-x86_64.zip      the portable application folder ZarvoRecorder.app
#   ZarvoRecorder-VERSION-linux-x86_64.zip.sig  the Ed25519 signature of the zip's bytes, base64
#   manifest.json                               what installed copies read to find the update
#   zarvo-recorder_VERSION_amd64.deb            the same folder, installed under /opt
# --base-url is where the zip will be served (the manifest's download address is it followed by
# the zip's name); by default the release page's download folder for vVERSION. The build number
# grows with every release: by default the minutes since 2024-01-01 UTC.
# Nothing is written into OUTDIR unless the whole release was made.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
    sed -n '4,5p' "$0" | sed 's/^# *//' >&2
    exit 2
}
fail() {
    echo "release: $*" >&2
    exit 1
}

[ $# -ge 2 ] || usage
version=$1
outdir=$2
shift 2
base_url=""
notes_en=""
notes_fr=""
build_number=""
while [ $# -gt 0 ]; do
    case $1 in
    --base-url) base_url=${2:?--base-url needs a URL}; shift 2 ;;
    --notes-en) notes_en=${2:?--notes-en needs a file}; shift 2 ;;
    --notes-fr) notes_fr=${2:?--notes-fr needs a file}; shift 2 ;;
    --build) build_number=${2:?--build needs a number}; shift 2 ;;
    *) usage ;;
    esac
done

# The key first: a release is never made without it, and never with a key of its own.
if [ -z "${ZARVO_RELEASE_KEY:-}" ]; then
    fail "ZARVO_RELEASE_KEY is not set. Set it to the file of the publisher's Ed25519 private key (PEM); see \"Releasing\" in README.md. No release was made."
fi
key=$ZARVO_RELEASE_KEY
[ -r "$key" ] || fail "the private key $key (ZARVO_RELEASE_KEY) cannot be read"
openssl pkey -in "$key" -noout -text 2>/dev/null | grep -q '^ED25519 Private-Key' ||
    fail "$key (ZARVO_RELEASE_KEY) is not an Ed25519 private key in PEM"
# The raw public key is the last 32 bytes of its DER form.
public_key=$(openssl pkey -in "$key" -pubout -outform DER | tail -c 32 | base64 -w0)

[[ $version =~ ^[0-9]+(\.[0-9]+)*([~+][0-9A-Za-z.]+)?$ ]] ||
    fail "the version \"$version\" is not like 1.4.0 (digits and dots)"
if [ -z "$build_number" ]; then
    build_number=$((($(date -u +%s) - $(date -u -d 2024-01-01 +%s)) / 60))
fi
[[ $build_number =~ ^[0-9]+$ ]] || fail "the build number \"$build_number\" is not a number"
[ -z "$notes_en" ] || [ -r "$notes_en" ] || fail "cannot read $notes_en"
[ -z "$notes_fr" ] || [ -r "$notes_fr" ] || fail "cannot read $notes_fr"
for tool in cmake ninja zip patchelf dpkg-deb python3 readelf; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup.sh installs it)"
done
base_url=${base_url:-https://github.com/mervane/ZarvoRecorder/releases/download/v$version/}
[[ $base_url == */ ]] || base_url="$base_url/"

zip_name="ZarvoRecorder-$version-linux-x86_64.zip"
deb_name="zarvo-recorder_${version}_amd64.deb"
mkdir -p "$outdir"
outdir=$(cd "$outdir" && pwd)
# Everything is made in a folder inside OUTDIR (same file system) and renamed into place at the
# end, the manifest last: a release that fails part way leaves nothing behind.
work=$(mktemp -d "$outdir/.release-XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== Release build $version (build $build_number)"
build=$root/build/release
launcher=()
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARVO_BUILD_TESTS=OFF \
    -DZARVO_BUILD_BENCH=OFF -DZARVO_SANITIZE= "${launcher[@]}" \
    -DZARVO_VERSION="$version" -DZARVO_BUILD_NUMBER="$build_number" \
    -DZARVO_UPDATE_PUBLIC_KEY="$public_key" >/dev/null
cmake --build "$build" -j "$(nproc)"

echo "== Application folder"
# Installed once for the package's place, so that the desktop entry names /opt/zarvo-recorder;
# the portable folder is the same files without that entry, which would name a place it is not.
package_root=$work/deb
opt=$package_root/opt/zarvo-recorder
DESTDIR=$package_root cmake --install "$build" --prefix /opt/zarvo-recorder --strip >/dev/null
python3 packaging/bundle-libraries.py "$opt" "$work/depends" >"$work/libraries"
echo "Libraries carried in lib/: $(wc -l <"$work/libraries")"

app=$work/zip/ZarvoRecorder.app
mkdir -p "$work/zip"
cp -a "$opt" "$app"
rm -rf "$app/share/applications"
(cd "$work/zip" && zip -qrX "$work/$zip_name" ZarvoRecorder.app)

echo "== Signature and manifest"
openssl pkeyutl -sign -inkey "$key" -rawin -in "$work/$zip_name" -out "$work/signature.bin"
base64 -w0 "$work/signature.bin" >"$work/$zip_name.sig"
echo >>"$work/$zip_name.sig"
# Checked at once against the public key the folder carries, as an installed copy will.
openssl pkey -in "$key" -pubout -out "$work/public.pem"
openssl pkeyutl -verify -pubin -inkey "$work/public.pem" -rawin -in "$work/$zip_name" \
    -sigfile "$work/signature.bin" >/dev/null || fail "the signature just made does not verify"
sha256=$(sha256sum "$work/$zip_name" | cut -d' ' -f1)
python3 - "$work/manifest.json" "$version" "$build_number" "$base_url$zip_name" "$sha256" \
    "$work/$zip_name.sig" "$notes_en" "$notes_fr" <<'EOF'
import json, sys
out, version, build, url, sha256, signature, notes_en, notes_fr = sys.argv[1:]
def notes(path):
    if not path:
        return "ZarvoRecorder " + version
    with open(path, encoding="utf-8") as f:
        return f.read().strip()
manifest = {
    "version": version,
    "build": int(build),
    "url": url,
    "sha256": sha256,
    "ed25519": open(signature).read().strip(),
    "notes_en": notes(notes_en),
    "notes_fr": notes(notes_fr),
}
with open(out, "w", encoding="utf-8") as f:
    json.dump(manifest, f, ensure_ascii=False, indent=2)
    f.write("\n")
EOF

echo "== Debian package"
"$root/packaging/make-deb.sh" "$package_root" "$version" "$work/depends" "$work/$deb_name"

mv "$work/$zip_name" "$work/$zip_name.sig" "$work/$deb_name" "$outdir/"
mv "$work/manifest.json" "$outdir/manifest.json"
cp "$work/libraries" "$build/libraries-carried.txt"
echo "== Release $version written to $outdir"
ls -l "$outdir/$zip_name" "$outdir/$zip_name.sig" "$outdir/$deb_name" "$outdir/manifest.json"
