#!/usr/bin/env bash
# The bash completion, as bash runs it on Tab: the commands, the options of
# each command, the accounts of the folder -C names (one with a space in its
# name), the settings and the values of an option.
#   completion_test.sh PROGRAM COMPLETION
set -euo pipefail
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config
for name in Home 'Work mail'; do
  "$program" -C "$work" accounts add --name "$name" --server pop.example.org --user me \
    --password pw >/dev/null
done
# shellcheck source=/dev/null
. "$2"

failures=0
# complete "EXPECTED" WORD...: the last word is the one being completed.
complete_words() {
  local expected=$1
  shift
  COMP_WORDS=("$program" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _corvel
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
  if [ "$got" != "$expected " ]; then
    echo "FAIL: corvel $* <Tab> offers '$got', not '$expected '"
    failures=$((failures + 1))
  fi
}

complete_words "accounts" a
complete_words "check" -C "$work" ch
complete_words "--console" --co
complete_words "--dir" -C "$work" --d
complete_words "--all-mail" check --a
complete_words "Home Work\\ mail" -C "$work" accounts set ''
complete_words "Work\\ mail" --dir "$work" accounts delete W
complete_words "--secret-store --security --server" -C "$work" accounts set Home --se
complete_words "starttls" accounts add --name X --security st
complete_words "" accounts add --name ''
complete_words "--client-id --client-secret --client-secret-stdin" accounts authorize Home --cl
complete_words "FastListing" settings get F
complete_words "True" settings set Balloon T
complete_words "clear-auth" accounts cl
complete_words "waybar" status --format w
complete_words "off on" accounts set Home --quiet ''
complete_words "--all-mail" check --quiet --al
# No accounts where -C does not lead: nothing offered, nothing written.
complete_words "" -C "$work/none" accounts set ''
[ ! -e "$work/none" ] || { echo "FAIL: the completion created $work/none"; failures=$((failures + 1)); }

((failures == 0)) || exit 1
echo "the completion offers the commands, options, accounts and settings"
