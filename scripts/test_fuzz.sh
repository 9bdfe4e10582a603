#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, ASan+UBSan) in build-fuzz and runs
# each for a bounded time over the committed seed corpus. Fails on any
# finding; a crashing input is copied into tests/fuzz/corpus/<target>/ as a
# regression case. Then measures the coverage of the SDK sources reached by
# the seeds plus everything the run found.
#
#   FUZZ_SECONDS=60        time per SDK target (default 60)
#   FUZZ_SCPI_SECONDS=30   time of each lightd target, SCPI and HTTP (default 30)
#   FUZZ_COVERAGE=0        skip the coverage step
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="$ROOT/build-fuzz"
SECONDS_PER_TARGET="${FUZZ_SECONDS:-60}"
TARGETS=(fuzz_cmdpkg fuzz_request fuzz_scpi fuzz_http)
JOBS="${FUZZ_BUILD_JOBS:-2}"

echo "== fuzz: configure and build ($BUILD)"
CC=clang-14 CXX=clang++-14 cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLIGHTKIT_BUILD_FUZZ=ON \
  -DLIGHTKIT_BUILD_APP=OFF -DLIGHTKIT_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target "${TARGETS[@]}"

passed=0
failed=0
for t in "${TARGETS[@]}"; do
  seeds="$ROOT/tests/fuzz/corpus/$t"
  work="$BUILD/fuzz-work/$t"
  artifacts="$BUILD/fuzz-artifacts/$t"
  log="$BUILD/fuzz-$t.log"
  mkdir -p "$work" "$artifacts"
  rm -f "$artifacts"/*
  seconds="$SECONDS_PER_TARGET"
  case "$t" in fuzz_scpi | fuzz_http) seconds="${FUZZ_SCPI_SECONDS:-30}" ;; esac
  echo "== fuzz: $t for ${seconds} s"
  set +e
  # A single input may take at most one request's time-out (about 0.5 s);
  # 10 s means a hang.
  "$BUILD/tests/fuzz/$t" "$work" "$seeds" \
    -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -use_value_profile=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1 || true)
  cov=$( (grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true) |
    sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/\1 edges, \2 features/p' | tail -1)
  echo "$t: ${runs:-?} executions, ${rate:-?} exec/s, ${cov:-coverage n/a}"
  found=$(find "$artifacts" -type f | wc -l)
  if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
    failed=$((failed + 1))
    echo "$t: FINDING (exit $rc); log: $log"
    grep -E 'invariant broken|ERROR: |SUMMARY: ' "$log" | head -20 || true
    for a in "$artifacts"/*; do
      [ -f "$a" ] || continue
      cp "$a" "$seeds/$(basename "$a")"
      echo "$t: regression input saved as tests/fuzz/corpus/$t/$(basename "$a")"
    done
  else
    passed=$((passed + 1))
  fi
done

if [ "${FUZZ_COVERAGE:-1}" != "0" ]; then
  echo "== fuzz: coverage of the SDK and lightd sources by seeds + findings"
  cov="$BUILD/coverage"
  CC=clang-14 CXX=clang++-14 cmake -S "$ROOT" -B "$cov" -G Ninja \
    -DCMAKE_BUILD_TYPE=Debug -DLIGHTKIT_BUILD_APP=OFF -DLIGHTKIT_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
    -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
  cmake --build "$cov" -j "$JOBS" --target fuzz_cmdpkg_replay fuzz_request_replay fuzz_scpi_replay fuzz_http_replay >/dev/null
  rm -f "$cov"/*.profraw
  for t in "${TARGETS[@]}"; do
    LLVM_PROFILE_FILE="$cov/$t.profraw" "$cov/tests/fuzz/${t}_replay" \
      "$ROOT/tests/fuzz/corpus/$t" "$BUILD/fuzz-work/$t" >/dev/null
  done
  llvm-profdata-14 merge -o "$cov/fuzz.profdata" "$cov"/*.profraw
  llvm-cov-14 report -instr-profile="$cov/fuzz.profdata" \
    "$cov/tests/fuzz/fuzz_cmdpkg_replay" -object "$cov/tests/fuzz/fuzz_request_replay" \
    -object "$cov/tests/fuzz/fuzz_scpi_replay" -object "$cov/tests/fuzz/fuzz_http_replay" \
    "$ROOT/sdk/src/cmdpkg.cpp" "$ROOT/sdk/src/docmd_link.cpp" \
    "$ROOT/sdk/src/docmd_commands.cpp" "$ROOT/sdk/src/dalusdk.cpp" \
    "$ROOT/daemon/ScpiParser.cpp" "$ROOT/daemon/ScpiSession.cpp" \
    "$ROOT/daemon/http/HttpRouter.cpp" "$ROOT/daemon/http/HttpApi.cpp" "$ROOT/state/StateJson.cpp"
fi

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
