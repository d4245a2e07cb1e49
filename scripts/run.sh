#!/usr/bin/env bash
# Builds test_log_rotation natively and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
velmor_install "${VELMOR_BASE_PACKAGES[@]}"
cmake -S . -B build/linux -G Ninja >/dev/null
cmake --build build/linux --target test_log_rotation
./build/linux/test_log_rotation
