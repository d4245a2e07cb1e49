#!/usr/bin/env bash
# The times AsyncFileLogSink shows against system_clock at the call: a quiet
# run of SECONDS (default 300), then a run of 8 s whose wall clock libfaketime
# steps an hour ahead at 2 s and back at 5 s (the steady clock and the CPU's
# counter run on, as under an NTP step).
#
#   bash bench/stamp_accuracy.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=${1:?usage: stamp_accuracy.sh BUILD_DIR [SECONDS]}
seconds=${2:-300}
program="$build/bench/stamp_accuracy"
library=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
[ -x "$program" ] || { echo "no $program: build the benchmarks" >&2; exit 1; }
[ -f "$library" ] || { echo "no libfaketime (apt-get install faketime)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "quiet run, $seconds s:"
"$program" "$seconds" "$work/quiet.log"

echo "stepped run, 8 s (+1 h at 2 s, back at 5 s):"
echo "+0" >"$work/faketimerc"
LD_PRELOAD="$library" FAKETIME_TIMESTAMP_FILE="$work/faketimerc" FAKETIME_NO_CACHE=1 \
  FAKETIME_DONT_FAKE_MONOTONIC=1 "$program" 8 "$work/stepped.log" &
sleep 2 && echo "+1h" >"$work/faketimerc"
sleep 3 && echo "+0" >"$work/faketimerc"
wait $!
# The hours the file shows: both steps must be there.
cut -c2-3 "$work/stepped.log" | uniq -c
