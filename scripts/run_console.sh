#!/usr/bin/env bash
# The main job: builds everything, starts the virtual light source and opens
# LightConsole on this machine's display. Closing the window stops the
# simulator. Safe to run again (and twice at once: each run has its own pty).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  cat >&2 <<'MSG'
run_console: there is no display here (neither DISPLAY nor WAYLAND_DISPLAY is set),
and LightConsole is a desktop window. To proceed, either
  - run this script from a desktop session, or over `ssh -X` / `ssh -Y`; or
  - run `bash scripts/screenshot.sh`: it runs the same window on a virtual X
    server (Xvfb), opens the virtual light source in it and writes pictures
    of every work-mode tab to docs/screenshot*.png; or
  - run `xvfb-run -a bash scripts/run_console.sh` to start it on an invisible
    display (only shows that it starts; stop it with Ctrl-C).
MSG
  exit 2
fi

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2

if [ ! -x build/app/LightConsole ]; then
  echo "run_console: build/app/LightConsole was not built (is Qt installed? see scripts/setup.sh)" >&2
  exit 1
fi

source scripts/lightsim_background.sh
start_lightsim run_console

cat <<MSG
run_console: the virtual light source is serving $port
run_console: LightConsole opens it at once (--port $port --open); to open it again, pick $port in the port box and click open.
run_console: LightConsole's log follows; closing the window stops the simulator.
MSG

status=0
build/app/LightConsole --port "$port" --open || status=$?
exit "$status"
