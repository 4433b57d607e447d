#!/usr/bin/env bash
# The installer under Wine, in a prefix of its own, as a script that sets machines up uses it: a
# silent install puts both programs, README.txt and the uninstaller under the 64-bit Program Files,
# the uninstall entry in the 64-bit registry view and a shortcut in the Start menu; the installed
# command line runs; the silent uninstall the entry names removes all of it and keeps the user's
# history.
# Environment (set by CTest): TORV2_WINE_RUN (scripts/wine-run), TORV2_WINE_PREFIX (this test's
# prefix), TORV2_INSTALLER (torv2-upgrader-VERSION-setup.exe), TORV2_GUI_EXE and TORV2_CLI_EXE
# (the programs as built), TORV2_PROJECT_VERSION.
set -euo pipefail

if [ "$(locale charmap 2>/dev/null)" != UTF-8 ]; then
  export LC_ALL=C.UTF-8
fi

: "${TORV2_WINE_RUN:?}" "${TORV2_WINE_PREFIX:?}" "${TORV2_INSTALLER:?}" "${TORV2_GUI_EXE:?}"
: "${TORV2_CLI_EXE:?}" "${TORV2_PROJECT_VERSION:?}"
wineserver=$(dirname "$(command -v wine64 || echo /usr/lib/wine/wine64)")/wineserver
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$TORV2_WINE_PREFIX"
# A shortcut made in the Start menu would otherwise become a .desktop file in the caller's home.
export WINEDLLOVERRIDES="winemenubuilder.exe=d"

started=$(date +%s%N)
tmp=$(mktemp -d)
finish() {
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$tmp"
}
trap finish EXIT

fail() {
  echo "FAIL (installer): $*" >&2
  exit 1
}

# Runs a Windows program in the prefix; its output goes to $tmp/out, never to a pipe, since Wine's
# background processes started with it keep what they inherit open.
run() {
  "$TORV2_WINE_RUN" --prefix "$TORV2_WINE_PREFIX" "$@" </dev/null >"$tmp/out" 2>"$tmp/err"
}
output() { tr -d '\r' <"$tmp/out"; }

# A Windows path under drive C: as the Unix path Wine keeps it at.
unix_path() {
  local path="${1#[Cc]:\\}"
  echo "$TORV2_WINE_PREFIX/drive_c/${path//\\//}"
}

key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\torv2-upgrader'
install_dir='C:\Program Files\ZARN TORV II Upgrader'
shortcut='C:\ProgramData\Microsoft\Windows\Start Menu\Programs\ZARN TORV II Upgrader.lnk'
installed_files=(torv2-upgrader.exe torv2-upgrader-cli.exe README.txt uninstall.exe)

# The prefix is set up once and kept; its server, if one was left running, is not ours to reuse:
# the waits below need a server that ends with the last program.
"$TORV2_WINE_RUN" --prefix "$TORV2_WINE_PREFIX" --setup
"$wineserver" -k 2>/dev/null || true

# What an earlier run that failed half-way may have left.
rm -rf "$(unix_path "$install_dir")" "$(unix_path "$shortcut")"
run reg delete "$key" /reg:64 /f || true
run cmd /c echo %LOCALAPPDATA%
local_app_data=$(output | head -1)
[[ $local_app_data == [Cc]:\\* ]] || fail "no %LOCALAPPDATA% in the prefix: '$local_app_data'"
history_dir=$(unix_path "$local_app_data\\torv2-upgrader")
rm -rf "$history_dir"

# A history kept so far, which no uninstall may take away.
mkdir -p "$history_dir"
printf 'SQLite format 3\0 kept by the uninstall' >"$history_dir/history.sqlite"
cp "$history_dir/history.sqlite" "$tmp/history.before"

# --- silent install
t0=$(date +%s%N)
run "$TORV2_INSTALLER" /S || fail "the silent install ended with $?: $(cat "$tmp/err")"
install_ms=$(( ($(date +%s%N) - t0) / 1000000 ))

dir=$(unix_path "$install_dir")
for file in "${installed_files[@]}"; do
  [ -f "$dir/$file" ] || fail "the install put no $file in $install_dir"
done
cmp -s "$dir/torv2-upgrader.exe" "$TORV2_GUI_EXE" ||
  fail "the installed torv2-upgrader.exe is not the one built"
cmp -s "$dir/torv2-upgrader-cli.exe" "$TORV2_CLI_EXE" ||
  fail "the installed torv2-upgrader-cli.exe is not the one built"
grep -q "ZARN TORV II Upgrader $TORV2_PROJECT_VERSION for Windows" "$dir/README.txt" ||
  fail "the installed README.txt is not of version $TORV2_PROJECT_VERSION"
