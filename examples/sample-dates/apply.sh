#!/bin/sh
# Dates the other backup applications' files of a copied sample Mac relative to now
# (make-sample-mac dates Time Machine's). Usage: apply.sh TARGET
set -eu
here=$(dirname "$0")
target=$1
support="$target/Users/ann/Library/Application Support"
sh "$here/backblaze.sh" "$target"
# Vorta stores local wall-clock time: this runs in the demo's own time zone.
sqlite3 "$support/Vorta/settings.db" <"$here/vorta.sql"
sqlite3 "$support/Duplicati/Duplicati-server.sqlite" <"$here/duplicati.sql"
