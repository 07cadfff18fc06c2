#!/bin/sh
# Installs what tests/test_players.py plays packages with: Debian's Chromium
# and the web players pinned in tests/players/package-lock.json (hls.js, Shaka
# Player, video.js) in tests/players/node_modules. Quick when both are there.
set -eu
cd "$(dirname "$0")/.."
npm=""
command -v npm >/dev/null 2>&1 || npm=npm
scripts/install-deps.sh chromium $npm
players=tests/players
stamp=$players/node_modules/.installed-lock
if ! cmp -s $players/package-lock.json "$stamp" 2>/dev/null; then
    echo "Installing the web players (npm ci in $players)"
    (cd $players && npm ci --no-audit --no-fund --loglevel=error)
    cp $players/package-lock.json "$stamp"
fi
