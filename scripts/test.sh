#!/usr/bin/env bash
# Builds and runs every test, with warnings as errors: format and lint checks,
# the Linux build with GCC (unit tests, test_log_rotation, a benchmark smoke
# run) and with Clang, the sanitizer builds, the installed packages, the
# Debian packages, and the Windows build under Wine with its ZIP archive. Any
# failure fails it; every ctest run has a --timeout, so a hung test fails its
# leg instead of the whole CI run.
set -Eeuo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
velmor_install "${VELMOR_BASE_PACKAGES[@]}" libbenchmark-dev libspdlog-dev clang clang-format clang-tidy \
  libclang-rt-dev e2fsprogs rsyslog pkgconf mount util-linux python3 jq
jobs=$(nproc)
sources=$(git ls-files '*.cpp' '*.h' 2>/dev/null || find logging tests bench test_log_rotation -name '*.cpp' -o -name '*.h')

current="setting up"
step() {
  current="$*"
  printf '\n== %s\n' "$*"
}
# Every failure names the leg it stopped in and the command that failed.
trap 'status=$?; echo "FAILED (exit $status) in \"$current\": $BASH_COMMAND" >&2' ERR
# Fails with a message if a command the next leg needs is missing.
need() {
  local cmd
  for cmd in "$@"; do
    command -v "$cmd" >/dev/null || { echo "missing command: $cmd" >&2; return 1; }
  done
}

step "Format (clang-format)"
clang-format --dry-run --Werror $sources

step "Linux, GCC"
cmake -S . -B build/linux -G Ninja -DVELMOR_WARNINGS_AS_ERRORS=ON -DVELMOR_BUILD_BENCHMARKS=ON
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure --timeout 900 -j "$jobs"
# The benchmark must run; its figures are for people, not for pass/fail.
./build/linux/bench/file_log_sink_bench --benchmark_filter='bytes:100/real_time/threads:1$' \
  --benchmark_min_time=0.05
./build/linux/bench/async_vs_spdlog 20000

step "Linux, Clang, and clang-tidy"
CXX=clang++ cmake -S . -B build/clang -G Ninja -DVELMOR_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
cmake --build build/clang -j "$jobs"
ctest --test-dir build/clang --output-on-failure --timeout 900 -j "$jobs"
clang-tidy -p build/clang --quiet $(git ls-files 'logging/*.cpp' 'test_log_rotation/*.cpp' 'tests/*.cpp' \
  'tools/*.cpp' | grep -v -e consumer -e fuzz -e _windows)

for sanitize in address,undefined thread; do
  step "Linux, Clang, -fsanitize=$sanitize"
  dir="build/sanitize-${sanitize//,/-}"
  CXX=clang++ cmake -S . -B "$dir" -G Ninja -DVELMOR_WARNINGS_AS_ERRORS=ON \
    -DVELMOR_SANITIZE="$sanitize" -DVELMOR_INSTALL=OFF
  cmake --build "$dir" -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$dir" --output-on-failure --timeout 900 -j "$jobs"
done

step "Fuzzing the write path (libFuzzer, ${VELMOR_FUZZ_SECONDS:-30} s)"
CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DVELMOR_WARNINGS_AS_ERRORS=ON -DVELMOR_BUILD_FUZZERS=ON \
  -DVELMOR_BUILD_TESTS=OFF -DVELMOR_INSTALL=OFF -DVELMOR_SANITIZE=address,undefined
cmake --build build/fuzz -j "$jobs"
mkdir -p build/fuzz/corpus
./build/fuzz/tests/fuzz/write_fuzzer -max_total_time="${VELMOR_FUZZ_SECONDS:-30}" -print_final_stats=1 \
  build/fuzz/corpus

step "Installed packages, shared flavour (the GCC leg's ctest checked the static one)"
# The package tests (package.*) install the build into a prefix of their own
# and build tests/consumer against it with find_package, pkg-config alone and
# add_subdirectory, then run the installed velmor-log.
cmake -S . -B build/shared -G Ninja -DBUILD_SHARED_LIBS=ON -DVELMOR_WARNINGS_AS_ERRORS=ON \
  -DVELMOR_BUILD_TESTS=OFF -DVELMOR_PACKAGE_TESTS=ON
