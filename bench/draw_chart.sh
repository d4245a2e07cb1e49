#!/usr/bin/env bash
# Runs the end-to-end comparison of the rotating file loggers
# (async_vs_spdlog) and draws its lines per second as a bar chart,
# docs/performance.svg, with the figures beside it in docs/performance.dat.
#
#   bash bench/draw_chart.sh [BUILD_DIR [LINES]]
#
# BUILD_DIR: a build with -DVELMOR_BUILD_BENCHMARKS=ON (build/bench by
# default); LINES: as for async_vs_spdlog (2,000,000 by default). Needs
# gnuplot (Debian: gnuplot-nox).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
lines=${2:-2000000}
command -v gnuplot >/dev/null || { echo "draw_chart.sh: gnuplot is missing (apt-get install gnuplot-nox)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && "$OLDPWD/$build/bench/async_vs_spdlog" "$lines") | tee "$work/run.txt"
# "| logger | threads | 1.23M |" rows, into one row per logger: name, 1 thread, 4 threads.
{
  echo "# lines per second (millions), async_vs_spdlog $lines, $(date -u +%Y-%m-%d), $(nproc) cores"
  echo "# logger 1-thread 4-threads"
  awk -F'|' '/^\| (velmor|spdlog)/ {
      name=$2; gsub(/^ +| +$/, "", name);
      value=$4; gsub(/[ M]/, "", value)
      if (!(name in one)) { order[++n]=name }
      if ($3+0 == 1) one[name]=value; else four[name]=value
    }
    END { for (i=1; i<=n; i++) print "\"" order[i] "\"", one[order[i]], four[order[i]] }' "$work/run.txt"
} > docs/performance.dat
gnuplot <<'PLOT'
set terminal svg size 760,380 dynamic font "sans,12" background rgb "white"
set output "docs/performance.svg"
set title "Rotating file loggers, 100-byte lines, end to end (higher is better)"
set ylabel "million lines per second"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key top right
set grid ytics
set yrange [0:*]
set xtics noenhanced
plot "docs/performance.dat" using 2:xtic(stringcolumn(1)) title "1 thread", \
     "" using 3 title "4 threads"
PLOT
echo "wrote docs/performance.svg and docs/performance.dat"
