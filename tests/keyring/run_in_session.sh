#!/bin/sh
# Runs a test program inside a private D-Bus session with a gnome-keyring
# whose login keyring is unlocked, in a fresh home folder, so the system's
# and the user's own keyrings are never touched. The arguments are the test
# program and its arguments; its exit status is this script's.
set -eu
for tool in dbus-run-session gnome-keyring-daemon; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
home=$(mktemp -d /tmp/corvel-keyring.XXXXXX)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/data" "$home/run"
chmod 700 "$home/run"
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home/run"
export XDG_CONFIG_HOME="$home/config"
unset DISPLAY WAYLAND_DISPLAY
dbus-run-session -- sh -c '
  printf %s corvel-test-keyring | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1
  exec "$@"' sh "$@"
