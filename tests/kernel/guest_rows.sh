#!/usr/bin/env bash
# torv2-upgrader-cli against virtual programmers behind a real Linux USB stack. Runs inside the
# guest of emulator/in-linux-guest (as root, --no-devices): each row plugs its own programmers
# into vhci_hcd with torv2-kernel-programmer, runs the program, and checks its exit code and
# output. Several rows share one boot; each row gets fresh programmers.
#
#   guest_rows.sh GROUP BUILD_DIR      GROUP: cli (no udevd) or udevd (with --udevd)
#
# Prints one line per row and ends with "N passed, N failed"; exits 1 when a row failed.
set -u
group=$1
build=$2
here=$(cd "$(dirname "$0")" && pwd)
cli=$build/cli/torv2-upgrader-cli
programmer=${TORV2_KERNEL_PROGRAMMER:?run this through emulator/in-linux-guest}
passed=0
failed=0

success_report='Torv2 Main Execute - Upgrade OK
Torv2 Sub Execute - Upgrade OK
┌─────────┬─────────┬─────────┬─────────┐
│ＳＵＢ１（ＯＫ）　│ＳＵＢ２（ＯＫ）　│ＳＵＢ３（ＯＫ）　│ＳＵＢ４（ＯＫ）　│
├─────────┼─────────┼─────────┼─────────┤
│ＳＵＢ５（ＯＫ）　│ＳＵＢ６（ＯＫ）　│ＳＵＢ７（ＯＫ）　│ＳＵＢ８（ＯＫ）　│
└─────────┴─────────┴─────────┴─────────┘　　　　　　
Upgrade Version : 2.08
Current Version : 2.08'
versions='Upgrade Version : 2.08
Current Version : 2.07'
upgrade_error='ZARN TORV II - Firmware Upgrade Error!'

# How often the kernel has enumerated a programmer since boot.
enumerations() {
  dmesg | grep -c 'New USB device found, idVendor=1209, idProduct=0001'
}

# row NAME RC STDOUT_HAS STDERR_HAS [DEVICE OPTIONS...] -- [CLI ARGUMENTS...]
#   RC: the exit code, '!0' for any but 0, '-' for not checked. *_HAS: text the output must
#   contain ('' for nothing). $as runs the program as another user (setpriv arguments);
#   $settle waits for udevd first; $enumerated, when set, is how many enumerations the row must
#   cause; $timeout_ms shortens the program's transfer time-out.
row() {
  local name=$1 want_rc=$2 out_has=$3 err_has=$4
  shift 4
  local device_options=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do device_options+=("$1"); shift; done
  shift
  local wrap=()
  [ -z "${settle:-}" ] || wrap+=(/bin/sh -c '"$TORV2_UDEVADM" settle -t 10; exec "$@"' settle)
  [ -z "${as:-}" ] || wrap+=(setpriv $as)
  [ -z "${timeout_ms:-}" ] || wrap+=(env "TORV2_TRANSFER_TIMEOUT_MS=$timeout_ms")
  local before out err rc start took problems=()
  before=$(enumerations)
  start=$(date +%s%N)
  out=$(timeout 120 "$programmer" "${device_options[@]}" -- "${wrap[@]}" "$cli" "$@" \
        2>/tmp/row.err)
  rc=$?
  took=$(( ($(date +%s%N) - start) / 1000000 ))
  err=$(cat /tmp/row.err)
  case $want_rc in
    -) ;;
    '!0') [ "$rc" -ne 0 ] || problems+=("exit code 0, want non-zero") ;;
    *) [ "$rc" -eq "$want_rc" ] || problems+=("exit code $rc, want $want_rc") ;;
  esac
  [[ $out == *"$out_has"* ]] || problems+=("stdout lacks: $out_has")
  [[ $err == *"$err_has"* ]] || problems+=("stderr lacks: $err_has")
  if [ -n "${enumerated:-}" ]; then
    local got=$(( $(enumerations) - before ))
    [ "$got" -eq "$enumerated" ] || problems+=("$got enumerations, want $enumerated")
  fi
  if [ ${#problems[@]} -eq 0 ]; then
    passed=$((passed + 1))
    echo "PASS $name ($took ms)"
  else
    failed=$((failed + 1))
    echo "FAIL $name ($took ms)"
    printf '  %s\n' "${problems[@]}"
    echo "  --- stdout:"; printf '%s\n' "$out" | sed 's/^/  /'
    echo "  --- stderr:"; printf '%s\n' "$err" | tail -n 20 | sed 's/^/  /'
  fi
}

# check NAME COMMAND...: a row that passes when COMMAND exits 0.
check() {
  local name=$1 start took
  shift
  start=$(date +%s%N)
  if timeout 180 "$@" >/tmp/check.out 2>&1; then
    passed=$((passed + 1))
    echo "PASS $name ($(( ($(date +%s%N) - start) / 1000000 )) ms)"
  else
    failed=$((failed + 1))
    echo "FAIL $name (exit code $?)"
    tail -n 20 /tmp/check.out | sed 's/^/  /'
  fi
}

status=(--progress none status)
upgrade=(--progress none upgrade)

case $group in
  cli)
    row list 0 'VIRTUAL1  port 1-1  address 001:002  serial VIRTUAL1  (MS OS 2.0)' '' -- list
    row status 0 "$versions" '' -- "${status[@]}"
    row upgrade 0 "$success_report" '' -- "${upgrade[@]}"
    row upgrade-high-speed-by-ms-os-1.0 0 "$success_report" '' --high-speed --msos1 -- "${upgrade[@]}"
    # The kernel's own handling of a device that stops answering: transfers time out and are
    # unlinked. A status that could not read the device says so in its exit code.
    timeout_ms=300 row status-no-answer 3 '' 'Read Current Status Data Fail!' \
      --fault status-reply:1:no-answer -- "${status[@]}"
    timeout_ms=300 row status-junk 3 '' 'Read Current Status Data Fail!' \
      --fault status-reply:1:junk -- "${status[@]}"
    row upgrade-junk-before-replies 0 "$success_report" '' --junk-before-reply zz -- "${upgrade[@]}"
    # The programmer leaves the bus in the middle of the main image: usbcore disconnects it.
    row unplugged-during-download 2 '' "$upgrade_error" --fault chunk-ack:3:unplug -- "${upgrade[@]}"
    row all-four 0 '== summary ==
