#!/usr/bin/env bash
# Times `--print-status` on the sample Mac with every application installed: the median wall
# time and peak memory over several runs, and the share of that time spent in the fake tools
# (each tool the printout runs, timed on its own the same number of times).
# Usage: bench/print-status.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-15}
sample=$(mktemp -d)
trap 'rm -rf "$sample"' EXIT
"$build/examples/make-sample-mac" examples/sample-mac "$sample/mac"
examples/sample-dates/apply.sh "$sample/mac"
export QUORVANE_ROOT="$sample/mac" QUORVANE_HOME=/Users/ann TZ=Europe/Berlin LANG=en_US.UTF-8

median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# wall seconds and peak resident kilobytes of one command, as "seconds kilobytes"
measure() { /usr/bin/time -f "%e %M" "$@" 2>&1 >/dev/null | tail -1; }

: >"$sample/whole"
for _ in $(seq "$runs"); do
  measure "$build/src/app/quorvane-ombrel" --print-status >>"$sample/whole"
done
wall=$(cut -d' ' -f1 "$sample/whole" | median)
rss=$(cut -d' ' -f2 "$sample/whole" | median)

tools=(
  "usr/bin/tmutil destinationinfo -X"
  "usr/bin/tmutil status -X"
  "Applications/Carbon Copy Cloner.app/Contents/MacOS/ccc --history -c -d"
  "Applications/Carbon Copy Cloner.app/Contents/MacOS/ccc --print-schedules -c -d"
  "Applications/Arq.app/Contents/Resources/arqc stats"
)
toolTotal=0
for entry in "${tools[@]}"; do
  : >"$sample/tool"
  case "$entry" in
    usr/bin/tmutil*) tool="$sample/mac/usr/bin/tmutil"; args=${entry#usr/bin/tmutil } ;;
    *ccc*) tool="$sample/mac/Applications/Carbon Copy Cloner.app/Contents/MacOS/ccc"; args=${entry#*ccc } ;;
    *arqc*) tool="$sample/mac/Applications/Arq.app/Contents/Resources/arqc"; args=${entry#*arqc } ;;
  esac
  for _ in $(seq "$runs"); do
    # shellcheck disable=SC2086
    measure "$tool" $args >>"$sample/tool"
  done
  toolTotal=$(awk -v a="$toolTotal" -v b="$(cut -d' ' -f1 "$sample/tool" | median)" 'BEGIN {print a + b}')
done

echo "print-status on the sample Mac, median of $runs runs:"
echo "  wall time       ${wall} s"
echo "  peak memory     ${rss} KB"
echo "  fake tools      ${toolTotal} s (median of each tool's own run, summed)"
awk -v t="$toolTotal" -v w="$wall" 'BEGIN {printf "  tools share     %.0f%%\n", (w > 0 ? 100 * t / w : 0)}'
