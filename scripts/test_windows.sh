#!/usr/bin/env bash
# The Windows x64 build, here: cross-compiles the library, its tests, the
# virtual light source and the Windows benchmark with mingw-w64 into
# build-win, checks the DLL's export and import tables, and runs the tests
# under wine in a fresh prefix:
#   - the caller-driven SDK tests and the simulator's device tests;
#   - the serial tests, over COM ports that are socat pty pairs:
#       COM10 -> the native lightsim (build/sim/lightsim) on the far end,
#       COM11 <-> COM12 a null-modem pair the tests hold both ends of;
#   - lightctl.exe against the same lightsim over COM10 (exit codes, output);
#   - LightConsole's Qt tests (offscreen), with the virtual light source on
#     COM12 and the library on COM11 (LIGHTSIM_PAIR);
#   - LightConsole.exe --port COM13 --open on Xvfb against a lightsim that
#     logs its frames: the model and live temperatures in the frames, the
#     log and the window's picture; then it is closed as a user would;
#   - lightd.exe on COM10, driven by PyVISA and http.client over loopback
#     (tests/daemon/lightd_smoke.py), then stopped with Ctrl-C;
# then prints the link figures of the Windows build (win_link_bench), and
# beside them those of the earlier polled receive loop (bench/windows/polled).
# LightConsole needs Qt for Windows: when it is not there yet, this script
# builds it first, once per machine (scripts/build_qt_windows.sh, 30 to 45
# minutes on two cores); later runs reuse it.
# Without wine or mingw it says so and exits 0, except under CI=true.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build-win
# The native build that scripts/test.sh made first; built here if absent.
NATIVE=${LIGHTKIT_NATIVE_BUILD:-$ROOT/build}
RUN=$BUILD/run
JOBS=${JOBS:-2}

missing=()
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump wine wineserver wineboot socat cmake; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "${CI:-}" = true ]; then
    echo "test_windows: missing ${missing[*]} (scripts/setup.sh installs them)"
    exit 1
  fi
  echo "test_windows: ${missing[*]} not installed; the Windows build is skipped (scripts/setup.sh installs them)"
  exit 0
fi

export WINEPREFIX=$BUILD/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or Gecko installer prompts

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  if [ -d "$WINEPREFIX" ]; then
    timeout 30 wineserver -k >/dev/null 2>&1
    # A stale link would point at whatever pty gets its number next.
    rm -f "$WINEPREFIX"/dosdevices/com1[0-3]
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "test_windows: $*"
  exit 1
}

# Waits until `test -e` holds for every path given, for up to 10 s.
wait_for_paths() {
  for _ in $(seq 100); do
    local all=1
    for p in "$@"; do [ -e "$p" ] || all=0; done
    [ $all -eq 1 ] && return 0
    sleep 0.1
  done
  return 1
}

# ---- Qt for Windows, once per machine ---------------------------------------
QT_PREFIX=$(bash scripts/build_qt_windows.sh --print 2>/dev/null)
if [ -n "$QT_PREFIX" ] && [ ! -f "$QT_PREFIX/BUILD-INFO.txt" ]; then
  echo "test_windows: building Qt for Windows once, into $QT_PREFIX (30 to 45 minutes)"
  qt_start=$(date +%s)
  bash scripts/build_qt_windows.sh >/dev/null || fail "the Qt for Windows build failed"
  echo "test_windows: Qt for Windows built in $(( $(date +%s) - qt_start )) s"
fi

# ---- build ---------------------------------------------------------------
GEN=()
command -v ninja >/dev/null 2>&1 && GEN=(-G Ninja)
if [ -f "$BUILD/CMakeCache.txt" ] && ! grep -q "^CMAKE_GENERATOR:INTERNAL=${GEN[1]:-Unix Makefiles}$" "$BUILD/CMakeCache.txt"; then
  rm -rf "$BUILD/CMakeCache.txt" "$BUILD/CMakeFiles"