programmer  exit  result
VIRTUAL1    0     ok
VIRTUAL2    0     ok
VIRTUAL3    0     ok
VIRTUAL4    0     ok' '' --count 4 -- --progress none --all upgrade
    ;;
  udevd)
    # The program runs from a folder that only root may enter, as from a checkout or an
    # installation under a home folder of mode 0700: the rows that run it as another user show
    # that it still finds what it carries. The build is bound there, not copied.
    private=/run/home-0700
    if mkdir -p -m 0700 "$private" && mkdir -p "$private/project/build" &&
       mount --bind "$build" "$private/project/build"; then
      cli=$private/project/build/cli/torv2-upgrader-cli
    else
      failed=$((failed + 1))
      echo "FAIL private-folder (cannot bind the build under $private)"
    fi
    # A running program learns of a device that arrives from udevd (libusb listens to it, not to
    # the kernel), so re-enumeration is tested here. "Already." makes the program send ResetNow:
    # the programmer leaves the bus and comes back on its port at a new address, and is found
    # there again, also when it was named by its serial number.
    settle=1 enumerated=3 row reset-re-enumerates 0 "$versions" '' --two --status Already. -- \
      --device VIRTUAL2 "${status[@]}"
    # devtmpfs and Debian's udev rules leave the node writable by root only: the program names
    # the device it could not open and the way in.
    settle=1 as='--reuid=nobody --regid=nogroup --clear-groups' \
      row list-without-access 3 '' '(no permission)' -- list
    settle=1 as='--reuid=nobody --regid=nogroup --clear-groups' \
      row upgrade-without-access 3 '' 'torv2-upgrader-cli udev-rule --install' -- "${upgrade[@]}"
    # Root installs the program's own rule; udevd reads it, and the same user upgrades. Nobody
    # has no seat, so the rule lets a group in.
    row udev-rule-install 0 '' 'wrote /run/udev/rules.d/70-torv2-upgrader.rules' -- \
      udev-rule --install --group nogroup --rules-dir /run/udev/rules.d
    settle=1 as='--reuid=nobody --regid=nogroup --clear-groups' \
      row upgrade-with-the-rule 0 "$success_report" '' -- "${upgrade[@]}"
    # The node made at re-enumeration gets the rule too.
    settle=1 enumerated=2 as='--reuid=nobody --regid=nogroup --clear-groups' \
      row reset-with-the-rule 0 "$versions" '' --status Already. -- "${status[@]}"
    # The desktop program follows the programmer leaving the bus and coming back, through udevd.
    check desktop-follows-hotplug env TORV2_UNPLUG_AT=20000 TORV2_REPLUG_AT=26000 \
      TORV2_TITLE_WAIT=60 xvfb-run -a "$here/../ui/e2e_hotplug.sh" "$programmer" \
      "$build/ui/torv2-upgrader"
    ;;
  *)
    echo "unknown group $group" >&2
    exit 2
    ;;
esac

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
