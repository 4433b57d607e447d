#!/usr/bin/env bash
# The native window under Wine, driven with xdotool on the X display this runs on (xvfb-run):
#   window_test.sh SCENARIO
# Environment (set by CTest): TORV2_WINE_RUN (scripts/wine-run), TORV2_WINE_PREFIX (a prefix for
# the window tests alone), TORV2_TEST_EXE (the window over the virtual programmer),
# TORV2_SHIPPED_EXE (torv2-upgrader.exe), TORV2_PROGRESS_EXE (the bar's tests), TORV2_JOURNAL (where
# the test program writes what the window shows and each upgrade attempt as it ends; see
# ui/win32/window_journal.h). Every wait is for a condition, bounded in time; the Wine processes of
# the prefix end with the test.
set -euo pipefail

# The expected titles below are UTF-8, and so is what xdotool reads back: whatever locale the
# caller has, this runs under a UTF-8 one.
if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
  export LC_ALL=C.UTF-8
fi

scenario="$1"
: "${TORV2_WINE_RUN:?}" "${TORV2_WINE_PREFIX:?}" "${TORV2_TEST_EXE:?}" "${TORV2_JOURNAL:?}"
wineserver=$(dirname "$(command -v wine64 || echo /usr/lib/wine/wine64)")/wineserver
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$TORV2_WINE_PREFIX"

title_base="ZARN TORV II Upgrader"
connected=$'\u3000\u3000\u3000\u00a7 USB OK \u00a7'
disconnected=$'\u3000\u00a7 USB UnConn \u00a7'

pid=""
finish() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
}
trap finish EXIT

fail() {
  echo "FAIL ($scenario): $*" >&2
  echo "--- journal ---" >&2
  cat "$TORV2_JOURNAL" >&2 2>/dev/null || true
  exit 1
}

# Waits until the journal has a line matching the extended regex $1, at most $2 seconds; $3 says
# what is wrong when none comes.
expect_line() {
  local pattern="$1" limit="${2:-30}"
  local what="${3:-no journal line /$pattern/ within ${limit} s}"
  timeout "$limit" bash -c 'until grep -Eq -- "$1" "$2" 2>/dev/null; do sleep 0.05; done' _ \
    "$pattern" "$TORV2_JOURNAL" || fail "$what"
}

# The upgrade attempts the journal holds, in order, as "OUTCOME,OUTCOME,...".
attempts() { sed -n 's/^attempt upgrade //p' "$TORV2_JOURNAL" | paste -sd, -; }

# The X window whose name matches $1 (a regex), waiting at most $2 seconds for it.
window() {
  local id
  id=$(timeout "${2:-30}" xdotool search --sync --name "$1" 2>/dev/null | head -1) || true
  [ -n "$id" ] || fail "no window named /$1/"
  echo "$id"
}

expect_title() {
  local id="$1" want="$2" got
  got=$(xdotool getwindowname "$id")
  [ "$got" = "$want" ] || fail "window title is '$got', expected '$want'"
}

start() {
  rm -f "$TORV2_JOURNAL"
  local journal_windows="Z:${TORV2_JOURNAL//\//\\}"
  "$TORV2_WINE_RUN" --prefix "$TORV2_WINE_PREFIX" "$TORV2_TEST_EXE" --journal "$journal_windows" \
    "$@" &
  pid=$!
}

# Waits for the program to end by itself within $1 seconds; it must exit with 0.
expect_exit() {
  local limit="$1" waited=0
  while kill -0 "$pid" 2>/dev/null; do
    [ "$waited" -lt $((limit * 20)) ] || fail "the program did not end within ${limit} s"
    sleep 0.05
    waited=$((waited + 1))
  done
  wait "$pid" || fail "the program ended with status $?"
  pid=""
  tail -1 "$TORV2_JOURNAL" | grep -qx "end" || fail "the journal does not close with 'end'"
}

main_window() { window "^${title_base}"; }

