#!/usr/bin/env bash
# The Windows zip of the mingw cross build, "LightKit for Windows x64"
# (build-win, which scripts/test_windows.sh makes and then calls this script):
#   - cpack -G ZIP; the zip holds the SDK (DALU_LightKit.dll,
#     libDALU_LightKit.dll.a for MinGW, DALU_LightKit.lib for Microsoft's
#     linker, DALU_LightKit.def, the header), LightConsole.exe with Qt's DLLs
#     and plugins laid out beside it, lightctl.exe, lightd.exe with its web
#     folder, lightsim.exe, README.md, LICENSE and the third-party licences;
#   - every DLL that a program or plugin in the zip imports is in the zip or
#     is one of Windows' own (in wine's system32);
#   - the .def, both import libraries and the zipped DLL name exactly the
#     header's 39 exports, and the import libraries name DALU_LightKit.dll;
#   - a small C program built from the zip alone, once with each import
#     library, runs under wine (when WINEPREFIX is set, as test_windows.sh does)
#     and gets the library version and the line of a failed call in its handler.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${LIGHTKIT_WINDOWS_BUILD:-$ROOT/build-win}
TRIPLE=x86_64-w64-mingw32
WORK=$(mktemp -d "${TMPDIR:-/tmp}/lightkit-winsdk.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

fail() {
  echo "test_package_windows: $*"
  exit 1
}

[ -f "$BUILD/CMakeCache.txt" ] || fail "no cross build in $BUILD (scripts/test_windows.sh makes it)"
for tool in cpack $TRIPLE-nm $TRIPLE-objdump $TRIPLE-gcc-posix; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (scripts/setup.sh installs it)"
done

(cd "$BUILD" && cpack -G ZIP -B "$WORK/zip") >"$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log"; fail "cpack -G ZIP failed"; }
VERSION=$(sed -n 's/^project(DALU_LightKit VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
NAME=LightKit-$VERSION-win64
ZIP=$WORK/zip/$NAME.zip
[ -f "$ZIP" ] || fail "no $NAME.zip"
mkdir -p "$WORK/sdk"
(cd "$WORK/sdk" && cmake -E tar xf "$ZIP") || fail "cannot unpack $NAME.zip"
SDK=$WORK/sdk/$NAME
for path in bin/DALU_LightKit.dll bin/lightsim.exe lib/libDALU_LightKit.dll.a lib/DALU_LightKit.lib \
            lib/DALU_LightKit.def include/DALU_LightKit.h README.md LICENSE; do
  [ -f "$SDK/$path" ] || fail "$NAME.zip has no $path"
done
# The programs, where the build made them.
for program in LightConsole lightctl lightd; do
  [ ! -f "$BUILD"/*/$program.exe ] || [ -f "$SDK/bin/$program.exe" ] || fail "$NAME.zip has no bin/$program.exe"
done
if [ -f "$SDK/bin/LightConsole.exe" ]; then
  for path in bin/Qt6Core.dll bin/Qt6Gui.dll bin/Qt6Widgets.dll bin/platforms/qwindows.dll \
              bin/styles/qwindowsvistastyle.dll licenses/Qt/LGPL-3.0-only.txt; do
    [ -f "$SDK/$path" ] || fail "$NAME.zip has no $path beside LightConsole.exe"
  done
fi
if [ -f "$SDK/bin/lightd.exe" ]; then
  for path in bin/web/index.html bin/web/app.js licenses/boost.txt; do
    [ -f "$SDK/$path" ] || fail "$NAME.zip has no $path beside lightd.exe"
  done
fi
grep -q 'LightKit for Windows x64' "$SDK/README.md" || fail "$NAME.zip's README.md is not the one for Windows users"
echo "test_package_windows: $NAME.zip ($(stat -c %s "$ZIP") bytes):"
(cd "$WORK/sdk" && find "$NAME" -type f | sort | sed 's/^/  /')

# ---- every imported DLL is there -----------------------------------------
SYSTEM32=${WINEPREFIX:+$WINEPREFIX/drive_c/windows/system32}
if [ -n "$SYSTEM32" ] && [ -d "$SYSTEM32" ]; then
  missing_dlls=""
  while IFS= read -r binary; do
    # api-ms-win-* and ext-ms-* name API sets, which Windows resolves itself.
    for dll in $($TRIPLE-objdump -p "$binary" | awk '/DLL Name:/ && $3 !~ /^(api|ext)-ms-/ {print $3}'); do
      [ -n "$(find "$SDK/bin" "$SYSTEM32" -maxdepth 1 -iname "$dll" -print -quit)" ] ||
        missing_dlls+=" ${binary#$SDK/}:$dll"
    done
  done < <(find "$SDK/bin" -iname '*.exe' -o -iname '*.dll')
  [ -z "$missing_dlls" ] || fail "DLLs neither in the zip nor in Windows:$missing_dlls"
  echo "test_package_windows: every DLL the zip's programs and plugins import is in the zip or in Windows"
fi

# ---- the 39 names everywhere ----------------------------------------------
declared=$(sed -n 's/^DALUSDK_API .*\(DALUSDK_[A-Za-z0-9_]*\)(.*/\1/p' "$SDK/include/DALU_LightKit.h" | sort)
[ "$(printf '%s\n' "$declared" | grep -c .)" -eq 39 ] || fail "the header does not declare 39 exports"

same_as_header() {  # same_as_header WHAT NAMES
  [ "$2" = "$declared" ] ||
    fail "$1 differs from the header: $(diff <(printf '%s\n' "$declared") <(printf '%s\n' "$2") | grep '^[<>]' | tr '\n' ' ')"
}

same_as_header DALU_LightKit.def "$(sed -n 's/^ *\(DALUSDK_[A-Za-z0-9_]*\) *$/\1/p' "$SDK/lib/DALU_LightKit.def" | sort)"

$TRIPLE-objdump -p "$SDK/bin/DALU_LightKit.dll" >"$WORK/dll-tables.txt" || fail "objdump failed on the zipped DLL"
same_as_header "the zipped DLL's export table" \
  "$(awk '/\[Ordinal\/Name Pointer\] Table/ {t=1; next} t && NF == 0 {exit} t {print $NF}' "$WORK/dll-tables.txt" | sort)"

for lib in libDALU_LightKit.dll.a DALU_LightKit.lib; do
  $TRIPLE-nm "$SDK/lib/$lib" >"$WORK/$lib.nm" 2>/dev/null || fail "nm failed on $lib"
  # Each export is an import pointer (I __imp_X) and a call thunk (T X).
  same_as_header "$lib's import pointers" "$(awk '$2 == "I" && $3 ~ /^__imp_/ {sub(/^__imp_/, "", $3); print $3}' "$WORK/$lib.nm" | sort)"
  same_as_header "$lib's call thunks" "$(awk '$2 == "T" {print $3}' "$WORK/$lib.nm" | sort)"
  # Beyond them only the library's own head and name symbols.
  others=$(awk 'NF == 3 && ($2 == "I" || $2 == "T") && $3 !~ /^(__imp_)?DALUSDK_/ && $3 !~ /^_head_/ && $3 !~ /_iname$/ {print $3}' "$WORK/$lib.nm")
  [ -z "$others" ] || fail "$lib defines more: $(echo $others)"
  strings -a "$SDK/lib/$lib" | grep -x 'DALU_LightKit.dll' >/dev/null || fail "$lib does not name DALU_LightKit.dll"
done
echo "test_package_windows: DALU_LightKit.def, DALU_LightKit.lib, libDALU_LightKit.dll.a and the DLL name the header's 39 exports and nothing else"

# ---- a program built from the zip alone, with each import library -----------
RUN=$WORK/run
mkdir -p "$RUN"
cp "$SDK/bin/DALU_LightKit.dll" "$RUN/"
for lib in libDALU_LightKit.dll.a DALU_LightKit.lib; do
  exe=$RUN/consumer-${lib%%.*}.exe
  $TRIPLE-gcc-posix -std=c99 -Wall -Wextra -I"$SDK/include" tests/install/consumer_windows/main.c \
    "$SDK/lib/$lib" -o "$exe" || fail "the program does not link with $lib"
  $TRIPLE-objdump -p "$exe" | grep "DLL Name: DALU_LightKit.dll" >/dev/null || fail "the program linked with $lib does not import DALU_LightKit.dll"
done
if [ -n "${WINEPREFIX:-}" ] && command -v wine >/dev/null 2>&1; then
  for exe in "$RUN"/consumer-*.exe; do
    out=$(cd "$RUN" && timeout 120 wine "$(basename "$exe")" </dev/null 2>"$WORK/wine.err" | tr -d '\r')
    printf '%s\n' "$out" | sed "s/^/  $(basename "$exe"): /"
    printf '%s\n' "$out" | grep -x "sdk version 20100" >/dev/null &&
      printf '%s\n' "$out" | grep -Ex 'handler got: \[error\] <DALUSDK_GetDeviceModel:[0-9]+> handle == null!' >/dev/null ||
      { cat "$WORK/wine.err"; fail "$(basename "$exe") under wine did not get the version and the failed call's line"; }
  done
  echo "test_package_windows: programs linked with either import library run under wine"
else
  echo "test_package_windows: both programs link; WINEPREFIX is not set, so they are not run"
fi
