#!/usr/bin/env bash
# Builds Qt 6 for Windows x64 once per machine, for LightConsole.exe.
#
# Debian ships no Windows Qt, so this fetches Debian's qt6-base source
# package (the version of the host's Qt 6, whose moc, uic and rcc the cross
# build uses through QT_HOST_PATH) and cross-builds it with the project's
# mingw-w64 toolchain file: Core, Gui, Widgets, Test, the Windows platform
# plugin and the styles, as shared DLLs, with the MinGW C++ runtime that the
# plugins need beside them.
#
# The result goes to ~/.cache/lightkit/qt-<version>-<options hash> (or to
# $LIGHTKIT_QT_WINDOWS); a finished cache (one with BUILD-INFO.txt) is reused, so a second run only
# prints its path. The apt configuration of the machine is not changed: the
# deb-src line, the package lists and the download live in a private
# directory that is removed afterwards.
#   scripts/build_qt_windows.sh            builds if needed, prints the prefix
#   scripts/build_qt_windows.sh --print    prints the prefix it would use
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
JOBS=${JOBS:-2}
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake

# The host Qt's version, without the Debian revision: 6.4.2+dfsg-10 -> 6.4.2.
DEB_VERSION=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
if [ -z "$DEB_VERSION" ]; then
  echo "build_qt_windows: qt6-base-dev is not installed (scripts/setup.sh installs it)" >&2
  exit 1
fi
QT_VERSION=${DEB_VERSION%%+*}
QT_VERSION=${QT_VERSION%%-*}

# Found on this kind of machine: Debian's source has no wintab header
# (tabletevent off), and the 6.4 Windows platform plugin does not compile
# without OpenGL (dynamic OpenGL needs nothing at build time).
OPTIONS=(
  -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DFEATURE_dbus=OFF -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF -DFEATURE_printsupport=OFF -DFEATURE_icu=OFF -DFEATURE_tabletevent=OFF
  -DFEATURE_vulkan=OFF -DFEATURE_opengl=ON -DINPUT_opengl=dynamic
  -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF
  -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_pcre2=OFF
  -DFEATURE_pkg_config=OFF
)
# Keyed by what changes the binaries: the source, the options, the compiler.
HASH=$( { printf '%s\n' "$DEB_VERSION" "${OPTIONS[@]}"; x86_64-w64-mingw32-g++-posix --version 2>/dev/null | head -1; } |
  sha256sum | cut -c1-12)
PREFIX=${LIGHTKIT_QT_WINDOWS:-${XDG_CACHE_HOME:-$HOME/.cache}/lightkit/qt-$QT_VERSION-$HASH}

if [ "${1:-}" = --print ]; then
  echo "$PREFIX"
  exit 0
fi
if [ -f "$PREFIX/BUILD-INFO.txt" ]; then
  echo "$PREFIX"
  exit 0
fi

