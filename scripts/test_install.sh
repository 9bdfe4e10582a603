#!/usr/bin/env bash
# The install and the packages, as a user and Debian get them:
#   - builds the project for /usr with Debian's build flags in build-install
#     (LIGHTKIT_INSTALL_BUILD), without tests and benchmarks;
#   - installs it into a temporary prefix and into a DESTDIR; both give the
#     same files, and nothing installed names the build or source tree;
#   - builds two programs outside the source tree against the installed
#     library, one through find_package and one through pkg-config, and runs
#     each against the installed lightsim: it reads the model and its log
#     handler gets the line of a failed call while standard output stays empty;
#   - makes the Debian packages (cpack -G DEB), checks them with lintian (no
#     errors) and prints their contents.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${LIGHTKIT_INSTALL_BUILD:-$ROOT/build-install}
JOBS=${JOBS:-2}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/lightkit-install.XXXXXX")

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "test_install: $*"
  exit 1
}

for tool in cmake pkg-config make cc readelf cpack dpkg-deb dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (scripts/setup.sh installs it)"
done

# ---- build ---------------------------------------------------------------
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  mkdir -p "$BUILD"
  # The flags a Debian package build uses (hardening; the source path mapped
  # to "." in debug info and __FILE__).
  if command -v dpkg-buildflags >/dev/null 2>&1; then
    export CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
    export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
    export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
  fi
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DLIGHTKIT_BUILD_TESTS=OFF -DLIGHTKIT_BUILD_BENCH=OFF >"$BUILD/configure.log" 2>&1 ||
    { cat "$BUILD/configure.log"; fail "configure failed"; }
fi
cmake --build "$BUILD" -j "$JOBS" || fail "build failed"

# ---- install: a prefix of its own, and a DESTDIR -------------------------
PREFIX=$WORK/prefix
DESTDIR_ROOT=$WORK/destdir
cmake --install "$BUILD" --prefix "$PREFIX" --strip >"$WORK/install.log" || { cat "$WORK/install.log"; fail "install into $PREFIX failed"; }
DESTDIR=$DESTDIR_ROOT cmake --install "$BUILD" --strip >"$WORK/install-destdir.log" ||
  { cat "$WORK/install-destdir.log"; fail "install with DESTDIR failed"; }
[ -d "$DESTDIR_ROOT/usr" ] || fail "the DESTDIR install did not land in DESTDIR/usr"
diff <(cd "$PREFIX" && find . | sort) <(cd "$DESTDIR_ROOT/usr" && find . | sort) >"$WORK/lists.diff" ||
  { cat "$WORK/lists.diff"; fail "the prefix and the DESTDIR installs differ"; }
echo "test_install: installed $(cd "$PREFIX" && find . ! -type d | wc -l) files into a prefix and the same into a DESTDIR"

