#!/bin/sh
# The real program follows the programmer on the bus: the virtual programmer under umockdev drops
# off 3 s after the start and comes back 1.5 s later; the title goes from "USB OK" to
# "USB UnConn" and back to "USB OK" (after the version query on arrival).
#   e2e_hotplug.sh <virtual programmer launcher> <torv2-upgrader>     (run it under xvfb-run -a)
# Every wait is xdotool's own wait for a window title, bounded by `timeout`. Slower machines set
# TORV2_UNPLUG_AT and TORV2_REPLUG_AT (ms) and TORV2_TITLE_WAIT (s).
set -eu
launcher=$1
program=$2

"$launcher" --unplug-at "${TORV2_UNPLUG_AT:-3000}" --replug-at "${TORV2_REPLUG_AT:-4500}" \
  -- "$program" &
pid=$!
fail() {
  echo "e2e: $*" >&2
  kill "$pid" 2>/dev/null || true
  exit 1
}

for state in "USB OK" "USB UnConn" "USB OK"; do
  window=$(timeout "${TORV2_TITLE_WAIT:-30}" xdotool search --sync --onlyvisible --name "$state" | head -n 1) ||
    fail "the title never said $state"
  echo "title: $(xdotool getwindowname "$window")"
done
kill -0 "$pid" || fail "the program ended"
kill "$pid"
wait "$pid" 2>/dev/null || true