cmake --build build/shared -j "$jobs"
ctest --test-dir build/shared --output-on-failure --timeout 900
readelf -d build/shared/package-test/prefix/lib/libvelmor_logging.so |
  grep -q 'SONAME.*libvelmor_logging\.so\.1\]'

step "Debian packages: build, lintian, install, use, purge"
bash scripts/debian-packages.sh

step "Documentation: every relative link resolves"
bash scripts/check-links.sh

step "Windows (MinGW-w64 cross build, run under Wine)"
# `wine` brings /usr/bin/wine and wineserver; `wine64` the 64-bit loader.
velmor_install g++-mingw-w64-x86-64-posix wine wine64 libz-mingw-w64-dev
need x86_64-w64-mingw32-g++-posix wine wineserver wineboot
# A private, throw-away Wine prefix, and a persistent server: without it every
# test would wait for the server to shut down. It must exist before the build,
# because test discovery runs the test executables.
export WINEPREFIX="$PWD/build/wineprefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=d"
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineboot -i >/dev/null 2>&1 </dev/null
# A network share for the UNC names test: \\velmortest\share is build/unc-share.
mkdir -p build/unc-share "$WINEPREFIX/dosdevices/unc/velmortest"
ln -sfn "$PWD/build/unc-share" "$WINEPREFIX/dosdevices/unc/velmortest/share"
export VELMOR_TEST_UNC_SHARE='\\velmortest\share' VELMOR_TEST_UNC_LOCAL="Z:$PWD/build/unc-share"
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DVELMOR_WARNINGS_AS_ERRORS=ON
cmake --build build/windows -j "$jobs"
# A test that fails fails the leg at once: only a launch failure of Wine is
# retried, by cmake/wine-run.sh.
ctest --test-dir build/windows --output-on-failure --timeout 900 -j "$jobs" </dev/null

step "Windows DLL and its ZIP archive, used by a cross-built consumer under Wine"
# The archive takes in the static build above first, then this DLL build.
rm -rf build/windows-dll build/zip build/consumer-windows-dll
cmake -S . -B build/windows-dll -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DBUILD_SHARED_LIBS=ON -DVELMOR_WARNINGS_AS_ERRORS=ON -DVELMOR_BUILD_TESTS=OFF \
  -DVELMOR_PACKAGE_ALSO="$PWD/build/windows"
cmake --build build/windows-dll -j "$jobs"
(cd build/windows-dll && cpack -G ZIP)
version=$(sed -n 's/^project(velmor_logging VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
mkdir -p build/zip && (cd build/zip && cmake -E tar xf "../windows-dll/velmor-logging-$version-win64.zip")
root="build/zip/velmor-logging-$version-win64"
for file in bin/velmor-log.exe bin/libvelmor_logging.dll include/velmor/logging/file_log_sink.h \
  lib/libvelmor_logging.dll.a lib/libvelmor_logging.a lib/cmake/velmor_logging/velmor_loggingConfig.cmake; do
  [ -f "$root/$file" ] || { echo "the archive has no $file" >&2 && false; }
done
dll="$root/bin/libvelmor_logging.dll"
# Nothing but system DLLs.
imports=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')
echo "$dll imports: $imports"
for import in $imports; do
  case "${import,,}" in
    kernel32.dll | msvcrt.dll) ;;
    *) echo "the DLL needs $import" >&2 && false ;;
  esac
done
cmake -S tests/consumer -B build/consumer-windows-dll -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -Dvelmor_logging_DIR="$PWD/$root/lib/cmake/velmor_logging"
cmake --build build/consumer-windows-dll
cp "$dll" build/consumer-windows-dll/
wine build/consumer-windows-dll/consumer.exe 'build\consumer-windows-dll\consumer.log' </dev/null
[ "$(wine "$root/bin/velmor-log.exe" --version </dev/null | tr -d '\r')" = "velmor-log $version" ]

step "All legs passed"
