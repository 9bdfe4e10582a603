#!/usr/bin/env bash
# Runs every test: installs what is missing, builds and runs the suite
# normally (LightConsole with Qt 5), LightConsole's tests with Qt 6, the suite
# under AddressSanitizer + UndefinedBehaviorSanitizer and (the threaded tests)
# under ThreadSanitizer, then the bounded fuzz runs and the Windows build
# under wine. Exits non-zero if any stage failed.
set -uo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-2}
bash scripts/setup.sh || { echo "test: setup failed"; exit 1; }

failed=()
stage() {  # stage NAME COMMAND...
  local name=$1; shift
  echo
  echo "=== $name ==="
  local start=$SECONDS
  if "$@"; then
    echo "=== $name: passed ($((SECONDS - start)) s) ==="
  else
    echo "=== $name: FAILED ($((SECONDS - start)) s) ==="
    failed+=("$name")
  fi
}

build() {  # build DIR CMAKE-ARGS...
  local dir=$1; shift
  mkdir -p "$dir"
  cmake -S . -B "$dir" -G Ninja "$@" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; return 1; }
  grep -h "LightConsole: Qt\|LightConsole is not built" "$dir/configure.log" || true
  cmake --build "$dir" -j "$JOBS"
}

# Sanitizer reports end the test that caused them.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
export QT_QPA_PLATFORM=offscreen

stage "build (g++, Qt 5)" build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage "tests (g++, Qt 5)" ctest --test-dir build --output-on-failure -j "$JOBS" --timeout 600
[ -f scripts/test_install.sh ] && stage "install and packages" bash scripts/test_install.sh

# LightConsole builds with Qt 6 too; its tests run again on that build.
stage "build (g++, Qt 6)" build build-qt6 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLIGHTKIT_QT_MAJOR=6 -DLIGHTKIT_BUILD_BENCH=OFF
stage "LightConsole tests (g++, Qt 6)" ctest --test-dir build-qt6 -L app --no-tests=error --output-on-failure -j "$JOBS" --timeout 600

CLANG=(-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug -DLIGHTKIT_BUILD_BENCH=OFF)
stage "build (ASan+UBSan)" build build-asan "${CLANG[@]}" -DLIGHTKIT_SANITIZE=address
stage "tests (ASan+UBSan)" ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 900

stage "build (TSan)" build build-tsan "${CLANG[@]}" -DLIGHTKIT_SANITIZE=thread -DLIGHTKIT_BUILD_APP=OFF
# TSan cannot map its shadow with the kernel's full address randomisation.
stage "threaded tests (TSan)" setarch "$(uname -m)" -R ctest --test-dir build-tsan -L threaded --output-on-failure -j "$JOBS" --timeout 900

[ -f scripts/test_fuzz.sh ] && stage "fuzzing" bash scripts/test_fuzz.sh
[ -f scripts/test_windows.sh ] && stage "Windows build under wine" bash scripts/test_windows.sh

echo
if [ ${#failed[@]} -eq 0 ]; then
  echo "test: all stages passed"
  exit 0
fi
echo "test: failed stages: ${failed[*]}"
exit 1
