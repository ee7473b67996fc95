#!/usr/bin/env bash
# Installs ZarvoRecorder for the user: builds it when needed, installs the application folder
# (~/ZarvoRecorder.app, or the folder given), and puts its entry and its icons where the
# desktop's menu finds them ($XDG_DATA_HOME, by default ~/.local/share).
#   scripts/install-desktop.sh [APPLICATION_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."

app=${1:-$HOME/ZarvoRecorder.app}
build=build/release
data=${XDG_DATA_HOME:-$HOME/.local/share}

./scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARVO_BUILD_TESTS=OFF \
    -DZARVO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
cmake --install "$build" --prefix "$app"

# Copies, not links: the entry and the icons stay when the build tree goes, and an update that
# replaces the application folder keeps its path.
install -D -m 644 "$app/share/applications/zarvo-recorder.desktop" \
    "$data/applications/zarvo-recorder.desktop"
for icon in "$app"/share/icons/hicolor/*/apps/zarvo-recorder.png; do
    size=$(basename "$(dirname "$(dirname "$icon")")")
    install -D -m 644 "$icon" "$data/icons/hicolor/$size/apps/zarvo-recorder.png"
done
if command -v update-desktop-database >/dev/null; then
    update-desktop-database -q "$data/applications" || true
fi
if command -v gtk-update-icon-cache >/dev/null && [ -f "$data/icons/hicolor/index.theme" ]; then
    gtk-update-icon-cache -q -t "$data/icons/hicolor" || true
fi
echo "ZarvoRecorder is installed in $app and listed in the desktop's menu."
