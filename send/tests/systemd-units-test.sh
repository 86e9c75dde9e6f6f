#!/bin/sh
# The user units of pendrel-send, written as the install writes them (naming PENDREL-SEND), must
# pass systemd-analyze verify: the template for a station, the nightly service and its timer.
#   systemd-units-test.sh UNITS-FOLDER PENDREL-SEND
# Exit 77 (skipped) without systemd-analyze.
set -u
units=${1:?usage: $0 UNITS-FOLDER PENDREL-SEND} send=${2:?usage: $0 UNITS-FOLDER PENDREL-SEND}
command -v systemd-analyze >/dev/null 2>&1 || { echo "SKIP: no systemd-analyze"; exit 77; }
work=$(mktemp -d /tmp/pendrel-units.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/units" "$work/run"
chmod 700 "$work/run"
for f in "$units"/*; do
    sed "s|@PENDREL_SEND_EXEC@|$send|" "$f" > "$work/units/$(basename "$f" .in)"
done
# An instance of the template, as systemctl --user start pendrel-send@dcf77 makes it.
cp "$work/units/pendrel-send@.service" "$work/units/pendrel-send@dcf77.service"
cd "$work/units" || exit 1
# The user manager's checks without a user session: a runtime folder of the test's own.
if ! XDG_RUNTIME_DIR="$work/run" systemd-analyze verify --user --man=no ./pendrel-send-nightly.timer \
        ./pendrel-send-nightly.service ./pendrel-send@dcf77.service; then
    echo "FAIL: systemd-analyze verify found faults in the units"
    exit 1
fi
grep -q '^OnCalendar=\*-\*-\* 00:59:30$' pendrel-send-nightly.timer || { echo "FAIL: the timer's time"; exit 1; }
echo "ok: the units verify"