fi
mkdir -p "$BUILD"
cmake -S . -B "$BUILD" "${GEN[@]}" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$BUILD/configure.log" 2>&1 || { cat "$BUILD/configure.log"; fail "configure failed"; }
cmake --build "$BUILD" -j "$JOBS" || fail "cross build failed"

# ---- the DLL: exactly the header's 39 exports, only system DLLs imported ------
DLL=$BUILD/sdk/DALU_LightKit.dll
[ -f "$DLL" ] || fail "no $DLL"
[ -f "$BUILD/sdk/libDALU_LightKit.dll.a" ] || fail "no import library next to the DLL"
x86_64-w64-mingw32-objdump -p "$DLL" >"$BUILD/dll-tables.txt" || fail "objdump failed on the DLL"
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {t=1; next} t && NF == 0 {exit} t {print $NF}' "$BUILD/dll-tables.txt")
declared=$(sed -n 's/^DALUSDK_API .*\(DALUSDK_[A-Za-z0-9_]*\)(.*/\1/p' sdk/include/DALU_LightKit.h | sort)
[ "$(printf '%s\n' "$declared" | grep -c .)" -eq 39 ] || fail "the header does not declare 39 exports"
[ "$(printf '%s\n' "$exports" | sort)" = "$declared" ] ||
  fail "the DLL's exports differ from the header's: $(diff <(printf '%s\n' "$declared") <(printf '%s\n' "$exports" | sort) | grep '^[<>]' | tr '\n' ' ')"
imports=$(awk '/DLL Name:/ {print $3}' "$BUILD/dll-tables.txt")
if printf '%s\n' "$imports" | grep -Eiq 'libstdc|libgcc|libwinpthread|pthread'; then
  fail "the DLL needs MinGW runtime DLLs: $(echo $imports)"
fi
echo "test_windows: DALU_LightKit.dll exports the 39 DALUSDK_ names of the header and nothing else; imports: $(echo $imports)"

# ---- the native virtual light source -------------------------------------
LIGHTSIM=$NATIVE/sim/lightsim
if [ ! -x "$LIGHTSIM" ]; then
  echo "test_windows: building the native lightsim in $NATIVE"
  mkdir -p "$NATIVE"
  if [ ! -f "$NATIVE/CMakeCache.txt" ]; then
    cmake -S . -B "$NATIVE" "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$NATIVE/configure.log" 2>&1 ||
      { cat "$NATIVE/configure.log"; fail "native configure failed"; }
  fi
  cmake --build "$NATIVE" -j "$JOBS" --target lightsim || fail "native lightsim build failed"
fi

# ---- a fresh wine prefix and the COM ports -------------------------------
# A server left over from an interrupted run would keep the old prefix alive.
[ -d "$WINEPREFIX" ] && timeout 30 wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX" "$RUN"
mkdir -p "$RUN"
# The first start makes the prefix; COM links may be added only afterwards.
timeout 300 wineboot -i >"$RUN/wineboot.log" 2>&1 </dev/null || { cat "$RUN/wineboot.log"; fail "wineboot -i failed"; }
timeout 60 wineserver -w || fail "wineserver did not settle after wineboot"

socat pty,raw,echo=0,link="$RUN/device-near" pty,raw,echo=0,link="$RUN/device-far" </dev/null >"$RUN/socat-device.log" 2>&1 &
pids+=($!)
socat pty,raw,echo=0,link="$RUN/pair-a" pty,raw,echo=0,link="$RUN/pair-b" </dev/null >"$RUN/socat-pair.log" 2>&1 &
pids+=($!)
socat pty,raw,echo=0,link="$RUN/console-near" pty,raw,echo=0,link="$RUN/console-far" </dev/null >"$RUN/socat-console.log" 2>&1 &
pids+=($!)
wait_for_paths "$RUN/device-near" "$RUN/device-far" "$RUN/pair-a" "$RUN/pair-b" "$RUN/console-near" "$RUN/console-far" ||
  fail "socat made no pty pairs"
