#!/usr/bin/env bash
# The running application after its first check on the sample Mac, left idle: resident memory
# and wake-ups (voluntary context switches of all its threads, from /proc) over IDLE seconds,
# with QT_QPA_PLATFORM=offscreen, a private session bus and the test suite's fake notification
# service. Usage: bench/model-idle.sh [BUILD_DIR] [IDLE_SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
idle=${2:-180}
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
"$build/examples/make-sample-mac" examples/sample-mac "$work/mac" >/dev/null
examples/sample-dates/apply.sh "$work/mac" >/dev/null
mkdir -p "$work/config/Quorvane" "$work/runtime"
chmod 700 "$work/runtime"
printf '[General]\nquorvane.backup.acceptedTermsVersion=2026-11-30.3\n' >"$work/config/Quorvane/Quorvane Ombrel.conf"

dbus-daemon --session --nofork --nopidfile --print-address=1 >"$work/bus" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/bus" ] && break; sleep 0.1; done
bus=$(head -1 "$work/bus")
DBUS_SESSION_BUS_ADDRESS=$bus "$build/tests/model/fake-notifications" "$work/calls" >/dev/null &
pids+=($!)
sleep 0.5

env -i PATH=/usr/bin:/bin HOME="$work/home" TZ=Europe/Berlin LANG=en_US.UTF-8 \
  XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime" \
  QT_QPA_PLATFORM=offscreen QUORVANE_ROOT="$work/mac" QUORVANE_HOME=/Users/ann \
  DBUS_SESSION_BUS_ADDRESS="$bus" DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-system-bus" \
  "$build/src/app/quorvane-ombrel" >/dev/null 2>&1 &
app=$!
pids+=("$app")
history="$work/data/Quorvane Backup/history.json"
for _ in $(seq 300); do [ -s "$history" ] && break; sleep 0.1; done
sleep 2 # the check's second save and the notifications

# "thread-id switches" for every thread; a thread that ends in between (an idle pool thread
# expires) is left out of the difference, one that starts counts from zero.
switches() {
  for task in /proc/"$app"/task/*; do
    echo "${task##*/} $(awk '/^voluntary_ctxt_switches/ {print $2}' "$task/status" 2>/dev/null)"
  done
}
rss() { awk '/^VmRSS/ {print $2}' /proc/"$app"/status; }
switches >"$work/before"
sleep "$idle"
switches >"$work/after"
read -r before after < <(awk 'NR == FNR {b[$1] = $2; next} {a += $2; if ($1 in b) s += b[$1]} END {print s + 0, a + 0}' "$work/before" "$work/after")
echo "application idle on the sample Mac after its first check, ${idle} s:"
echo "  resident memory   $(rss) KB"
awk -v a="$after" -v b="$before" -v s="$idle" \
  'BEGIN {printf "  wake-ups          %d in %d s (%.1f a minute)\n", a - b, s, (a - b) * 60 / s}'
