#!/usr/bin/env bash
# Compressed backups, side by side in one run: the writers' lines per second
# with compression off, gzip and zstd (compression_bench writers), the write
# that rotates each way (BM_Rotation), and the library's codecs against
# gzip -6, pigz -6 and zstd -3 on one 5 MiB file of log text (best of 5).
# Prints the tables; draws the writers' rates into docs/compression.svg.
#
#   bash bench/compression_vs_tools.sh [BUILD_DIR [LINES]]
#
# BUILD_DIR: a static build with -DVELMOR_BUILD_BENCHMARKS=ON (build/bench by
# default, made if missing); LINES: 2,000,000 by default.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
velmor_install "${VELMOR_BASE_PACKAGES[@]}" libbenchmark-dev gzip pigz zstd gnuplot-nox
build=${1:-build/bench}
lines=${2:-2000000}
if [ ! -x "$build/bench/compression_bench" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_BENCHMARKS=ON \
    -DVELMOR_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target compression_bench file_log_sink_bench >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1);" \
  "load average $(cut -d' ' -f1-3 /proc/loadavg); $(date -u +%Y-%m-%d)"

# Milliseconds of the best of 5 runs of a command.
best_ms() {
  local best=999999 start end ms
  for _ in 1 2 3 4 5; do
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    ms=$(((end - start) / 1000))
    [ "$ms" -lt "$best" ] && best=$ms
  done
  printf '%d.%d' $((best / 1000)) $((best % 1000 / 100))
}

sample="$work/app.log"
"$build/bench/compression_bench" sample "$sample"
plain=$(stat -c %s "$sample")
echo
echo "| codec on 5 MiB of log text | ms | size of plain |"
echo "|---|---:|---:|"
"$build/bench/compression_bench" codec "$sample" | while read -r name ms size; do
  printf '| velmor %s (level %s) | %s | %.1f %% |\n' "$name" "$([ "$name" = gzip ] && echo 6 || echo 3)" \
    "$ms" "$(awk "BEGIN { print 100 * $size / $plain }")"
done
for tool in "gzip -6" "pigz -6" "zstd -3 -q"; do
  ms=$(best_ms sh -c "$tool -c '$sample' > '$work/out'")
  size=$(stat -c %s "$work/out")
  printf '| `%s` | %s | %.1f %% |\n' "${tool% -q}" "$ms" "$(awk "BEGIN { print 100 * $size / $plain }")"
done

echo
echo "The write that rotates a 5 MiB file (BM_Rotation, mean of 20):"
"$build/bench/file_log_sink_bench" --benchmark_filter='BM_Rotation' 2>/dev/null |
  sed -n 's/^BM_Rotation\/compress:\([0-9]\)\/sync:\([0-9]\)\/iterations:20\/real_time *\([0-9.]*\) ms.*/compress \1 sync \2: \3 ms/p'

echo
"$build/bench/compression_bench" writers "$lines" | tee "$work/writers.txt"

# "| writer | compression | 1.23M | ..." rows into one row per compression:
# name, async rate, batch rate.
{
  echo "# lines per second (millions), compression_bench writers $lines, $(date -u +%Y-%m-%d)"
  awk -F'|' '/M \|/ {
      kind=$2; gsub(/^ +| +$/, "", kind); codec=$3; gsub(/^ +| +$/, "", codec)
      rate=$4; gsub(/[ M]/, "", rate)
      if (!(codec in seen)) { seen[codec]=1; order[++n]=codec }
      if (kind ~ /Async/) async[codec]=rate; else batch[codec]=rate
    }
    END { for (i=1; i<=n; i++) print "\"" order[i] "\"", async[order[i]], batch[order[i]] }' \
    "$work/writers.txt"
} > docs/compression.dat
gnuplot <<'EOF'
set terminal svg size 640,360 font "sans,12"
set output "docs/compression.svg"
set title "Writer lines per second with compressed backups (100-byte lines, 5 MiB x 5)"
set ylabel "million lines per second"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set yrange [0:*]
set key top right
plot "docs/compression.dat" using 2:xtic(1) title "AsyncFileLogSink", "" using 3 title "writeBatch(256)"
EOF
echo "drew docs/compression.svg"