# wine maps com1..com4 to /dev/ttyS*; COM10 and up also need the \\.\ prefix.
ln -sf "$RUN/device-near" "$WINEPREFIX/dosdevices/com10"
ln -sf "$RUN/pair-a" "$WINEPREFIX/dosdevices/com11"
ln -sf "$RUN/pair-b" "$WINEPREFIX/dosdevices/com12"
ln -sf "$RUN/console-near" "$WINEPREFIX/dosdevices/com13"

"$LIGHTSIM" --port "$RUN/device-far" --fixed-temps 25,30.5,-2,70 </dev/null >"$RUN/lightsim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "lightsim: serving" "$RUN/lightsim.log" && break; sleep 0.1; done
grep -q "lightsim: serving" "$RUN/lightsim.log" || { cat "$RUN/lightsim.log"; fail "lightsim did not start"; }

# A persistent server with its services up, so that no wine helper started
# during a test holds on to the test's output pipes.
timeout 30 wineserver -p >/dev/null 2>&1 </dev/null
timeout 120 wineboot >"$RUN/wineboot2.log" 2>&1 </dev/null || fail "wine did not start"

# ---- tests ---------------------------------------------------------------
status=0
# The caller-driven tests run side by side; the serial tests share COM ports
# (which wine does not open exclusively), so they run one at a time.
ctest --test-dir "$BUILD" -LE windows --output-on-failure -j "$JOBS" --timeout 300 || status=1
ctest --test-dir "$BUILD" -L windows --output-on-failure --timeout 300 || status=1
ran=$(ctest --test-dir "$BUILD" -N -L windows | awk '/Total Tests:/ {print $3}')
[ "${ran:-0}" -gt 0 ] || { echo "test_windows: no serial tests were found"; status=1; }

# ---- lightctl.exe --------------------------------------------------------
# Runs lightctl.exe with the given arguments; checks its exit code and that
# its standard output and error (CR LF turned to LF) match the two regexes.
check_lightctl() {
  local want=$1 out_re=$2 err_re=$3 rc
  shift 3
  timeout 60 wine "$LIGHTCTL" "$@" >"$RUN/lightctl.out" 2>"$RUN/lightctl.err" </dev/null
  rc=$?
  local out err
  out=$(tr -d '\r' <"$RUN/lightctl.out")
  err=$(tr -d '\r' <"$RUN/lightctl.err")
  if [ "$rc" -eq "$want" ] && [[ $out =~ $out_re ]] && [[ $err =~ $err_re ]]; then
    echo "test_windows: lightctl.exe $*: exit $rc, as expected"
  else
    echo "test_windows: lightctl.exe $*: exit $rc (expected $want)"
    echo "  stdout: $out"
    echo "  stderr: $err"
    status=1
  fi
}
LIGHTCTL=$BUILD/cli/lightctl.exe
if [ -f "$LIGHTCTL" ]; then
  check_lightctl 0 $'^Model:     0xFFAA0400 \\(4-colour\\)\nFirmware:  1\\.2\\.3 \\(0x00010203\\)\nSDK:       2\\.1\\.0 \\(20100\\)$' '^$' \
    --port COM10 info
  check_lightctl 0 '^\{"channels":\[.*\{"brightness":33,"enabled":true,"index":1,"name":"LED480","over_temperature":false,"pulse_ms":101,"temperature":30.5\}.*"port":"COM10".*\}$' '^$' \
    --port COM10 --json status
  check_lightctl 2 '^$' "^lightctl: channel: '4' is not a channel" --port COM10 led 4 on
  check_lightctl 3 '^$' '^lightctl: cannot open COM99: no such port' --port COM99 info
else
  echo "test_windows: no $LIGHTCTL (CLI11 or nlohmann/json missing?)"
  [ "${CI:-}" = true ] && status=1
fi

