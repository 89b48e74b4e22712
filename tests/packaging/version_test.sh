#!/usr/bin/env bash
# `corvel --version` names the version the build was given and, built from a
# git checkout, the commit it was built from.
#   version_test.sh PROGRAM VERSION SOURCE_DIR
set -euo pipefail
program=$1 version=$2 source=$3
got=$("$program" --version)
expected="corvel $version"
if commit=$(git -C "$source" rev-parse --short=12 HEAD 2>/dev/null); then
  # "-dirty" when files under version control were changed at build time.
  case $got in
    "$expected (commit $commit)" | "$expected (commit $commit-dirty)") ;;
    *) echo "FAIL: corvel --version says '$got', not '$expected (commit $commit)'"; exit 1 ;;
  esac
elif [ "$got" != "$expected" ]; then
  echo "FAIL: corvel --version says '$got', not '$expected'"
  exit 1
fi
echo "corvel --version: $got"
