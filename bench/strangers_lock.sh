#!/usr/bin/env bash
# What a lock that another program holds on the log file costs its writers:
# velmor-log on a pipe, single lines (write) and batches (writeBatch), each
# with the file free, flock'ed (`flock app.log ...`), and under a record lock
# over the whole file (fcntl or lockf), side by side, interleaved.
#
#   bench/strangers_lock.sh <velmor-log> <writer_process>
#
# Prints, per writer and lock, the best of three runs in ms and its rate as a
# share of the free one. The file rotates at 5 MiB, so a held lock keeps it
# past its threshold for most of a run. Linux (the record lock is taken by
# perl, as F_SETLK).
set -euo pipefail
[ $# -eq 2 ] || { sed -n 2,12p "$0"; exit 2; }
velmor_log=$1 writer=$2
work=$(mktemp -d)
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$work"' EXIT
seq 1 3000000 >"$work/input"

# Holds `kind` (free, flock or record) on the file while the rest runs.
hold() {
  case $1 in
    free) holder= ;;
    # The holder is the process that sleeps, so that killing it lets go.
    flock) (exec 9>>"$work/app.log"; flock 9; exec sleep 600) </dev/null >/dev/null & holder=$! ;;
    record)
      perl -e 'use Fcntl; open(my $f, ">>", $ARGV[0]) or die;
               my $lock = pack("s s x4 q q l x4", F_WRLCK, 0, 0, 0, 0);
               fcntl($f, F_SETLK, $lock) or die "lock: $!";
               sleep 600' "$work/app.log" </dev/null >/dev/null & holder=$! ;;
  esac
  sleep 0.2
}

run() {
  case $1 in
    velmor-log) "$velmor_log" "$work/app.log" <"$work/input" ;;
    single) "$writer" "$work/app.log" s 300000 60 5242880 5 ;;
    batch) "$writer" "$work/app.log" b 1500000 60 5242880 5 1 256 ;;
  esac
}

declare -A best
for round in 1 2 3; do
  for what in velmor-log single batch; do
    for lock in free flock record; do
      rm -f "$work"/app.log*
      touch "$work/app.log"
      hold "$lock"
      start=$(date +%s%N)
      run "$what"
      end=$(date +%s%N)
      [ -n "$holder" ] && { kill "$holder"; wait "$holder" 2>/dev/null || true; holder=; }
      ms=$(( (end - start) / 1000000 ))
      key="$what/$lock"
      if [ -z "${best[$key]:-}" ] || [ "$ms" -lt "${best[$key]}" ]; then best[$key]=$ms; fi
    done
  done
done
printf '%-11s %-7s %8s %14s\n' writer lock "best ms" "rate vs free"
for what in velmor-log single batch; do
  for lock in free flock record; do
    ms=${best[$what/$lock]}
    share=$(awk -v f="${best[$what/free]}" -v m="$ms" 'BEGIN { printf "%.2f", f / m }')
    printf '%-11s %-7s %8d %14s\n' "$what" "$lock" "$ms" "$share"
  done
done
