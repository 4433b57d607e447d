#!/usr/bin/env bash
# Wall time of torv2-upgrader-cli through a real Linux USB stack (vhci_hcd in the QEMU guest of
# emulator/in-linux-guest): one programmer's whole upgrade (three runs), then --all with 1, 2, 4
# and 8 programmers. Only the program is timed, from its start to its exit: the programmers are
# plugged in and enumerated before it starts.
#
#   emulator/in-linux-guest --no-devices -- bench/kernel_bench.sh [BUILD_DIR]
set -eu
build=${1:-build/dev}
cli=$build/cli/torv2-upgrader-cli
programmer=${TORV2_KERNEL_PROGRAMMER:?run this through emulator/in-linux-guest}
timed() {  # timed DEVICE_OPTIONS... -- CLI_ARGUMENTS...: prints the program's wall seconds
  local options=()
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  "$programmer" "${options[@]}" -- /usr/bin/time -f %e -o /tmp/bench.time \
    "$cli" --progress none --no-history "$@" >/dev/null
  cat /tmp/bench.time
}
for run in 1 2 3; do
  echo "upgrade, one programmer, run $run: $(timed -- upgrade) s"
done
for n in 1 2 4 8; do
  echo "--all upgrade, $n programmers: $(timed --count "$n" -- --all upgrade) s"
done
