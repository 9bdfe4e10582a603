#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  clang-14 libclang-rt-14-dev llvm-14
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev qttools5-dev qttools5-dev-tools
  qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libgl-dev
  xvfb xauth x11-apps x11-utils imagemagick fonts-noto-cjk fonts-dejavu-core
  socat procps
  python3 python3-pytest python3-venv python3-pip python3-wheel python3-setuptools python3-serial
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine64
  libcli11-dev nlohmann-json3-dev libboost-dev libavahi-client-dev avahi-daemon avahi-utils dbus
  python3-pyvisa python3-pyvisa-py python3-prometheus-client python3-jsonschema prometheus
  chromium chromium-driver python3-selenium libjs-chart.js
  lintian dpkg-dev fakeroot file util-linux bash-completion
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The web page's checkers (axe-core, Lighthouse) come from npm; Debian's
# npm is taken only where no Node.js with npm is installed already. Without
# it those checks say so and are skipped.
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# wine is optional: if it cannot be had, the Windows step says so and the rest runs.
if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
  echo "setup: full install failed; retrying without wine and mingw"
  rest=()
  for p in "${missing[@]}"; do
    case "$p" in wine*|*mingw*|npm) ;; *) rest+=("$p") ;; esac
  done
  $SUDO apt-get install -y -qq --no-install-recommends "${rest[@]}"
fi
