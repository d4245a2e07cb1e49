#!/usr/bin/env bash
# Two processes append to one file at once, single lines, no rotation: the
# cost per line of sharing a file, for one or more builds of writer_process
# side by side (each run interleaved with the others').
#
#   bench/shared_writers.sh <writer_process> [<writer_process> ...]
#
# Prints, per build, the wall time per line of five runs (two processes of
# 200,000 80-byte lines each), sorted, and their median.
set -euo pipefail
[ $# -ge 1 ] || { sed -n 2,9p "$0"; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
declare -A times
for round in 1 2 3 4 5; do
  for writer in "$@"; do
    rm -f "$work"/shared.log*
    start=$(date +%s%N)
    "$writer" "$work/shared.log" p 200000 80 1000000000 5 &
    "$writer" "$work/shared.log" q 200000 80 1000000000 5
    wait
    end=$(date +%s%N)
    times[$writer]+="$(( (end - start) / 400000 )) "
  done
done
for writer in "$@"; do
  sorted=$(tr ' ' '\n' <<<"${times[$writer]}" | grep . | sort -n | tr '\n' ' ')
  median=$(awk '{print $3}' <<<"$sorted")
  echo "$writer: ns/line $sorted(median $median)"
done
