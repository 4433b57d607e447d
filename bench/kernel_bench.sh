#!/usr/bin/env bash
# Wall time of torv2-upgrader-cli through a real Linux USB stack (vhci_hcd in the QEMU guest of
# emulator/in-linux-guest): one programmer's whole upgrade (three runs), then --all with 1, 2, 4
# and 8 programmers. Only the program is timed, from its start to its exit: the programmers are
# plugged in and enumerated before it starts. Exits 1 when any upgrade fails.
#
#   emulator/in-linux-guest --no-devices -- bench/kernel_bench.sh [BUILD_DIR] [--runs N]
#                                                                 [--programmers "1 2 4 8"]
set -eu
build=build/dev
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then build=$1; shift; fi
runs=3 counts="1 2 4 8"
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift ;;
    --programmers) counts=$2; shift ;;
    *) echo "kernel_bench: unknown option $1" >&2; exit 64 ;;
  esac
  shift
done
cli=$build/cli/torv2-upgrader-cli
programmer=${TORV2_KERNEL_PROGRAMMER:?run this through emulator/in-linux-guest}
timed() {  # timed DEVICE_OPTIONS... -- CLI_ARGUMENTS...: prints the program's wall seconds
  local options=()
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  if ! "$programmer" "${options[@]}" -- /usr/bin/time -f %e -o /tmp/bench.time \
    "$cli" --progress none --no-history "$@" >/dev/null; then
    echo "kernel_bench: torv2-upgrader-cli $* failed" >&2
    return 1
  fi
  cat /tmp/bench.time
}
for ((run = 1; run <= runs; ++run)); do
  seconds=$(timed -- upgrade) || exit 1
  echo "upgrade, one programmer, run $run: $seconds s"
done
for n in $counts; do
  seconds=$(timed --count "$n" -- --all upgrade) || exit 1
  echo "--all upgrade, $n programmers: $seconds s"
done
