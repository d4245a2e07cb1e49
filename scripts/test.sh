#!/usr/bin/env bash
# Builds and runs every test, with warnings as errors. Any failure fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
velmor_install "${VELMOR_BASE_PACKAGES[@]}"
jobs=$(nproc)

echo "== Linux (GCC)"
cmake -S . -B build/linux -G Ninja -DVELMOR_WARNINGS_AS_ERRORS=ON
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs"

echo "== Windows (MinGW-w64 cross build, run under Wine)"
velmor_install g++-mingw-w64-x86-64-posix wine64
# A private, throw-away Wine prefix, and a persistent server: without it every
# test would wait for the server to shut down. It must exist before the build,
# because test discovery runs the test executables.
export WINEPREFIX="${VELMOR_WINEPREFIX:-$PWD/build/wineprefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 </dev/null
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineboot -i >/dev/null 2>&1 </dev/null
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DVELMOR_WARNINGS_AS_ERRORS=ON
cmake --build build/windows -j "$jobs"
ctest --test-dir build/windows --output-on-failure -j "$jobs" </dev/null