# The program's log of attempts, where Windows keeps a user's local application data.
attempt_log() {
  local f
  for f in "$TORV2_WINE_PREFIX"/drive_c/users/*/AppData/Local/torv2-upgrader/torv2-upgrader.log; do
    [ -e "$f" ] && { echo "$f"; return 0; }
  done
  return 0
}
# The log's lines without their time: "upgrade failed; cause: ...".
attempt_log_lines() {
  local f
  f=$(attempt_log)
  [ -n "$f" ] || fail "no log file under %LOCALAPPDATA%\\torv2-upgrader"
  sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z //' "$f"
}
size_refused_details='Cause: main size record: refused ("Error")/What to do: the upgrade stopped part-way: run the upgrade again; if it stops at the same step, unplug the programmer and plug it in again first'

press() { xdotool key --window "$1" "$2" 2>/dev/null; }

"$TORV2_WINE_RUN" --prefix "$TORV2_WINE_PREFIX" --setup
# Each scenario reads only its own attempts from the log.
log=$(attempt_log)
[ -z "$log" ] || rm -f "$log"

case "$scenario" in
  progress-bar)
    # The bar's unit tests need a display: they make a real progress control.
    : "${TORV2_PROGRESS_EXE:?}"
    "$TORV2_WINE_RUN" --prefix "$TORV2_WINE_PREFIX" "$TORV2_PROGRESS_EXE" ||
      fail "the progress bar's tests failed"
    ;;

  connected)
    # Start-up with the programmer: its version, the connected title, the button enabled.
    start
    expect_line '^button on$'
    grep -qx "upgrade-version 2.08" "$TORV2_JOURNAL" || fail "carried version not shown"
    grep -qx "current-version 2.07" "$TORV2_JOURNAL" || fail "device version not shown"
    grep -qx "title ${title_base}${connected}" "$TORV2_JOURNAL" || fail "no connected title"
    win=$(main_window)
    expect_title "$win" "${title_base}${connected}"
    # Enter, Escape and Tab do nothing; space starts the upgrade.
    for key in Return Escape Tab; do press "$win" "$key"; done
    press "$win" space
    expect_line '^result Torv2 Main Execute - Upgrade OK \| Torv2 Sub Execute - Upgrade OK \| ' 60
    [ "$(attempts)" = completed ] || fail "a key other than space started a job: $(attempts)"
    grep -q "ＳＵＢ８（ＯＫ）" "$TORV2_JOURNAL" || fail "no socket table"
    # The fonts are read once the result dialog is up.
    for id in 1006 1007 1009 1010; do
      expect_line "^font $id .+ 16 700 " 10 "control $id: not the bold 16 font"
    done
    expect_line "^font 1008 .+ 12 700 " 10 "control 1008: not the bold 12 font"
    result=$(window "^Result of Firmware Upgrade$")
    press "$result" Return
    # Closing the result dialog ends the program.
    expect_exit 20
    ;;

  disconnected)
    # No programmer: the not-connected title and a disabled button; space is refused with a
    # message; the close box ends the program.
    start --no-device
    expect_line '^button off$'
    grep -qx "title ${title_base}${disconnected}" "$TORV2_JOURNAL" || fail "no UnConn title"
    win=$(main_window)
    expect_title "$win" "${title_base}${disconnected}"
    press "$win" space
    expect_line '^message USB Communication cannot be operated!$'
    box=$(window "^torv2-upgrader-test$")
    press "$box" Return
    expect_line '^message closed$'
    press "$win" alt+F4
    expect_exit 20
    ;;

  failed-then-retry)
    # The device refuses the first size record: one message, the window stays, and a second
    # attempt goes through. Both are in the history, the failed one with its cause.
    : "${TORV2_CLI_EXE:?}"
    history="${TORV2_JOURNAL%.journal}.sqlite"
    rm -f "$history" "$history"-wal "$history"-shm
    history_windows="Z:${history//\//\\}"
    start --fault size-reply:1:refuse --history "$history_windows"
    expect_line '^button on$'
    win=$(main_window)
    press "$win" space
    expect_line '^message ZARN TORV II - Firmware Upgrade Error!$' 60
    # A task dialog, with the cause and what to do as its expanded information.
    expect_line '^message-box task-dialog$' 10
    expect_line "^message-details ${size_refused_details//[()]/.}\$" 10 \
      "the box does not carry the cause and what to do as its details"
    box=$(window "^torv2-upgrader-test$")
    press "$box" Return
    expect_line '^message closed$'
    expect_line '^button on$'
    grep -q '^result' "$TORV2_JOURNAL" && fail "a failed upgrade showed a result"
    kill -0 "$pid" 2>/dev/null || fail "the program ended after a failed upgrade"
    press "$win" space
    expect_line '^result Torv2 Main Execute - Upgrade OK \| Torv2 Sub Execute - Upgrade OK \| ' 60
    [ "$(attempts)" = failed,completed ] || fail "expected two attempts, not: $(attempts)"
    result=$(window "^Result of Firmware Upgrade$")
    press "$result" Return
    expect_exit 20
    rows=$("$TORV2_WINE_RUN" --prefix "$TORV2_WINE_PREFIX" "$TORV2_CLI_EXE" history \
             --history "$history_windows" --csv | tr -d '\r') || fail "history could not be read"
    echo "$rows"
    upgrades=$(grep -c ',torv2-upgrader,upgrade,' <<<"$rows" || true)
    [ "$upgrades" = 2 ] || fail "expected two upgrade rows in the history, not $upgrades"
    grep -q ',torv2-upgrader,status,' <<<"$rows" || fail "the start-up status check was not kept"
    grep -E ',torv2-upgrader,upgrade,.*,ok,' <<<"$rows" >/dev/null || fail "no row of the upgrade that went through"
    grep -E ',torv2-upgrader,upgrade,.*size.*refused' <<<"$rows" >/dev/null ||
      fail "the failed upgrade's row does not say why"
    # One line per attempt in the log file, the failure with its cause.
    want=$(printf '%s\n' 'status-check ok; version 2.07' \
      'upgrade failed; version 2.07 -> ?; cause: main size record: refused ("Error")' \
      'upgrade ok; version 2.07 -> 2.08')
    [ "$(attempt_log_lines)" = "$want" ] || fail "log file: $(attempt_log_lines)"
    ;;

  plain-box)
    # Where comctl32 has no task dialog: a plain message box with the same lines under the text.
    start --fault size-reply:1:refuse --plain-boxes
    expect_line '^button on$'
    win=$(main_window)
    press "$win" space
    expect_line '^message ZARN TORV II - Firmware Upgrade Error!$' 60
    expect_line "^message-box plain ZARN TORV II - Firmware Upgrade Error!//${size_refused_details//[()]/.}\$" 10 \
      "the plain box does not carry the cause and what to do under its text"
    box=$(window "^torv2-upgrader-test$")
    press "$box" Return
    expect_line '^message closed$'
    press "$win" alt+F4
    expect_exit 20
    ;;

  close-during-job)
    # The device goes silent in the middle of the download, with a minute's time-out per
    # transfer: the close box cancels the transfer and the program ends at once, showing nothing.
    start --fault chunk-ack:3:no-answer --transfer-timeout 60000
    expect_line '^button on$'
    win=$(main_window)
    press "$win" space
    expect_line '^button off$'  # the job has started
    started=$(date +%s)
    press "$win" alt+F4
    expect_line '^close$'
    expect_exit 20
    [ $(( $(date +%s) - started )) -lt 20 ] || fail "closing waited for the transfer's time-out"
    sed -n '/^close$/,$p' "$TORV2_JOURNAL" | grep -q '^message' && fail "a message after closing"
    # The cancelled job ended, on its error path, before the program did.
    [ "$(attempts)" = failed ] || fail "expected one failed attempt, not: $(attempts)"
    ;;

  shipped-unconn)
    # The shipped program, on the real SetupAPI and WinUSB: Wine has no programmer attached.
    : "${TORV2_SHIPPED_EXE:?}"
    "$TORV2_WINE_RUN" --prefix "$TORV2_WINE_PREFIX" "$TORV2_SHIPPED_EXE" &
    pid=$!
    win=$(window "USB UnConn" 60)
    expect_title "$win" "${title_base}${disconnected}"
    press "$win" alt+F4
    limit=400
    while kill -0 "$pid" 2>/dev/null; do
      limit=$((limit - 1))
      [ "$limit" -gt 0 ] || fail "the program did not end after Alt+F4"
      sleep 0.05
    done
    wait "$pid" || fail "the program ended with status $?"
    pid=""
    ;;

  *)
    echo "window_test.sh: unknown scenario $scenario" >&2
    exit 64
    ;;
esac
echo "PASS ($scenario)"
