# Sourced by the scripts that need a virtual light source for a while:
# start_lightsim starts build/sim/lightsim in the background, waits for the
# line that names its pseudo-terminal and sets $port; the simulator is
# stopped when the calling script exits.
simlog="$(mktemp)"
simpid=""
stop_lightsim() {
  if [ -n "$simpid" ] && kill -0 "$simpid" 2>/dev/null; then
    kill "$simpid" 2>/dev/null || true
    wait "$simpid" 2>/dev/null || true
  fi
  rm -f "$simlog"
}
trap stop_lightsim EXIT
trap 'exit 130' INT TERM

start_lightsim() {  # start_lightsim CALLER-NAME [LIGHTSIM-OPTIONS...]
  local who=$1; shift
  build/sim/lightsim "$@" >"$simlog" 2>&1 &
  simpid=$!
  port=""
  for _ in $(seq 1 100); do
    port="$(sed -n 's/^lightsim: serving \([^ ]*\).*/\1/p' "$simlog" | head -n 1)"
    [ -n "$port" ] && return 0
    kill -0 "$simpid" 2>/dev/null || break
    sleep 0.1
  done
  echo "$who: the virtual light source did not start:" >&2
  cat "$simlog" >&2
  exit 1
}
