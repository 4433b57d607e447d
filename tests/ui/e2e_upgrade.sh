#!/usr/bin/env bash
# The real program on an X server, through libusb, against a virtual programmer that umockdev
# presents as a USB device: the title says the device is there and names it as the command line
# does, the space key upgrades it, Return closes the result dialog, and the program ends with
# status 0; its history then shows the start-up check and the upgrade. The command line then
# upgrades the same programmer into the same history: both programs name it alike, so the summary
# holds it once.
#   e2e_upgrade.sh <virtual programmer launcher> <torv2-upgrader> <torv2-upgrader-cli> [no-serial]
#   (run it under xvfb-run -a; with no-serial the programmer has no serial number and goes by its
#   port)
# Every wait is xdotool's own wait for a window, bounded by `timeout`.
set -eu
launcher=$1
program=$2
cli=$3
history=$(mktemp -d)/history.sqlite
device=VIRTUAL1
serial=()
if [ "${4:-}" = no-serial ]; then
  device=1-1
  serial=(--serial '')
fi

"$launcher" "${serial[@]}" -- "$program" --history "$history" &
pid=$!
fail() {
  echo "e2e: $*" >&2
  kill "$pid" 2>/dev/null || true
  exit 1
}

main=$(timeout 30 xdotool search --sync --onlyvisible --name "ZARN TORV II Upgrader" | head -n 1) ||
  fail "the main window did not appear"
title=$(xdotool getwindowname "$main")
echo "main window: $title"
case "$title" in
  *"USB OK"*"$device") ;;
  *"USB OK"*) fail "the title does not end in the programmer's name, $device" ;;
  *) fail "the programmer was not found at start-up" ;;
esac

xdotool windowfocus --sync "$main" key space
result=$(timeout 60 xdotool search --sync --onlyvisible --name "Result of Firmware Upgrade" |
  head -n 1) || fail "no result dialog"
echo "result dialog: $(xdotool getwindowname "$result")"
xdotool windowfocus --sync "$result" key Return

status=0
wait "$pid" || status=$?
echo "program exit status: $status"
[ "$status" -eq 0 ] || exit "$status"

kept=$("$cli" --history "$history" history --csv | cut -d, -f2-4,6-8,11-12)
echo "history: $kept"
[ "$kept" = "$(printf '%s\n' program,kind,device,version_before,version_carried,outcome,sockets,version_after \
  "torv2-upgrader,upgrade,$device,2.07,2.08,ok,UUUUUUUU,2.08" \
  "torv2-upgrader,status,$device,2.07,2.08,ok,,")" ] || fail "the history does not show both"

"$launcher" "${serial[@]}" -- "$cli" --history "$history" --progress none upgrade >/dev/null ||
  fail "the command line's upgrade failed"
summary=$("$cli" --history "$history" history --summary)
echo "summary: $summary"
[ "$(printf '%s\n' "$summary" | awk 'NR > 1 { print $1 }')" = "$device" ] ||
  fail "the summary does not hold the programmer once, as $device"
rm -r "$(dirname "$history")"
