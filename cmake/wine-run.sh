#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest, and runs it once more only if
# Wine failed to launch it: a non-zero exit within about a second with not a
# byte printed. Wine now and then fails to start a process at all; a test
# that started, printed and failed is never run again, so an intermittent
# fault cannot hide behind a retry.
#
#   wine-run.sh PROGRAM [ARG...]
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=d"
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2; do
  start=$(date +%s%N)
  /usr/bin/wine "$@" >"$out" 2>"$err"
  status=$?
  elapsed_ms=$((($(date +%s%N) - start) / 1000000))
  if [ "$status" -eq 0 ] || [ -s "$out" ] || [ -s "$err" ] || [ "$elapsed_ms" -ge 1000 ] ||
    [ "$attempt" -eq 2 ]; then
    break
  fi
  echo "wine-run.sh: $1 exited $status after $elapsed_ms ms without output: a launch failure; once more" >&2
done
cat "$out"
cat "$err" >&2
exit "$status"