[ ! -e "$(unix_path 'C:\Program Files (x86)\ZARN TORV II Upgrader')" ] ||
  fail "the install went to Program Files (x86)"

# The uninstall entry, as "Apps & features" and scripts read it.
run reg query "$key" /reg:64 || fail "no uninstall entry in the 64-bit registry view"
declare -A entry=()
while IFS= read -r line; do
  if [[ $line =~ ^\ {4}([A-Za-z]+)\ {4}(REG_[A-Z]+)\ {4}(.*)$ ]]; then
    entry[${BASH_REMATCH[1]}]="${BASH_REMATCH[2]} ${BASH_REMATCH[3]}"
  fi
done < <(output)
declare -A want=(
  [DisplayName]='REG_SZ ZARN TORV II Upgrader'
  [Publisher]='REG_SZ ZARN'
  [DisplayVersion]="REG_SZ $TORV2_PROJECT_VERSION"
  [DisplayIcon]='REG_SZ C:\Program Files\ZARN TORV II Upgrader\torv2-upgrader.exe,0'
  [InstallLocation]='REG_SZ C:\Program Files\ZARN TORV II Upgrader'
  [UninstallString]='REG_SZ "C:\Program Files\ZARN TORV II Upgrader\uninstall.exe"'
  [QuietUninstallString]='REG_SZ "C:\Program Files\ZARN TORV II Upgrader\uninstall.exe" /S'
  [NoModify]='REG_DWORD 0x1'
  [NoRepair]='REG_DWORD 0x1'
)
for name in "${!want[@]}"; do
  [ "${entry[$name]-}" = "${want[$name]}" ] ||
    fail "uninstall entry $name is '${entry[$name]-(none)}', expected '${want[$name]}'"
done
# The size in KiB: at least the two programs, which make up nearly all of it.
[[ ${entry[EstimatedSize]-} =~ ^REG_DWORD\ 0x([0-9a-fA-F]+)$ ]] ||
  fail "uninstall entry EstimatedSize is '${entry[EstimatedSize]-(none)}'"
size_kib=$((16#${BASH_REMATCH[1]}))
programs_kib=$(( ($(stat -c %s "$TORV2_GUI_EXE") + $(stat -c %s "$TORV2_CLI_EXE")) / 1024 ))
(( size_kib >= programs_kib && size_kib < programs_kib + 1024 )) ||
  fail "EstimatedSize is $size_kib KiB; the programs alone take $programs_kib KiB"
if run reg query "$key" /reg:32; then
  fail "the uninstall entry is in the 32-bit registry view"
fi

# The installed command line runs from where it was put.
run "$install_dir\\torv2-upgrader-cli.exe" --version ||
  fail "the installed torv2-upgrader-cli.exe --version ended with $?: $(cat "$tmp/err")"
[ "$(output)" = "torv2-upgrader-cli $TORV2_PROJECT_VERSION" ] ||
  fail "the installed torv2-upgrader-cli.exe --version said '$(output)'"

# The Start-menu shortcut, for all users, to the desktop program.
[ -f "$(unix_path "$shortcut")" ] || fail "no shortcut $shortcut"
grep -qaF 'C:\Program Files\ZARN TORV II Upgrader\torv2-upgrader.exe' "$(unix_path "$shortcut")" ||
  fail "the shortcut does not start the installed torv2-upgrader.exe"

# --- silent uninstall, as the entry says to run it. The uninstaller copies itself to a temporary
# folder, starts the copy and returns; the prefix's server ends only when the copy has ended.
quiet=${entry[QuietUninstallString]#REG_SZ }
[[ $quiet =~ ^\"([^\"]+)\"\ (.*)$ ]] || fail "QuietUninstallString '$quiet' cannot be run"
uninstaller=${BASH_REMATCH[1]}
read -ra uninstall_args <<<"${BASH_REMATCH[2]}"
t0=$(date +%s%N)
run "$uninstaller" "${uninstall_args[@]}" || fail "the silent uninstall ended with $?"
timeout 60 "$wineserver" -w || fail "the uninstaller did not end within 60 s"
uninstall_ms=$(( ($(date +%s%N) - t0) / 1000000 ))

[ ! -e "$dir" ] || fail "the uninstall left $install_dir: $(ls -A "$dir" | paste -sd' ')"
[ ! -e "$(unix_path "$shortcut")" ] || fail "the uninstall left the shortcut $shortcut"
if run reg query "$key" /reg:64; then
  fail "the uninstall left the uninstall entry"
fi
cmp -s "$history_dir/history.sqlite" "$tmp/history.before" ||
  fail "the uninstall did not keep the history in $local_app_data\\torv2-upgrader"

echo "installer: install ${install_ms} ms, uninstall ${uninstall_ms} ms," \
  "all $(( ($(date +%s%N) - started) / 1000000 )) ms"