# ---- LightConsole.exe ----------------------------------------------------
CONSOLE=$BUILD/app/LightConsole.exe
REFERENCE=$ROOT/tests/windows/console
# Waits up to $1 seconds for the command in the remaining arguments to hold.
wait_until() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}
# The temperature requests (command 0x9000) the virtual light source received.
temperature_requests() { grep -c '^rx 55 AA 90 00 01 0[0-3] ' "$RUN/console-sim.log"; }
polled_twice() { [ "$(temperature_requests)" -ge 8 ]; }
console_has_model() { grep -q 'Device model: 0xffaa0400' "$RUN/console.out" 2>/dev/null; }
# Pixels of region $2 (WxH+X+Y) of picture $1 that differ from the reference
# picture $3 by more than a tenth of the colour range.
region_difference() {
  convert "$1" -crop "$2" +repage "$RUN/region.png" &&
    compare -metric AE -fuzz 10% "$RUN/region.png" "$3" null: 2>&1 | cut -d' ' -f1
}
if [ -f "$CONSOLE" ]; then
  x86_64-w64-mingw32-objdump -p "$CONSOLE" >"$RUN/console-tables.txt"
  grep -q 'Subsystem.*(Windows GUI)' "$RUN/console-tables.txt" || { echo "test_windows: LightConsole.exe is not a GUI program"; status=1; }
  console_imports=$(awk '/DLL Name:/ {print $3}' "$RUN/console-tables.txt" | sort | tr '\n' ' ')
  for dll in Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll DALU_LightKit.dll; do
    [[ " $console_imports" == *" $dll "* ]] || { echo "test_windows: LightConsole.exe does not import $dll"; status=1; }
  done
  # Version information and icon, as Explorer reads them.
  strings -el "$CONSOLE" | grep -qx 'LightConsole.exe' || { echo "test_windows: LightConsole.exe has no version information"; status=1; }
  for f in Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll DALU_LightKit.dll platforms/qwindows.dll styles/qwindowsvistastyle.dll; do
    [ -f "$BUILD/app/$f" ] || { echo "test_windows: $f is not beside LightConsole.exe"; status=1; }
  done
  echo "test_windows: LightConsole.exe: GUI subsystem, imports $console_imports"

  if command -v Xvfb >/dev/null 2>&1 && command -v import >/dev/null 2>&1 && command -v xwininfo >/dev/null 2>&1; then
    "$LIGHTSIM" --port "$RUN/console-far" --fixed-temps 25,30.5,-2,70 --log-frames </dev/null >"$RUN/console-sim.log" 2>&1 &
    pids+=($!)
    wait_until 10 grep -q "lightsim: serving" "$RUN/console-sim.log" || fail "the console's lightsim did not start"
    # 96 dpi, as a stock Windows desktop.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$RUN/xvfb.display" </dev/null >"$RUN/xvfb.log" 2>&1 &
    pids+=($!)
    wait_until 10 grep -q '[0-9]' "$RUN/xvfb.display" || fail "Xvfb did not start"
    export DISPLAY=:$(head -1 "$RUN/xvfb.display")
    console_start=$(date +%s.%N)
    timeout 120 wine "$CONSOLE" --port COM13 --open --lang en </dev/null >"$RUN/console.out" 2>"$RUN/console.err" &
    console=$!
    pids+=($console)
    if wait_until 60 console_has_model && wait_until 30 polled_twice; then
      echo "test_windows: LightConsole.exe opened COM13: model read, $(temperature_requests) temperature requests; up in $(awk -v a="$console_start" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}') s"
      # The window itself: the one 800 x 480 top-level window on the screen.
      geometry=$(xwininfo -root -tree | awk '/ 800x480\+/ {for (i = 1; i <= NF; i++) if ($i ~ /^800x480\+/) {print $i; exit}}')
      if [ -z "$geometry" ]; then
        echo "test_windows: no 800 x 480 window on the screen"
        status=1
      else
        # Two more polls, so that every temperature has been shown.
        wait_until 10 test "$(temperature_requests)" -ge 16
        offset=${geometry#800x480}
        import -display "$DISPLAY" -window root -crop "800x480$offset" +repage "$RUN/screenshot-windows.png"
        [ "${LIGHTKIT_UPDATE_SCREENSHOT:-}" = 1 ] && cp "$RUN/screenshot-windows.png" "$ROOT/docs/screenshot-windows.png"
        # The model label and the four temperature boxes against pictures of
        # a run that showed them right (tests/windows/console/README).
        while read -r name region; do
          [ -n "$name" ] || continue
          diff_pixels=$(region_difference "$RUN/screenshot-windows.png" "$region" "$REFERENCE/$name.png")
          if [[ $diff_pixels =~ ^[0-9]+$ ]] && [ "$diff_pixels" -le 20 ]; then
            echo "test_windows: LightConsole.exe window: $name as expected ($diff_pixels pixels differ)"
          else
            echo "test_windows: LightConsole.exe window: $name differs from $REFERENCE/$name.png ($diff_pixels pixels)"
            convert "$RUN/screenshot-windows.png" -crop "$region" +repage "$RUN/$name.png"
            status=1
          fi
        done <"$REFERENCE/regions.txt"
      fi
    else
      echo "test_windows: LightConsole.exe did not show the device (see $RUN/console.out, $RUN/console-sim.log)"
      status=1
    fi
    # Closed as a user closes it: WM_CLOSE to its window.
    timeout 30 wine taskkill /im LightConsole.exe >/dev/null 2>&1 </dev/null
    wait "$console"
    rc=$?
    # The one error line is the device wrapper's, from its destructor after
    # the panel closed the handle, as on every exit with an open device.
    errors=$(grep '\[error\]' "$RUN/console.out" | grep -v '\[error\] <DeviceControl::close:51> m_sdkHandle is null!')
    if [ "$rc" -eq 0 ] && [ -z "$errors" ] && [ ! -s "$RUN/console.err" ]; then
      echo "test_windows: LightConsole.exe closed cleanly (exit 0, no error lines but the wrapper's own at exit)"
    else
      echo "test_windows: LightConsole.exe ended with $rc; errors:"
      printf '%s\n' "$errors" | head -5
      head -5 "$RUN/console.err"
      status=1
    fi
    # The port opened last is kept where QSettings keeps it on Windows.
    if timeout 60 wine reg query 'HKCU\Software\DALU\LightConsole\serial' /v lastPort </dev/null 2>/dev/null |
         tr -d '\r' | grep -Eq 'lastPort +REG_SZ +COM13$'; then
      echo "test_windows: LightConsole.exe remembered COM13 in the registry"
    else
      echo "test_windows: LightConsole.exe did not remember COM13 in HKCU\Software\DALU\LightConsole"
      status=1
    fi
    unset DISPLAY
  else
    echo "test_windows: Xvfb, ImageMagick or xwininfo missing; LightConsole.exe is not run (scripts/setup.sh installs them)"
    [ "${CI:-}" = true ] && status=1
  fi
else
  echo "test_windows: no $CONSOLE (no Qt for Windows?)"
  [ "${CI:-}" = true ] && status=1
fi

# ---- lightd.exe ------------------------------------------------------------
LIGHTD=$BUILD/daemon/lightd.exe
if [ -f "$LIGHTD" ]; then
  lightd_start=$(date +%s.%N)
  timeout 120 wine "$LIGHTD" --device COM10 --scpi-port 0 --http-port 0 --poll-ms 200 </dev/null >"$RUN/lightd.out" 2>&1 &
  lightd=$!
  pids+=($lightd)
  if wait_until 60 grep -q 'lightd: device COM10 connected' "$RUN/lightd.out"; then
    scpi_port=$(tr -d '\r' <"$RUN/lightd.out" | sed -n 's/^lightd: SCPI on 127\.0\.0\.1 port \([0-9]*\),.*/\1/p')
    http_port=$(tr -d '\r' <"$RUN/lightd.out" | sed -n 's/^lightd: HTTP on 127\.0\.0\.1 port \([0-9]*\),.*/\1/p')
    tr -d '\r' <"$RUN/lightd.out" | grep -q 'web page from .*daemon\\web$' || { echo "test_windows: lightd.exe does not serve the web folder beside it"; status=1; }
    echo "test_windows: lightd.exe up in $(awk -v a="$lightd_start" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}') s"
    smoke_start=$(date +%s.%N)
    /usr/bin/python3 tests/daemon/lightd_smoke.py "$scpi_port" "$http_port" >"$RUN/lightd-smoke.log" 2>&1 || status=1
    grep -v ' ok' "$RUN/lightd-smoke.log"
    echo "test_windows: the smoke tables took $(awk -v a="$smoke_start" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}') s"
  else
    echo "test_windows: lightd.exe did not connect to COM10:"
    cat "$RUN/lightd.out"
    status=1
  fi
  # Ctrl-C: wine turns SIGINT into the console's CTRL_C_EVENT. The signal
  # goes to lightd.exe's own process, the child of timeout.
  for pid in $(pgrep -P "$lightd" 2>/dev/null); do kill -INT "$pid"; done
  wait "$lightd"
  rc=$?
  if [ "$rc" -eq 0 ] && tr -d '\r' <"$RUN/lightd.out" | grep -qx 'lightd: Ctrl-C, stopping'; then
    echo "test_windows: lightd.exe stopped on Ctrl-C (exit 0)"
  else
    echo "test_windows: lightd.exe ended with $rc after Ctrl-C:"
    tail -3 "$RUN/lightd.out"
    status=1
  fi
else
  echo "test_windows: no $LIGHTD (Boost, CLI11 or nlohmann/json missing?)"
  [ "${CI:-}" = true ] && status=1
fi

# ---- figures -------------------------------------------------------------
server_pid() {  # the wineserver of this prefix: its working directory names the prefix's device and inode
  local dir
  dir=$(printf 'server-%x-%x' "0x$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  for pid in $(pgrep -f wineserver 2>/dev/null); do
    case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in */"$dir") echo "$pid"; return ;; esac
  done
}
cpu_ticks() {  # utime + stime of a process, in clock ticks
  awk '{sub(/^.*\) /, ""); print $12 + $13}' "/proc/$1/stat" 2>/dev/null || echo 0
}
link_figures() {  # $1: the benchmark, $2: what its DLL's receive loop is
  local bench_exe=$1 log=$RUN/bench-$(basename "$(dirname "$1")").log bench bpid="" spid hz b0 b1="" s0 s1 t0 t1
  echo
  echo "Windows build under wine, against lightsim over COM10, $2:"
  timeout 120 wine "$bench_exe" COM10 500 5 >"$log" 2>&1 </dev/null &
  bench=$!
  pids+=($bench)
  for _ in $(seq 600); do grep -q "idle: begin" "$log" && break; sleep 0.1; done
  for pid in $(pgrep -f 'win_link_bench\.exe' 2>/dev/null); do
    case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in *wine*) bpid=$pid; break ;; esac
  done
  spid=$(server_pid)
  hz=$(getconf CLK_TCK)
  if [ -n "$bpid" ] && [ -n "$spid" ]; then
    b0=$(cpu_ticks "$bpid"); s0=$(cpu_ticks "$spid"); t0=$(date +%s.%N)
    for _ in $(seq 200); do grep -q "idle: end" "$log" && break; sleep 0.05; done
    b1=$(cpu_ticks "$bpid"); s1=$(cpu_ticks "$spid"); t1=$(date +%s.%N)
  fi
  wait "$bench" || status=1
  grep -v '^idle: ' "$log"
  if [ -n "$b1" ]; then
    awk -v b="$((b1 - b0))" -v s="$((s1 - s0))" -v hz="$hz" -v t0="$t0" -v t1="$t1" 'BEGIN {
      w = t1 - t0
      printf "idle open link, from /proc over %.1f s: program %.1f%%, wineserver %.1f%% of one core\n",
             w, 100 * b / hz / w, 100 * s / hz / w }'
  fi
}
BENCH_DIR=$BUILD/bench/windows
[ -f "$BENCH_DIR/win_link_bench.exe" ] && link_figures "$BENCH_DIR/win_link_bench.exe" "overlapped reads (this build)"
[ -f "$BENCH_DIR/polled/win_link_bench.exe" ] &&
  link_figures "$BENCH_DIR/polled/win_link_bench.exe" "the earlier loop of 1 ms polled reads"

[ -f scripts/test_package_windows.sh ] && { bash scripts/test_package_windows.sh || status=1; }
exit $status
