#!/usr/bin/env bash
# velmor-log against the log rotators that are installed (multilog, svlogd,
# rotatelogs) and against one FileLogSink::write per line, in one run on the
# same input: 1,000,000 lines of about 100 bytes through a pipe, 5 MiB x 5.
# Prints each one's time, lines per second and maximum resident memory, and
# velmor-log's memory on 100 MB without a single LF.
#
#   bash bench/velmor_log_vs_peers.sh [--install]   (--install: apt-get the peers)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--install" ]; then
  . scripts/deps.sh
  velmor_install daemontools runit apache2-utils time
fi
build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_BENCHMARKS=ON \
  -DVELMOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target velmor-log per_line_log >/dev/null
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (apt-get install time)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
lines=1000000
awk -v n="$lines" 'BEGIN { for (i = 0; i < n; i++)
  printf "%08d GET /api/v1/items?page=%02d status=200 time=0.%03ds user=u%05d agent=bench-client/1.0 ok\n",
         i, i % 97, i % 1000, i % 99991 }' >"$work/input"
bytes=$(wc -c <"$work/input")

# Runs "$@" with the input on a pipe and prints a row of the table.
measure() {
  local name=$1
  shift
  rm -rf "$work/out" && mkdir -p "$work/out"
  [ "$name" = svlogd ] && printf 's5242880\nn5\n' >"$work/out/config"
  cat "$work/input" | /usr/bin/time -f '%e %M' -o "$work/time" "$@"
  read -r seconds rss <"$work/time"
  awk -v name="$name" -v s="$seconds" -v rss="$rss" -v n="$lines" \
    'BEGIN { printf "| %-26s | %8.2f | %12.0f | %8.1f |\n", name, s, (s > 0 ? n / s : 0), rss / 1024 }'
}

echo "Input: $lines lines, $bytes bytes, through a pipe; 5 MiB x 5 backups."
echo
echo "| program                    |  seconds |      lines/s | max RSS MiB |"
echo "|---|---:|---:|---:|"
measure "velmor-log" "$build/tools/velmor-log/velmor-log" "$work/out/app.log"
command -v multilog >/dev/null && measure "multilog t s5242880 n5" multilog t s5242880 n5 "$work/out"
command -v svlogd >/dev/null && measure "svlogd -tt" svlogd -tt "$work/out"
command -v rotatelogs >/dev/null && measure "rotatelogs -n 5 (5M)" rotatelogs -n 5 "$work/out/app.log" 5M
measure "per-line FileLogSink::write" "$build/bench/per_line_log" "$work/out/app.log"

head -c 100000000 /dev/zero | tr '\0' 'x' >"$work/input"
lines=1
echo
echo "100 MB without a LF:"
measure "velmor-log" "$build/tools/velmor-log/velmor-log" "$work/out/app.log"