missing=()
for tool in x86_64-w64-mingw32-g++-posix cmake ninja apt-get tar; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
[ -f /usr/lib/x86_64-linux-gnu/cmake/Qt6HostInfo/Qt6HostInfoConfig.cmake ] || missing+=(qt6-base-dev)
if [ ${#missing[@]} -gt 0 ]; then
  echo "build_qt_windows: missing ${missing[*]} (scripts/setup.sh installs them)" >&2
  exit 1
fi

mkdir -p "$(dirname "$PREFIX")"
# One build at a time; a second caller waits for the first and reuses it.
exec 9>"$PREFIX.lock"
flock 9
if [ -f "$PREFIX/BUILD-INFO.txt" ]; then
  echo "$PREFIX"
  exit 0
fi

WORK=$PREFIX.work
rm -rf "$WORK" "$PREFIX"
mkdir -p "$WORK"
trap 'rm -rf "$WORK/apt"' EXIT
start=$(date +%s)

# ---- the source package, through a private apt state ----------------------
APT=$WORK/apt
mkdir -p "$APT/state/lists/partial" "$APT/cache/archives/partial" "$APT/parts" "$WORK/download"
suites=$(sed -n 's/^Suites: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
: "${suites:=bookworm}"
for suite in $suites; do
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main"
done >"$APT/sources.list"
apt_private=(-o Dir::Etc::SourceList="$APT/sources.list" -o Dir::Etc::SourceParts="$APT/parts"
  -o Dir::State="$APT/state" -o Dir::Cache="$APT/cache" -o Dir::State::status=/var/lib/dpkg/status
  -o APT::Sandbox::User=root)
echo "build_qt_windows: fetching Debian's qt6-base $DEB_VERSION source"
apt-get "${apt_private[@]}" -qq update
(cd "$WORK/download" && apt-get "${apt_private[@]}" -qq source --download-only "qt6-base=$DEB_VERSION")
orig=$(ls "$WORK"/download/qt6-base_*.orig.tar.* | head -1)
tar -xf "$orig" -C "$WORK"
SRC=$(ls -d "$WORK"/qtbase-everywhere-src-*/ | head -1)
rm -rf "$WORK/download"

# ---- the cross build -----------------------------------------------------
launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
echo "build_qt_windows: configuring Qt $QT_VERSION for Windows x64 (log: $WORK/build/configure.log)"
mkdir -p "$WORK/build"
cmake -S "$SRC" -B "$WORK/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DCMAKE_INSTALL_PREFIX="$PREFIX" "${launcher[@]}" "${OPTIONS[@]}" \
  >"$WORK/build/configure.log" 2>&1 || { tail -40 "$WORK/build/configure.log"; exit 1; }
echo "build_qt_windows: building (30 to 45 minutes on 2 cores; log: $WORK/build/build.log)"
cmake --build "$WORK/build" -j "$JOBS" >"$WORK/build/build.log" 2>&1 || { tail -40 "$WORK/build/build.log"; exit 1; }
cmake --install "$WORK/build" >"$WORK/build/install.log" 2>&1 || { tail -20 "$WORK/build/install.log"; exit 1; }
# Qt's plugins are link modules, which the toolchain's static runtime flags
# do not reach: they import the MinGW C++ runtime, which is put beside the
# DLLs (where Qt's deployment tool takes it from for a MinGW Qt).
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  found=$(x86_64-w64-mingw32-g++-posix -print-file-name="$dll")
  [ -f "$found" ] || found=/usr/x86_64-w64-mingw32/lib/$dll
  cp "$found" "$PREFIX/bin/"
done
# Qt's licence texts and the attributions of the code it bundles go with
# the DLLs that are shipped, with where the source is to be had.
mkdir -p "$PREFIX/licenses/3rdparty"
cp "$SRC"/LICENSES/*.txt "$PREFIX/licenses/"
for f in "$SRC"/src/3rdparty/*/qt_attribution.json; do
  cp "$f" "$PREFIX/licenses/3rdparty/$(basename "$(dirname "$f")").json"
done
cat >"$PREFIX/licenses/SOURCE.txt" <<EOF
These Qt $QT_VERSION DLLs are built, unchanged, from Debian's qt6-base source
package $DEB_VERSION (apt-get source qt6-base=$DEB_VERSION, or
https://snapshot.debian.org/package/qt6-base/$DEB_VERSION/), under the
GNU LGPL version 3 (LGPL-3.0-only.txt). They are shared libraries: replace
them with a build of your own of the same Qt version to change them.
EOF
echo "Qt $QT_VERSION (Debian qt6-base $DEB_VERSION), built $(date -u +%FT%TZ) in $(( $(date +%s) - start )) s" \
  >"$PREFIX/BUILD-INFO.tmp"
printf '%s\n' "${OPTIONS[@]}" >>"$PREFIX/BUILD-INFO.tmp"
# Written last: a prefix without it is an interrupted build.
mv "$PREFIX/BUILD-INFO.tmp" "$PREFIX/BUILD-INFO.txt"
rm -rf "$WORK"
echo "build_qt_windows: built in $(( $(date +%s) - start )) s" >&2
echo "$PREFIX"
