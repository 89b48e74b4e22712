#!/usr/bin/env bash
# corvel-setup.exe under Wine, as a user runs it: a silent installation of an
# older version, corvel.exe started from its Start-menu shortcut (it checks
# Corvel's own POP3 server and writes its files in the data folder), an
# upgrade over it that keeps the account, "Start with Windows" written in the
# program's own form, a silent uninstallation that removes the program, its
# shortcut, its uninstall entry and its Run value and keeps the data folder,
# and one with /REMOVEACCOUNTS that removes the data too. Also the sizes and
# versions of corvel.exe and the installer, and the portable archive.
#   windows_installer_test.sh WINDOWS_BUILD LINUX_BUILD
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
exe=$build/frontends/win32/corvel.exe
setup=$build/corvel-setup.exe
portable=$build/corvel-portable.zip
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$build/installer-test
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$work/wineprefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
failures=0
server_pid=
fail() {
  echo "FAIL installer: $*"
  failures=$((failures + 1))
}
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
}
trap cleanup EXIT
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  while ((SECONDS < deadline)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.25
  done
  "$@" >/dev/null 2>&1
}
reg_value() {
  wine reg query "$1" /v "$2" 2>/dev/null </dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvel'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
no_uninstall_entry() { ! wine reg query "$uninstall_key" >/dev/null 2>&1 </dev/null; }

# The sizes, and one version in corvel.exe, the installer and the build.
limit=$((3 * 1024 * 1024))
for file in "$exe" "$setup"; do
  size=$(stat -c %s "$file")
  echo "$(basename "$file"): $size bytes"
  ((size < limit)) || fail "$(basename "$file") is $size bytes, not under 3 MB"
  got=$(strings -el -n 3 "$file" | grep -A1 -x ProductVersion | tail -1)
  [ "$got" = "$version" ] || fail "$(basename "$file") carries the version '$got', not '$version'"
done
unzip -Z1 "$portable" | sort | tr '\n' ' ' | grep -qx 'README.txt corvel.exe ' ||
  fail "corvel-portable.zip does not hold corvel.exe and README.txt: $(unzip -Z1 "$portable")"
unzip -p "$portable" corvel.exe | cmp -s - "$exe" || fail "corvel-portable.zip holds another corvel.exe"
unzip -p "$portable" README.txt | grep -q "folder it is started" ||
  fail "corvel-portable.zip's README.txt does not say where Corvel keeps its files"

# An older version of the installer, of the same program.
old=$work/corvel-setup-0.1.exe
makensis -V1 -DVERSION=0.1 -DVERSION4=0.1.0.0 -DEXE="$exe" \
  -DICON="$build/frontends/win32/corvel.ico" -DOUTFILE="$old" \
  "$source_dir/packaging/windows/corvel.nsi" >/dev/null

wineserver -p >/dev/null 2>&1 </dev/null &
timeout 300 wineboot -i >/dev/null 2>&1 </dev/null
# No display: Wine's null graphics driver, taken by the processes started
# after it is set, so the first ones end first.
timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
wineserver -k >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 </dev/null &
unix() { winepath -u "$1" 2>/dev/null </dev/null; }
appdata=$(wine cmd /c echo %APPDATA% 2>/dev/null </dev/null | tr -d '\r')
localappdata=$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null </dev/null | tr -d '\r')
program_dir=$(unix "$localappdata\\Programs\\Corvel")
data=$(unix "$appdata\\Corvel")
shortcut_win="$appdata\\Microsoft\\Windows\\Start Menu\\Programs\\Corvel.lnk"
shortcut=$(unix "$shortcut_win")

timeout 120 wine "$old" /S </dev/null || fail "the silent installation of the older version failed"
[ -f "$program_dir/corvel.exe" ] || fail "no corvel.exe in $program_dir"
[ -f "$program_dir/uninstall.exe" ] || fail "no uninstall.exe in $program_dir"
[ -f "$shortcut" ] || fail "no Start-menu shortcut $shortcut"
[ -d "$data" ] || fail "the installer did not create the data folder $data"
[ "$(reg_value "$uninstall_key" DisplayVersion)" = 0.1 ] || fail "no uninstall entry for 0.1"
[ -z "$(reg_value "$run_key" "qor Corvel")" ] || fail "a Run value that nobody asked for"

