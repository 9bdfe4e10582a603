#!/bin/sh
# lightsim for the Python tests of a sanitizer build: Python runs with the
# sanitizer runtime preloaded, but lightsim carries its own runtime and must
# not get a second one.
unset LD_PRELOAD ASAN_OPTIONS
exec "$LIGHTKIT_TEST_LIGHTSIM" "$@"
