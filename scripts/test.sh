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
