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
# then prints the link figures of the Windows build (win_link_bench).
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
    rm -f "$WINEPREFIX"/dosdevices/com1[0-2]
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
wait_for_paths "$RUN/device-near" "$RUN/device-far" "$RUN/pair-a" "$RUN/pair-b" || fail "socat made no pty pairs"
# wine maps com1..com4 to /dev/ttyS*; COM10 and up also need the \\.\ prefix.
ln -sf "$RUN/device-near" "$WINEPREFIX/dosdevices/com10"
ln -sf "$RUN/pair-a" "$WINEPREFIX/dosdevices/com11"
ln -sf "$RUN/pair-b" "$WINEPREFIX/dosdevices/com12"

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
  check_lightctl 0 '^\{"global_enable":.*\{"channel":1,"name":"LED480",[^}]*"temperature":30.5,"alarm":false\}.*\}$' '^$' \
    --port COM10 --json status
  check_lightctl 2 '^$' "^lightctl: channel: '4' is not a channel" --port COM10 led 4 on
  check_lightctl 3 '^$' '^lightctl: cannot open port COM99: ' --port COM99 info
else
  echo "test_windows: no $LIGHTCTL (CLI11 or nlohmann/json missing?)"
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
BENCH=$BUILD/bench/windows/win_link_bench.exe
if [ -f "$BENCH" ]; then
  echo
  echo "Windows build under wine, against lightsim over COM10:"
  timeout 120 wine "$BENCH" COM10 500 5 >"$RUN/bench.log" 2>&1 </dev/null &
  bench=$!
  pids+=($bench)
  for _ in $(seq 600); do grep -q "idle: begin" "$RUN/bench.log" && break; sleep 0.1; done
  bpid=""
  for pid in $(pgrep -f 'win_link_bench\.exe' 2>/dev/null); do
    case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in *wine*) bpid=$pid; break ;; esac
  done
  spid=$(server_pid)
  hz=$(getconf CLK_TCK)
  if [ -n "$bpid" ] && [ -n "$spid" ]; then
    b0=$(cpu_ticks "$bpid"); s0=$(cpu_ticks "$spid"); t0=$(date +%s.%N)
    for _ in $(seq 200); do grep -q "idle: end" "$RUN/bench.log" && break; sleep 0.05; done
    b1=$(cpu_ticks "$bpid"); s1=$(cpu_ticks "$spid"); t1=$(date +%s.%N)
  fi
  wait "$bench" || status=1
  grep -v '^idle: ' "$RUN/bench.log"
  if [ -n "${b1:-}" ]; then
    awk -v b="$((b1 - b0))" -v s="$((s1 - s0))" -v hz="$hz" -v t0="$t0" -v t1="$t1" 'BEGIN {
      w = t1 - t0
      printf "idle open link, from /proc over %.1f s: program %.1f%%, wineserver %.1f%% of one core\n",
             w, 100 * b / hz / w, 100 * s / hz / w }'
  fi
fi

[ -f scripts/test_package_windows.sh ] && { bash scripts/test_package_windows.sh || status=1; }
exit $status
