#!/bin/sh
# Dates the sample Mac's Backblaze files relative to now. Run on the copied sample Mac:
#   sh backblaze.sh TARGET
# Backblaze paused by the user four hours ago, until tomorrow morning; its last completed
# backup finished five hours ago, and its client is alive (heartbeat a minute ago).
set -eu
target=$1
dir="$target/Library/Backblaze.bzpkg/bzdata"
now=$(date +%s)
last=$(((now - 5 * 3600) * 1000 + 250))
until=$(((now + 19 * 3600) * 1000))
beat=$(((now - 60) * 1000))
for file in "$dir/bzreports/bzstat_lastbackupcompleted.xml" "$dir/pauseinfo.xml" \
    "$dir/bzreports/bzserv_heartbeat.txt"; do
    sed -e "s/@LAST_COMPLETED_MILLIS@/$last/" -e "s/@PAUSE_UNTIL_MILLIS@/$until/" \
        -e "s/@HEARTBEAT_MILLIS@/$beat/" "$file" >"$file.dated"
    mv "$file.dated" "$file"
done
