#!/usr/bin/env bash
# Pictures of LightConsole for the documentation: runs the real main window
# on a virtual X server (Xvfb, 96 dpi like a stock Windows desktop), opens
# the virtual light source in it and saves docs/screenshot-<tab>.png for each
# work-mode tab and docs/screenshot.png with the edge tab (the tallest page),
# then the same in English (docs/screenshot-en-<tab>.png, docs/screenshot-en.png).
# Fails if any control of the window does not fit. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2 --target lightsim console_shot

source scripts/lightsim_background.sh
start_lightsim screenshot

mkdir -p docs
# The window's own log goes to a file; the tool's summary and any clipped
# control are printed.
for lang in zh en; do
  shotlog="build/screenshot-$lang.log"
  xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96" \
    build/tests/app/console_shot "$port" docs "$lang" >"$shotlog"
  grep '^console_shot:' "$shotlog" || true
done
ls -l docs/screenshot*.png
