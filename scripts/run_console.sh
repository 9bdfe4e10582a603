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
  echo "run_console: build/app/LightConsole was not built (is Qt 5 installed? see scripts/setup.sh)" >&2
  exit 1
fi

simlog="$(mktemp)"
simpid=""
cleanup() {
  if [ -n "$simpid" ] && kill -0 "$simpid" 2>/dev/null; then
    kill "$simpid" 2>/dev/null || true
    wait "$simpid" 2>/dev/null || true
  fi
  rm -f "$simlog"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

build/sim/lightsim >"$simlog" 2>&1 &
simpid=$!

# Wait for the simulator's first line, which names its pseudo-terminal.
port=""
for _ in $(seq 1 100); do
  port="$(sed -n 's/^lightsim: serving \([^ ]*\).*/\1/p' "$simlog" | head -n 1)"
  [ -n "$port" ] && break
  kill -0 "$simpid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "run_console: the virtual light source did not start:" >&2
  cat "$simlog" >&2
  exit 1
fi

cat <<MSG
run_console: the virtual light source is serving $port
run_console: in LightConsole, type  $port  into the port box (串口选择) and click 打开 (open).
run_console: LightConsole's log follows; closing the window stops the simulator.
MSG

status=0
build/app/LightConsole || status=$?
exit "$status"
