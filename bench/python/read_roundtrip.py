#!/usr/bin/env python3
"""What the Python package adds to a read: one channel's brightness read over
the same pseudo-terminal, against the same lightsim, in the same run, three ways:

  C        DALUSDK_GetLedBrightness in a C++ loop (c_read_loop)
  ctypes   the same export called through ctypes directly
  lightkit ``ls.channels[0].brightness``

The port is opened exclusively, so the three take turns, in many short
rounds. A pseudo-terminal round trip settles on one of a few levels for a whole
open (scheduling of the three threads involved), so besides the median of all
calls the table gives each way's best round, where the ways meet on the same
level. Last, the package's own time per call is measured with no device: the
same property over a stand-in export that returns at once, against a plain
ctypes call of that stand-in. Figures are per call, in microseconds; the goal
is that lightkit adds under 20 us.

    python3 bench/python/read_roundtrip.py [--build build] [--calls 500] [--rounds 20]
"""

import argparse
import ctypes
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="the CMake build folder")
    parser.add_argument("--calls", type=int, default=500, help="reads per round and way")
    parser.add_argument("--rounds", type=int, default=20, help="rounds of the three ways")
    return parser.parse_args()


def setup_paths(build):
    os.environ.setdefault("LIGHTKIT_LIBRARY", os.path.join(build, "sdk", "libDALU_LightKit.so.2"))
    os.environ.setdefault("LIGHTKIT_LIGHTSIM", os.path.join(build, "sim", "lightsim"))
    sys.path.insert(0, os.path.join(ROOT, "python"))


def run_c(program, port, calls):
    out = subprocess.run([program, port, str(calls)], capture_output=True, text=True, check=True).stdout
    return [int(line) / 1000.0 for line in out.split()]


def run_ctypes(lightkit, port, calls):
    lib = lightkit._native.library()
    handle = lib.DALUSDK_CreateHandle(port.encode())
    if not handle:
        raise RuntimeError(f"cannot open {port}")
    fn = lib.DALUSDK_GetLedBrightness
    value = ctypes.c_ushort()
    ref = ctypes.byref(value)
    clock = time.perf_counter_ns
    times = []
    try:
        for _ in range(calls):
            start = clock()
            rc = fn(handle, 0, ref)
            times.append((clock() - start) / 1000.0)
            if rc != 0:
                raise RuntimeError("read failed")
    finally:
        lib.DALUSDK_DestroyHandle(handle)
    return times


def run_lightkit(lightkit, port, calls):
    clock = time.perf_counter_ns
    times = []
    with lightkit.LightSource(port) as ls:
        ch = ls.channels[0]
        for _ in range(calls):
            start = clock()
            ch.brightness
            times.append((clock() - start) / 1000.0)
    return times


def package_own_time(lightkit, port, calls):
    """(plain ctypes, lightkit) per-call times of a stand-in export that returns at once."""
    signature = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_ushort))
    stand_in = signature(lambda handle, led, out: 0)
    stand_in.__name__ = "DALUSDK_GetLedBrightness"

    class StandInLibrary:
        DALUSDK_GetLedBrightness = stand_in

    clock = time.perf_counter_ns
    value = ctypes.c_ushort()
    with lightkit.LightSource(port) as ls:
        ch = ls.channels[0]
        ch._lib = StandInLibrary()
        handle = ls._handle
        plain, through = [], []
        for _ in range(calls):
            start = clock()
            stand_in(handle, 0, ctypes.byref(value))
            middle = clock()
            ch.brightness
            end = clock()
            plain.append((middle - start) / 1000.0)
            through.append((end - middle) / 1000.0)
    return statistics.median(plain), statistics.median(through)


def main():
    args = parse_args()
    setup_paths(args.build)
    import lightkit
    from lightkit.sim import VirtualLightSource

    program = os.path.join(args.build, "bench", "python", "c_read_loop")
    if not os.access(program, os.X_OK):
        sys.exit(f"read_roundtrip: {program} is missing; build it with cmake --build {args.build} --target c_read_loop")

    ways = {
        "C": lambda port: run_c(program, port, args.calls),
        "ctypes": lambda port: run_ctypes(lightkit, port, args.calls),
        "lightkit": lambda port: run_lightkit(lightkit, port, args.calls),
    }
    calls = {way: [] for way in ways}
    best = {way: float("inf") for way in ways}
    with VirtualLightSource(fixed_temps=[25.0]) as sim:
        for _ in range(args.rounds):
            for way, run in ways.items():
                times = run(sim.port)
                calls[way] += times
                best[way] = min(best[way], statistics.median(times))
        plain, through = package_own_time(lightkit, sim.port, 20000)

    print(f"read round trip over one pseudo-terminal against lightsim, {args.rounds} rounds x {args.calls} reads "
          f"per way, Python {sys.version.split()[0]}")
    print(f"{'way':<9} {'median us':>10} {'best round':>11} {'p90 us':>8}")
    median = {}
    for way, times in calls.items():
        times.sort()
        median[way] = statistics.median(times)
        p90 = times[int(0.9 * (len(times) - 1))]
        print(f"{way:<9} {median[way]:>10.1f} {best[way]:>11.1f} {p90:>8.1f}")
    print(f"lightkit minus C: {best['lightkit'] - best['C']:+.1f} us (best rounds), "
          f"{median['lightkit'] - median['C']:+.1f} us (all calls)")
    print(f"package's own time per call, no device: {through - plain:.1f} us "
          f"(stand-in export through lightkit {through:.1f} us, plain ctypes {plain:.1f} us); goal: under 20 us")


if __name__ == "__main__":
    main()