# An account in the data folder, and corvel.exe started from the shortcut:
# it must work in the shortcut's folder.
mkfifo "$work/server.in"
exec 4<>"$work/server.in"
"$linux/tools/pop3_server/corvel-pop3-server" 3 <&4 >"$work/server.log" 2>&1 &
server_pid=$!
wait_for 30 test -s "$work/server.log" || fail "the POP3 server did not start"
port=$(head -1 "$work/server.log")
"$linux/frontends/console/corvel" -C "$data" accounts add --name Home --server 127.0.0.1 \
  --port "$port" --user user --password secret --leave-mail --interval 10 >/dev/null
(exec wine start "$shortcut_win" >/dev/null 2>&1 </dev/null) &
wait_for 60 test -e "$data/corvel.lock" || fail "corvel.exe did not start in the data folder"
seen() { cat "$data"/*.uidl 2>/dev/null | tr -d '\r' | sort | tr '\n' ' ' | grep -qx 'msg-1 msg-2 msg-3 '; }
wait_for 90 seen || fail "corvel.exe did not write the seen messages into the data folder"
# The server tells its sessions a moment after they begin.
wait_for 10 grep -q "sessions [1-9]" "$work/server.log" || fail "corvel.exe did not check the server"
# Ended as a logoff ends it.
wineserver -k >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 </dev/null &
# The login method it found is in the accounts file now.
accounts=$(sha256sum <"$data/mail.accounts.qor")
seen_files=$(cd "$data" && sha256sum ./*.uidl)

# The upgrade, asked to start Corvel with Windows.
timeout 120 wine "$setup" /S /STARTWITHWINDOWS </dev/null || fail "the silent upgrade failed"
[ "$(reg_value "$uninstall_key" DisplayVersion)" = "$version" ] ||
  fail "the uninstall entry says $(reg_value "$uninstall_key" DisplayVersion), not $version"
cmp -s "$exe" "$program_dir/corvel.exe" || fail "the upgrade did not replace corvel.exe"
[ "$(sha256sum <"$data/mail.accounts.qor" 2>/dev/null)" = "$accounts" ] ||
  fail "the upgrade changed or removed the accounts file"
[ "$(cd "$data" && sha256sum ./*.uidl 2>/dev/null)" = "$seen_files" ] ||
  fail "the upgrade changed the seen-message files"
expected_run="\"$localappdata\\Programs\\Corvel\\corvel.exe\" --MINIMIZE --dir \"$appdata\\Corvel\""
[ "$(reg_value "$run_key" "qor Corvel")" = "$expected_run" ] ||
  fail "the Run value is '$(reg_value "$run_key" "qor Corvel")', not '$expected_run'"

# The silent uninstallation the entry names; the uninstaller runs from a
# copy of itself, so the entry's going is awaited.
quiet=$(reg_value "$uninstall_key" QuietUninstallString)
[[ $quiet == *uninstall.exe\"\ /S ]] || fail "the quiet uninstall command is '$quiet'"
uninstaller=${quiet%\" /S}
uninstaller=${uninstaller#\"}
timeout 120 wine "$uninstaller" /S </dev/null >/dev/null 2>&1 || true
wait_for 60 no_uninstall_entry || fail "the uninstall entry stayed"
wait_for 30 test ! -e "$program_dir/corvel.exe" || fail "corvel.exe stayed after the uninstallation"
[ ! -e "$shortcut" ] || fail "the shortcut stayed after the uninstallation"
[ -z "$(reg_value "$run_key" "qor Corvel")" ] || fail "the Run value stayed after the uninstallation"
[ "$(sha256sum <"$data/mail.accounts.qor" 2>/dev/null)" = "$accounts" ] ||
  fail "the uninstallation changed or removed the accounts file"

# "Remove my accounts" removes them.
timeout 120 wine "$setup" /S </dev/null || fail "the installation over the kept data failed"
[ "$(sha256sum <"$data/mail.accounts.qor" 2>/dev/null)" = "$accounts" ] ||
  fail "an installation over the kept data changed the accounts file"
timeout 120 wine "$program_dir/uninstall.exe" /S /REMOVEACCOUNTS </dev/null >/dev/null 2>&1 || true
wait_for 60 no_uninstall_entry || fail "the uninstall entry stayed (/REMOVEACCOUNTS)"
wait_for 30 test ! -e "$data" || fail "the data folder stayed with /REMOVEACCOUNTS"

if ((failures == 0)); then
  echo "PASS installer: installed, checked from the shortcut's folder, upgraded and uninstalled, the accounts kept"
else
  echo "FAIL installer: $failures failed"
  exit 1
fi
