#!/usr/bin/env bash
# The shell completion the package installs, as a user meets it: words typed so far, the TAB,
# and what is offered. $1: the bash script, $2: the zsh script.
set -u
bash_script=$1 zsh_script=$2
# shellcheck source=/dev/null
source "$bash_script"
failed=0

offered() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _torv2_upgrader_cli
  printf '%s\n' "${COMPREPLY[@]}"
}

# expect WORDS... -- OFFERED...: each OFFERED word is among what is offered.
expect() {
  local words=() want=()
  while [ "$1" != -- ]; do words+=("$1"); shift; done
  shift
  want=("$@")
  local got
  got=$(offered "${words[@]}")
  for w in "${want[@]}"; do
    if ! grep -qxF -- "$w" <<<"$got"; then
      echo "FAIL: '${words[*]}' does not offer '$w' (offered: $(tr '\n' ' ' <<<"$got"))"
      failed=1
    fi
  done
}

# refuse WORDS... -- NOT...: no NOT word is offered.
refuse() {
  local words=()
  while [ "$1" != -- ]; do words+=("$1"); shift; done
  shift
  local got
  got=$(offered "${words[@]}")
  for w in "$@"; do
    if grep -qxF -- "$w" <<<"$got"; then
      echo "FAIL: '${words[*]}' offers '$w', which it does not take"
      failed=1
    fi
  done
}

expect torv2-upgrader-cli st -- status
expect torv2-upgrader-cli up -- upgrade
expect torv2-upgrader-cli status --d -- --device
expect torv2-upgrader-cli --all up -- upgrade
expect torv2-upgrader-cli upgrade --allow -- --allow-older
expect torv2-upgrader-cli upgrade --progress '' -- auto tty lines json none
expect torv2-upgrader-cli --json history --s -- --since --summary
expect torv2-upgrader-cli udev-rule --i -- --install --id
refuse torv2-upgrader-cli list -- -- --all --progress --allow-older
refuse torv2-upgrader-cli info --d -- --device
refuse torv2-upgrader-cli status --progress '' -- --device status

if command -v zsh >/dev/null; then
  zsh -n "$zsh_script" || { echo "FAIL: the zsh completion does not parse"; failed=1; }
  head -1 "$zsh_script" | grep -qx '#compdef torv2-upgrader-cli' ||
    { echo "FAIL: the zsh completion does not begin with #compdef"; failed=1; }
else
  echo "zsh is not installed: its completion was not tried"
  failed=1
fi
[ "$failed" = 0 ] && echo "completion: all offered as expected"
exit "$failed"
