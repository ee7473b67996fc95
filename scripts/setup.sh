#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing.
# Sourced or run by ./test.sh and ./run.sh; safe to run again.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    nlohmann-json3-dev
    libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
    libavfilter-dev
    libpulse-dev pulseaudio pulseaudio-utils
    libavahi-client-dev avahi-daemon dbus
    libcurl4-openssl-dev libssl-dev libarchive-dev
    clang libclang-rt-14-dev clang-format
    liblo-tools curl
    qt6-base-dev qt6-translations-l10n libgl-dev fonts-dejavu-core
    desktop-file-utils
    xvfb xauth xdotool
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
    mediainfo
    libpipewire-0.3-dev pipewire pipewire-bin wireplumber libyuv-dev
    gstreamer1.0-pipewire gstreamer1.0-plugins-ugly
    libqrencode-dev chromium nodejs
    qt6-wayland patchelf binutils zip unzip openssl python3 ca-certificates
    debootstrap lintian ffmpeg
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "Need root or sudo to install: ${missing[*]}" >&2; exit 1; }
        sudo_cmd=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    # A stale package list makes installs fail; refresh it once, then install.
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The browser test of the remote control page drives Debian's Chromium through the pinned
# playwright-core of tests/browser (which never downloads a browser of its own). Its modules are
# installed under build/, from the committed lock file, once per change of that file.
browser_test_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/browser-test"
browser_lock="$(dirname "${BASH_SOURCE[0]}")/../tests/browser/package-lock.json"
if ! command -v npm >/dev/null; then
    # Debian ships npm apart from nodejs (a nodejs of another origin carries its own).
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends npm
fi
if ! cmp -s "$browser_lock" "$browser_test_dir/package-lock.json" ||
    [ ! -d "$browser_test_dir/node_modules/playwright-core" ]; then
    mkdir -p "$browser_test_dir"
    cp "$(dirname "$browser_lock")/package.json" "$browser_lock" "$browser_test_dir/"
    (cd "$browser_test_dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --silent)
fi
