#!/usr/bin/env bash
# The Debian packages as a user gets them: installed with dpkg -i, the
# installed corvel names its version, checks Corvel's own POP3 server, loads
# libcurl for OAuth2, reaches the keyring and the session bus through its
# GLib module (and loads none of it for --version), has its manual page;
# corvel-desktop shows its window under Xvfb (a screenshot goes to
# BUILD/screenshots); dpkg --purge then leaves nothing of Corvel's in
# /usr, and the user's accounts and settings are as they were.
#   deb_install_test.sh BUILD corvel_*.deb corvel-desktop_*.deb   (as root)
set -euo pipefail
build=$(cd "$1" && pwd)
shift
debs=("$@")
if [ "$(id -u)" != 0 ]; then
  echo "deb_install_test.sh installs packages with dpkg -i: run it as root" >&2
  exit 2
fi
work=$(mktemp -d)
server_pid=
desktop_pid=
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
cleanup() {
  [ -z "$desktop_pid" ] || kill "$desktop_pid" 2>/dev/null || true
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  dpkg --purge corvel-desktop corvel >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
# A user's folder, accounts and settings, made before the installation.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME/mail"

dpkg -i "${debs[@]}"
for p in corvel corvel-desktop; do
  dpkg-query -W -f='${Status}' "$p" | grep -q "install ok installed" || fail "$p is not installed"
done
installed=$(dpkg -L corvel corvel-desktop)

version=$(dpkg-query -W -f='${Version}' corvel)
got=$(/usr/bin/corvel --version)
[[ $got == "corvel $version"* ]] || fail "corvel --version says '$got' (package $version)"
man -w corvel >/dev/null || fail "man -w corvel finds no manual page"
man -w corvel-desktop >/dev/null || fail "man -w corvel-desktop finds no manual page"

# A check of Corvel's own POP3 server, with three messages: one line per
# message with --all-mail.
mkfifo "$work/server.in"
exec 4<>"$work/server.in"
"$build/tools/pop3_server/corvel-pop3-server" 3 <&4 >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/server.log" ] && break; sleep 0.1; done
port=$(head -1 "$work/server.log")
corvel -C "$HOME/mail" accounts add --name Home --server 127.0.0.1 --port "$port" --user user \
  --password secret --leave-mail --interval 60 >/dev/null
corvel settings set Balloon True
if corvel -C "$HOME/mail" check --all-mail --quiet >"$work/check.out" 2>"$work/check.err"; then
  [ "$(grep -c $'^Home\t' "$work/check.out")" = 3 ] ||
    fail "the check did not report the three messages: $(cat "$work/check.out")"
else
  fail "corvel check failed: $(cat "$work/check.err")"
fi

# libcurl, which corvel loads only when OAuth2 needs it (so the package names
# it by hand): its URL parser finds the password in the address. Without it
# the address could not be read at all.
got=$(corvel -C "$HOME/mail" accounts authorize Home --provider custom --client-id c --no-browser \
  --auth-url 'https://u:p@login.example.com/a' --token-url https://login.example.com/t 2>&1) || true
[[ $got == *"must not hold a user name or password"* ]] ||
  fail "corvel could not use libcurl for the OAuth2 addresses: $got"

# The keyring and the session bus, which corvel loads from its private
# module (/usr/lib/<multiarch>/corvel/corvel-glib.so) only when it needs
# them: a start that needs neither maps no GLib at all; the keyring answers
# with libsecret's own reason (without the module it would name the module),
# writing nothing; a corvel running on the terminal answers on a session bus.
LD_DEBUG=files corvel --version 2>"$work/version.ld" >/dev/null
! grep -E "libglib-2.0|libsecret|corvel-glib" "$work/version.ld" >/dev/null ||
  fail "corvel --version loaded GLib: $(grep -E "file=.*(glib|secret)" "$work/version.ld" | head -3)"
accounts=$(sha256sum "$HOME/mail/mail.accounts.qor")
got=$(DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus corvel -C "$HOME/mail" accounts add \
  --name Vault --server 127.0.0.1 --user user --password secret --secret-store keyring 2>&1) || true
[[ $got == *"No keyring (Secret Service) reachable"* ]] ||
  fail "corvel did not reach the keyring through its module: $got"
[ "$(sha256sum "$HOME/mail/mail.accounts.qor")" = "$accounts" ] ||
  fail "a keyring that is not there changed the accounts file"
export work
timeout 60 dbus-run-session -- bash -c '
  corvel -C "$HOME/mail" --console >"$work/console.log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.NameHasOwner io.corvel.Corvel | grep -q true && break
    sleep 0.1
  done
  gdbus call --session --dest io.corvel.Corvel --object-path /io/corvel/Corvel \
    --method io.corvel.Corvel.GetCounts
  kill $pid
  wait $pid' >"$work/bus.out" 2>&1 || true
grep -q "('Home', int64 " "$work/bus.out" ||
  fail "corvel on the terminal did not answer on the session bus: $(cat "$work/bus.out" "$work/console.log")"

# The desktop program, from the installed desktop entry's command.
exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/corvel.desktop)
mkdir -p "$build/screenshots"
shot=$build/screenshots/corvel-desktop-installed.png
rm -f "$shot"
(cd "$HOME/mail" && exec xvfb-run -a -s "-screen 0 800x600x24" sh -c \
  "$exec_line & sleep 1; for i in \$(seq 60); do xdotool search --onlyvisible --name '^Corvel! v0.6\$' \
   >/dev/null 2>&1 && break; sleep 0.5; done; sleep 1; import -window root '$shot'; kill \$!; wait") \
  >"$work/desktop.log" 2>&1 &
desktop_pid=$!
wait "$desktop_pid" || true
desktop_pid=
[ -s "$shot" ] || fail "no screenshot of corvel-desktop (log: $(tail -5 "$work/desktop.log"))"
if [ -s "$shot" ]; then
  colours=$(convert "$shot" -format %k info:)
  ((colours > 16)) || fail "the screenshot of corvel-desktop shows no window ($colours colours)"
fi

# What the user has before the removal.
before=$(cd "$HOME" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
dpkg --purge corvel-desktop corvel
for p in corvel corvel-desktop; do
  ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed || fail "$p is still installed"
done
left=$(while IFS= read -r path; do
  [ -d "$path" ] && continue
  [ ! -e "$path" ] || echo "$path"
done <<<"$installed")
left+=$(find /usr -iname '*corvel*' -not -path '/usr/src/*' 2>/dev/null)
[ -z "$left" ] || fail "left in /usr after dpkg --purge: $left"
after=$(cd "$HOME" && find . -type f -print0 | sort -z | xargs -0 sha256sum)
[ "$before" = "$after" ] || fail "the user's files changed with the removal: $(diff <(echo "$before") <(echo "$after"))"
[ -s "$HOME/mail/mail.accounts.qor" ] || fail "the user's accounts file is gone"

if ((failures == 0)); then
  echo "PASS packages: installed, corvel $version checked the test server, corvel-desktop showed its window ($shot), purged without a trace"
else
  echo "FAIL packages: $failures failed"
  exit 1
fi
