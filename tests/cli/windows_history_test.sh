#!/usr/bin/env bash
# The Windows command line's history under Wine:
#   windows_history_test.sh WINE_RUN PREFIX CLI_EXE WORK_DIR
# `--virtual upgrade` runs keep their rows in a file named with --history, `history --summary`
# shows the version the programmer last reported (each in-process one starts at 2.07) and its
# last upgrade, and without --history the rows go to the user's
# local application data folder of the prefix (%LOCALAPPDATA%\torv2-upgrader\history.sqlite).
set -euo pipefail
wine_run=$1 prefix=$2 cli=$3 work=$4

fail() { echo "FAIL: $*" >&2; exit 1; }
run() { "$wine_run" --prefix "$prefix" "$cli" "$@" | tr -d '\r'; }

rm -rf "$work"
mkdir -p "$work"
file="$work/history.sqlite"
file_windows="Z:${file//\//\\}"

run --virtual --progress none --history "$file_windows" upgrade >/dev/null
run --virtual --progress none --history "$file_windows" status >/dev/null
summary=$(run history --summary --history "$file_windows")
echo "$summary"
[ "$(sed -n 1p <<<"$summary")" = "DEVICE   VERSION  LAST UPGRADE              OUTCOME" ] ||
  fail "not the summary's heading"
grep -Eq '^virtual +2\.07 +20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z +ok$' <<<"$summary" ||
  fail "the virtual programmer's upgrade is not in the summary"
kinds=$(run history --csv --history "$file_windows" | cut -d, -f2,3 | sed 1d | paste -sd' ' -)
[ "$kinds" = "torv2-upgrader-cli,status torv2-upgrader-cli,upgrade" ] ||
  fail "expected a status row, then an upgrade row (newest first), not: $kinds"

# A name outside the ANSI code page comes through the command line whole.
korean="$work/기록"
mkdir -p "$korean"
run --virtual --progress none --history "Z:${korean//\//\\}\\h.sqlite" status >/dev/null
[ -s "$korean/h.sqlite" ] || fail "no history under $korean: the name did not come through"

# The default place: the shell's local application data folder of the prefix's user.
local_app_data=$("$wine_run" --prefix "$prefix" cmd /c echo %LOCALAPPDATA% | tr -d '\r')
[[ "$local_app_data" == C:\\* ]] || fail "no %LOCALAPPDATA% in the prefix: $local_app_data"
unix_folder="$prefix/drive_c/$(tr '\\' / <<<"${local_app_data#C:\\}")"
default="$unix_folder/torv2-upgrader/history.sqlite"
count() { run history --csv 2>/dev/null | sed 1d | wc -l; }
before=$(count)
run --virtual --progress none status >/dev/null
[ -s "$default" ] || fail "no history at $default"
after=$(count)
[ "$after" -gt "$before" ] || fail "the status check was not kept in $default ($before, then $after rows)"
echo "PASS"