LIBDIR=$(cd "$PREFIX" && dirname "$(find . -name 'libDALU_LightKit.so.*.*.*' | head -1)")
LIBDIR=${LIBDIR#./}
[ -n "$LIBDIR" ] || fail "no libDALU_LightKit.so.X.Y.Z installed"
VERSION=$(sed -n 's/^project(DALU_LightKit VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
MAJOR=${VERSION%%.*}
for path in "$LIBDIR/libDALU_LightKit.so.$VERSION" include/DALU_LightKit.h \
            "$LIBDIR/cmake/DALU_LightKit/DALU_LightKitConfig.cmake" \
            "$LIBDIR/cmake/DALU_LightKit/DALU_LightKitConfigVersion.cmake" \
            "$LIBDIR/pkgconfig/dalu-lightkit.pc" bin/lightsim \
            share/lightkit/schema/lightkit-state.schema.json share/lightkit/schema/lightkit-patch.schema.json; do
  [ -e "$PREFIX/$path" ] || fail "not installed: $path"
done
[ "$(readlink "$PREFIX/$LIBDIR/libDALU_LightKit.so")" = "libDALU_LightKit.so.$MAJOR" ] &&
  [ "$(readlink "$PREFIX/$LIBDIR/libDALU_LightKit.so.$MAJOR")" = "libDALU_LightKit.so.$VERSION" ] ||
  fail "the links are not libDALU_LightKit.so -> .so.$MAJOR -> .so.$VERSION"
readelf -d "$PREFIX/$LIBDIR/libDALU_LightKit.so.$VERSION" | grep "SONAME.*\[libDALU_LightKit.so.$MAJOR\]" >/dev/null ||
  fail "the SONAME is not libDALU_LightKit.so.$MAJOR"
for program in "$PREFIX"/bin/*; do
  name=$(basename "$program")
  [ -f "$PREFIX/share/man/man1/$name.1.gz" ] || fail "$name has no man page"
  gzip -t "$PREFIX/share/man/man1/$name.1.gz" || fail "the man page of $name is not gzip"
done
if [ -e "$PREFIX/bin/LightConsole" ]; then
  for path in share/applications/lightconsole.desktop share/icons/hicolor/scalable/apps/lightconsole.svg; do
    [ -e "$PREFIX/$path" ] || fail "not installed: $path"
  done
  # The entry starts the installed program and shows the installed icon.
  exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$PREFIX/share/applications/lightconsole.desktop")
  icon_name=$(sed -n 's/^Icon=//p' "$PREFIX/share/applications/lightconsole.desktop")
  [ -x "$PREFIX/bin/$exec_name" ] && [ -f "$PREFIX/share/icons/hicolor/scalable/apps/$icon_name.svg" ] ||
    fail "the desktop entry names Exec=$exec_name and Icon=$icon_name, which are not installed"
fi

# A personal prefix gets no Debian-only files, and the service unit starts
# the lightd of that prefix.
debian_only=$(cd "$PREFIX" && find . -path '*/lintian/*' -o -name 'changelog.Debian.gz')
[ -z "$debian_only" ] || fail "a prefix install holds Debian-only files: $(echo $debian_only)"
unit=$(find "$PREFIX" -name 'lightd@.service' | head -1)
if [ -e "$PREFIX/bin/lightd" ]; then
  [ -n "$unit" ] || fail "lightd@.service is not installed"
  grep -q "^ExecStart=$PREFIX/bin/lightd " "$unit" || fail "lightd@.service does not start $PREFIX/bin/lightd: $(grep ExecStart "$unit")"
  echo "test_install: the prefix holds no Debian-only files; lightd@.service starts $PREFIX/bin/lightd"
fi

# Nothing installed leads back to where it was built.
for tree in "$BUILD" "$ROOT"; do
  hits=$(grep -rlF "$tree" "$PREFIX" "$DESTDIR_ROOT")
  [ -z "$hits" ] || fail "installed files name $tree: $(echo $hits)"
done
echo "test_install: no installed file names $BUILD or $ROOT"

# ---- two programs of someone else's, built outside the source tree ---------
cp -r tests/install/consumer_cmake tests/install/consumer_pkgconfig "$WORK/"
cmake -S "$WORK/consumer_cmake" -B "$WORK/consumer_cmake/build" -DCMAKE_PREFIX_PATH="$PREFIX" \
  >"$WORK/consumer_cmake.log" 2>&1 || { cat "$WORK/consumer_cmake.log"; fail "find_package(DALU_LightKit 2.1) failed"; }
cmake --build "$WORK/consumer_cmake/build" >>"$WORK/consumer_cmake.log" 2>&1 ||
  { cat "$WORK/consumer_cmake.log"; fail "the find_package program did not build"; }
# Same major version only.
if cmake -S "$WORK/consumer_cmake" -B "$WORK/consumer_cmake/build-3" -DCMAKE_PREFIX_PATH="$PREFIX" \
     -DLIGHTKIT_WANTED_VERSION=$((MAJOR + 1)).0 >"$WORK/consumer_cmake-3.log" 2>&1; then
  fail "find_package(DALU_LightKit $((MAJOR + 1)).0) accepted version $VERSION"
fi
grep -q "DALU_LightKitConfig.cmake, version: $VERSION" "$WORK/consumer_cmake-3.log" ||
  { cat "$WORK/consumer_cmake-3.log"; fail "find_package($((MAJOR + 1)).0) failed for another reason"; }

export PKG_CONFIG_PATH=$PREFIX/$LIBDIR/pkgconfig
[ "$(pkg-config --modversion dalu-lightkit)" = "$VERSION" ] || fail "pkg-config does not find dalu-lightkit $VERSION"
echo "test_install: pkg-config --cflags --libs dalu-lightkit: $(pkg-config --cflags --libs dalu-lightkit)"
make -C "$WORK/consumer_pkgconfig" >"$WORK/consumer_pkgconfig.log" 2>&1 ||
  { cat "$WORK/consumer_pkgconfig.log"; fail "the pkg-config program did not build"; }
export LD_LIBRARY_PATH=$PREFIX/$LIBDIR
for consumer in "$WORK/consumer_cmake/build/consumer_cmake" "$WORK/consumer_pkgconfig/consumer_pkgconfig"; do
  ldd "$consumer" | grep "libDALU_LightKit.so.$MAJOR => $PREFIX/$LIBDIR/" >/dev/null ||
    fail "$(basename "$consumer") does not load the installed library: $(ldd "$consumer" | grep DALU)"
done

# ---- run them against the installed lightsim -----------------------------
"$PREFIX/bin/lightsim" </dev/null >"$WORK/lightsim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "lightsim: serving" "$WORK/lightsim.log" && break; sleep 0.1; done
PORT=$(sed -n 's/^lightsim: serving \([^ ]*\) .*/\1/p' "$WORK/lightsim.log")
[ -n "$PORT" ] || { cat "$WORK/lightsim.log"; fail "the installed lightsim did not start"; }

status=0
for consumer in "$WORK/consumer_cmake/build/consumer_cmake" "$WORK/consumer_pkgconfig/consumer_pkgconfig"; do
  name=$(basename "$consumer")
  "$consumer" "$PORT" >"$WORK/$name.out" 2>"$WORK/$name.err"
  rc=$?
  sed 's/^/  /' "$WORK/$name.err"
  if [ $rc -ne 0 ]; then
    echo "test_install: $name failed ($rc)"; status=1
  elif [ -s "$WORK/$name.out" ]; then
    echo "test_install: $name wrote to standard output:"; cat "$WORK/$name.out"; status=1
  elif ! grep -q "model 0xffaa0400" "$WORK/$name.err" ||
       ! grep -Eq '^[a-z_]+: handler got: \[error\] <DALUSDK_SetLedBrightness:[0-9]+> 99 >= [0-9]+ err!$' "$WORK/$name.err"; then
    echo "test_install: $name did not read the model or catch the failed call's line"; status=1
  else
    echo "test_install: $name: model read, failed call's line in the handler, standard output empty"
  fi
done
[ $status -eq 0 ] || exit 1

# ---- Debian packages -----------------------------------------------------
DEBS=$WORK/deb
(cd "$BUILD" && cpack -G DEB -B "$DEBS") >"$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log"; fail "cpack -G DEB failed"; }
DEB_VERSION=$(dpkg-deb -f "$DEBS"/libdalu-lightkit${MAJOR}_*.deb Version 2>/dev/null)
[ -n "$DEB_VERSION" ] || fail "no libdalu-lightkit$MAJOR package"
expected=(libdalu-lightkit$MAJOR libdalu-lightkit-dev lightkit-tools)
[ -e "$PREFIX/bin/LightConsole" ] && expected+=(lightconsole)
grep -q "Install component: python" "$WORK/cpack.log" && expected+=(python3-lightkit)
for package in "${expected[@]}"; do
  [ -f "$DEBS/${package}_${DEB_VERSION}_$(dpkg --print-architecture).deb" ] || fail "no $package package"
done
dpkg-deb -f "$DEBS/libdalu-lightkit-dev_${DEB_VERSION}_"*.deb Depends | grep "libdalu-lightkit$MAJOR (= $DEB_VERSION)" >/dev/null ||
  fail "libdalu-lightkit-dev does not depend on libdalu-lightkit$MAJOR (= $DEB_VERSION)"
dev_files=$(dpkg-deb -c "$DEBS/libdalu-lightkit-dev_${DEB_VERSION}_"*.deb)
grep -q '/usr/share/lightkit/schema/lightkit-state.schema.json$' <<<"$dev_files" ||
  fail "libdalu-lightkit-dev does not carry the state schema"

for deb in "$DEBS"/*.deb; do
  echo
  echo "--- $(basename "$deb")"
  dpkg-deb -f "$deb" Package Version Architecture Depends
  # As root lintian says so once; that line is no finding.
  lintian --fail-on error "$deb" 2>&1 | grep -v "running with root privileges" | sed 's/^/  lintian: /'
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "test_install: lintian reports errors on $(basename "$deb")"; status=1; }
  dpkg-deb -c "$deb" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print "  " $0 }'
done
[ $status -eq 0 ] || exit 1
echo
# The Debian-only files are in the package, and its unit starts /usr/bin/lightd.
tools_deb=$(ls "$DEBS"/lightkit-tools_*.deb)
tools_files=$(dpkg-deb -c "$tools_deb")
grep -q '/usr/share/lintian/overrides/lightkit-tools$' <<<"$tools_files" &&
  grep -q '/usr/share/doc/lightkit-tools/changelog.Debian.gz$' <<<"$tools_files" ||
  fail "lightkit-tools lacks its lintian overrides or changelog.Debian.gz"
if grep -q 'lightd@.service$' <<<"$tools_files"; then
  packaged_unit=$(dpkg-deb --fsys-tarfile "$tools_deb" | tar -xO --wildcards '*lightd@.service')
  grep -q '^ExecStart=/usr/bin/lightd ' <<<"$packaged_unit" ||
    fail "the packaged lightd@.service does not start /usr/bin/lightd"
  echo "test_install: lightkit-tools carries its Debian-only files; its lightd@.service starts /usr/bin/lightd"
fi
if [ -e "$PREFIX/bin/lightd" ]; then
  [ -f "$PREFIX/share/lightkit/prometheus/lightkit.rules.yml" ] || fail "the alert rules are not installed"
  grep -q '/usr/share/lightkit/prometheus/lightkit.rules.yml$' <<<"$tools_files" ||
    fail "lightkit-tools lacks the alert rules"
  echo "test_install: the alert rules are installed and in lightkit-tools"
fi

# The packages' own files make a working SDK: unpacked side by side, the
# find_package program builds against them and runs with their lightsim.
for deb in "$DEBS"/*.deb; do dpkg-deb -x "$deb" "$WORK/debroot" || fail "cannot unpack $(basename "$deb")"; done
cmake -S "$WORK/consumer_cmake" -B "$WORK/consumer_deb" -DCMAKE_PREFIX_PATH="$WORK/debroot/usr" >"$WORK/consumer_deb.log" 2>&1 &&
  cmake --build "$WORK/consumer_deb" >>"$WORK/consumer_deb.log" 2>&1 ||
  { cat "$WORK/consumer_deb.log"; fail "the find_package program does not build against the packages' files"; }
kill "${pids[@]}" 2>/dev/null; wait "${pids[@]}" 2>/dev/null; pids=()
"$WORK/debroot/usr/bin/lightsim" </dev/null >"$WORK/lightsim-deb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "lightsim: serving" "$WORK/lightsim-deb.log" && break; sleep 0.1; done
PORT=$(sed -n 's/^lightsim: serving \([^ ]*\) .*/\1/p' "$WORK/lightsim-deb.log")
[ -n "$PORT" ] || { cat "$WORK/lightsim-deb.log"; fail "the packaged lightsim did not start"; }
LD_LIBRARY_PATH=$WORK/debroot/usr/$LIBDIR "$WORK/consumer_deb/consumer_cmake" "$PORT" >"$WORK/deb.out" 2>"$WORK/deb.err" &&
  [ ! -s "$WORK/deb.out" ] || { cat "$WORK/deb.out" "$WORK/deb.err"; fail "the program built against the packages' files failed"; }
echo "test_install: the packages' files, unpacked, build and run the find_package program"
echo "test_install: ${#expected[@]} packages built, lintian reports no errors"
