#!/usr/bin/env bash
# The manual page and the bash completion name exactly the options that
# `corvel --help` names, and the manual names every setting and command.
#   in_step_test.sh PROGRAM MANUAL COMPLETION
set -euo pipefail
program=$1 manual=$2 completion=$3
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The long options, and -C and -h, a text names.
options_in() { grep -oP -- '(?<![A-Za-z0-9-])(--[A-Za-z][A-Za-z0-9-]*|-[Ch])(?![A-Za-z0-9-])' |
  sort -u; }
# The manual's text without its font changes and with its hyphens plain.
manual=$(sed -E 's/\\f[BIRP]//g; s/\\-/-/g; s/\\\(lq|\\\(rq/"/g' "$manual")

help=$("$program" --help)
help_options=$(options_in <<<"$help")
[ "$(wc -l <<<"$help_options")" -gt 20 ] || fail "--help names too few options: $help_options"
compare() {
  local what=$1 theirs=$2 missing extra
  missing=$(comm -23 <(echo "$help_options") <(echo "$theirs") | tr '\n' ' ')
  extra=$(comm -13 <(echo "$help_options") <(echo "$theirs") | tr '\n' ' ')
  [ -z "$missing" ] || fail "$what lacks options that --help names: $missing"
  [ -z "$extra" ] || fail "$what names options that --help does not: $extra"
}
compare "the manual page" "$(options_in <<<"$manual")"
compare "the bash completion" "$(grep -v '^ *#' "$completion" | options_in)"

# Every setting the settings command knows has its entry in the manual.
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
settings=$(XDG_CONFIG_HOME=$config "$program" settings list | sed -n 's/=.*//p')
[ -n "$settings" ] || fail "corvel settings list names no settings"
for name in $settings; do
  grep -qx "\.B $name" <<<"$manual" || fail "the manual has no entry for the setting $name"
done
# Every command and accounts command of the usage has its section.
commands=$(sed -nE 's/^(Usage:)? +corvel (\[-C DIR\] )?([a-z][a-z-]*( [a-z|-]+)?).*/\3/p' <<<"$help" |
  sed -E 's/ (list|add|set|authorize|delete|clear-auth|get)\b.*/ \1/; s/^settings .*/settings/')
[ "$(wc -l <<<"$commands")" -ge 9 ] || fail "the usage names too few commands: $commands"
for command in $(tr ' ' '_' <<<"$commands"); do
  grep -q "^\.SS \"${command//_/ }" <<<"$manual" || fail "the manual has no section for ${command//_/ }"
done

((failures == 0)) || exit 1
echo "the manual page and the completion are in step with --help"
