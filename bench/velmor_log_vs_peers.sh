#!/usr/bin/env bash
# velmor-log against the log rotators that are installed (rotatelogs,
# s6-log, multilog, svlogd) and against one FileLogSink::write per line, on
# the same input: 1,000,000 lines of about 100 bytes through a pipe, 5 MiB x
# 5, best of five rounds taken in turns. Prints each one's time, lines per
# second and maximum resident memory, and velmor-log's on 100 MB without a
# single LF.
#
#   bash bench/velmor_log_vs_peers.sh [--install]   (--install: apt-get the peers)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--install" ]; then
  . scripts/deps.sh
  velmor_install daemontools runit apache2-utils s6 time
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

# Runs "$@" once with the input on a pipe; leaves the wall time (ms, the
# whole pipeline) and the maximum resident memory (KiB) in $ms and $rss.
once() {
  rm -rf "$work/out" && mkdir -p "$work/out"
  [ "$1" = svlogd ] && printf 's5242880\nn5\n' >"$work/out/config"
  local start
  start=$(date +%s%N)
  cat "${input:-$work/input}" | /usr/bin/time -f '%M' -o "$work/time" "$@"
  ms=$((($(date +%s%N) - start) / 1000))
  rss=$(cat "$work/time")
}

# Rows of the table: each program runs $rounds times, the programs taking
# turns, so that a change in the machine's load falls on all of them; the
# best time and the largest memory of each are shown.
row() {
  awk -v name="$1" -v us="$2" -v rss="$3" -v n="$lines" \
    'BEGIN { s = us / 1e6; printf "| %-26s | %8.3f | %12.0f | %8s |\n", name, s, n / s,
                   rss == "" ? "-" : sprintf("%.1f", rss / 1024) }'
}
declare -a names commands
add() { command -v "${2%% *}" >/dev/null && { names+=("$1"); commands+=("$2"); } || true; }
vlog=$build/tools/velmor-log/velmor-log
add "velmor-log" "$vlog $work/out/app.log"
add "rotatelogs -n 5 (5M)" "rotatelogs -n 5 $work/out/app.log 5M"
add "s6-log t s5242880 n5" "s6-log t s5242880 n5 $work/out"
add "multilog t s5242880 n5" "multilog t s5242880 n5 $work/out"
add "svlogd -tt" "svlogd -tt $work/out"
rounds=5
declare -a best most
for ((round = 0; round < rounds; round++)); do
  for i in "${!names[@]}"; do
    # shellcheck disable=SC2086 # the command's words
    once ${commands[$i]}
    if [ -z "${best[$i]:-}" ] || [ "$ms" -lt "${best[$i]}" ]; then best[$i]=$ms; fi
    if [ -z "${most[$i]:-}" ] || [ "$rss" -gt "${most[$i]}" ]; then most[$i]=$rss; fi
  done
done

echo "Input: $lines lines, $bytes bytes, through a pipe; 5 MiB x 5 backups; best of $rounds."
echo
echo "| program                    |  seconds |      lines/s | max RSS MiB |"
echo "|---|---:|---:|---:|"
for i in "${!names[@]}"; do row "${names[$i]}" "${best[$i]}" "${most[$i]}"; done
once "$build/bench/per_line_log" "$work/out/app.log"
row "per-line FileLogSink::write (1 run)" "$ms" "$rss"

# rotatelogs on the same bytes velmor-log writes: each line already carries
# a stamp of velmor-log's length. Taken in turns with velmor-log again.
if command -v rotatelogs >/dev/null; then
  sed 's/^/[12:00:00.000] [INFO] /' "$work/input" >"$work/stamped"
  vbest="" rbest=""
  for ((round = 0; round < rounds; round++)); do
    once $vlog "$work/out/app.log"
    if [ -z "$vbest" ] || [ "$ms" -lt "$vbest" ]; then vbest=$ms; fi
    input=$work/stamped once rotatelogs -n 5 "$work/out/app.log" 5M
    if [ -z "$rbest" ] || [ "$ms" -lt "$rbest" ]; then rbest=$ms; fi
  done
  echo
  echo "The same bytes out ($(wc -c <"$work/stamped") bytes, the stamps in rotatelogs' input):"
  row "velmor-log" "$vbest" ""
  row "rotatelogs, input stamped" "$rbest" ""
  rm -f "$work/stamped"
fi

head -c 100000000 /dev/zero | tr '\0' 'x' >"$work/input"
lines=1
echo
echo "100 MB without a LF:"
once "$vlog" "$work/out/app.log"
row "velmor-log" "$ms" "$rss"
