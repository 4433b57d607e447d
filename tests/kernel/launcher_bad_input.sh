#!/usr/bin/env bash
# emulator/in-linux-guest refuses what it cannot run with a message and its own exit code,
# quickly, without leaving a QEMU behind; and a run whose device server dies ends with a message
# that says so (the one case here that boots a guest).
#   launcher_bad_input.sh BUILD_DIR
set -u
guest=$(cd "$(dirname "$0")/../.." && pwd)/emulator/in-linux-guest
export TORV2_BUILD_DIR=$1
passed=0
failed=0
# expect NAME CODE MESSAGE -- COMMAND...
expect() {
  local name=$1 code=$2 message=$3
  shift 4
  local err rc
  err=$(timeout 400 "$@" 2>&1 >/dev/null)
  rc=$?
  if [ "$rc" -eq "$code" ] && [[ $err == *"$message"* ]]; then
    passed=$((passed + 1))
    echo "PASS $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name: exit code $rc (want $code), said: $err"
  fi
}
expect no-command 2 'no command given' -- "$guest"
expect bad-timeout 2 '--timeout needs a number of seconds' -- "$guest" --timeout soon -- true
expect devices-with-no-devices 2 '--no-devices takes no device options' -- \
  "$guest" --no-devices --count 2 -- true
expect no-kernel 125 'run scripts/setup' -- env TORV2_GUEST_DIR=/nonexistent "$guest" -- true
# QEMU cannot start a machine this small: the run ends with what the console showed.
expect guest-does-not-boot 125 'the guest did not run the command' -- "$guest" --memory 1 -- true
# The command kills the server that plugged its programmer in (its parent).
expect device-server-dies 137 \
  'the device server (torv2-kernel-programmer) died (exit status 137); its programmers left the bus' \
  -- "$guest" --timeout 360 -- /bin/sh -c 'kill -9 $PPID'
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
