#!/usr/bin/env bash
# corvel.exe on a Wine desktop under Xvfb, against the project's POP3 server
# on loopback: a check of one account with three messages (German, French
# and Japanese headers), the new-mail balloon, the window sent to the tray
# and restored from it, "Exit" from the tray menu; then the settings the
# clicks wrote must be in the registry. Screenshots of each tab, of the
# tray and of the account editor's states go to WINDOWS_BUILD/screenshots.
#   tests/desktop/win32_desktop_test.sh WINDOWS_BUILD LINUX_BUILD
# Runs inside xvfb-run (it starts one itself when DISPLAY is not set).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
if [ -z "${CORVEL_IN_XVFB:-}" ]; then
  exec env CORVEL_IN_XVFB=1 timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

exe=$build/frontends/win32/corvel.exe
shots=$build/screenshots
rm -rf "$shots"
mkdir -p "$shots"
work=$(mktemp -d)
export WINEPREFIX=$build/wineprefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
failures=0
server_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL desktop: $*"
  failures=$((failures + 1))
}
shot() { import -window root "$shots/$1.png"; }
click() { xdotool mousemove "$1" "$2" sleep 0.3 click "${3:-1}"; }
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1
  shift
  for ((i = 0; i < seconds * 4; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.25
  done
  return 1
}
# No corvel.exe of this prefix runs any more.
corvel_ended() {
  local p
  for p in /proc/[0-9]*; do
    head -z -n1 "$p/cmdline" 2>/dev/null | tr -d '\0' | grep -qi 'corvel[.]exe$' &&
      tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && return 1
  done
  return 0
}
has_value() { [ -n "$(reg_value "$@")" ]; }
reg_value() { wine reg query "$1" /v "$2" 2>/dev/null </dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_SZ *//p"; }

# The server, with the three messages; it prints its port first.
# It ends at the end of its input: a pipe kept open until the end.
mkfifo "$work/server.in"
exec 4<>"$work/server.in"
"$linux/tools/pop3_server/corvel-pop3-server" 0 "$here"/win32_mail/* <&4 >"$work/server.log" 2>&1 &
server_pid=$!
wait_for 30 test -s "$work/server.log" || { echo "FAIL desktop: the POP3 server did not start"; exit 1; }
port=$(head -1 "$work/server.log")

mkdir "$work/run"
"$linux/frontends/console/corvel" -C "$work/run" accounts add --name Home --server 127.0.0.1 \
  --port "$port" --user user --password secret --leave-mail --interval 10 >/dev/null

# The shared prefix, now with a display; the window where the clicks expect it.
wineserver -k >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 </dev/null &
timeout 120 wineboot >/dev/null 2>&1 </dev/null
key='HKCU\Software\qor\Corvel'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 </dev/null || true
wine reg delete "$key" /f >/dev/null 2>&1 </dev/null || true
wine reg delete "$run_key" /v "qor Corvel" /f >/dev/null 2>&1 </dev/null || true
# A Japanese font linked to the message font, as Windows links one.
jafont=/usr/share/fonts/truetype/vlgothic/VL-Gothic-Regular.ttf
if [ -e "$jafont" ]; then
  cp "$jafont" "$WINEPREFIX/drive_c/windows/Fonts/"
  for face in Tahoma; do
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
      /v "$face" /t REG_MULTI_SZ /d 'VL-Gothic-Regular.ttf,VL Gothic' /f >/dev/null 2>&1 </dev/null
  done
fi
for v in H:517 W:400 Top:0 Left:0; do
  wine reg add "$key" /v "${v%%:*}" /d "${v#*:}" /f >/dev/null 2>&1 </dev/null
done

# The window's and the tray shell's own tests, on the same display; the
# editor's end-to-end test saves a picture of each of its states.
CORVEL_SCREENSHOT_DIR=$(winepath -w "$shots" 2>/dev/null </dev/null) \
  timeout 300 wine "$build/tests/win32_tests.exe" >"$build/tests/win32_tests.log" 2>&1 </dev/null &&
  grep -q '^\[  PASSED  \] [1-9][0-9]* tests\?\.' "$build/tests/win32_tests.log" &&
  ! grep -q '^\[  FAILED  \]' "$build/tests/win32_tests.log" ||
  fail "win32_tests failed (log: $build/tests/win32_tests.log)"
for picture in "$shots"/*.bmp; do
  [ -e "$picture" ] || continue
  convert "$picture" "${picture%.bmp}.png" && rm -f "$picture"
done

# Started elsewhere, as a logon start may be: --dir names the folder it runs in.
run_folder=$(wine winepath -w "$work/run" 2>/dev/null </dev/null | tr -d '\r')
(cd "$work" && exec wine explorer /desktop=corvel,1024x768 "$exe" --dir "$run_folder" \
  >/dev/null 2>&1 </dev/null) &
wait_for 60 test -e "$work/run/corvel.lock" || fail "corvel.exe did not start in its --dir folder"
sleep 3
shot accounts-tab

# "Settings": each click writes its value at once.
click 101 37
sleep 1
for y in 68 96 124 150 194; do click 25 "$y"; done
sleep 1
shot settings-tab
[ "$(reg_value "$key" Log)" = True ] || fail "the Log box did not write \"True\""
entry=$(reg_value "$run_key" "qor Corvel")
[[ $entry == \"*'corvel.exe" --MINIMIZE --dir "'"$run_folder"\" ]] ||
  fail "\"Start with Windows\" wrote the logon entry '$entry', not the quoted program and its folder"
# Unchecked again: Wine would start the program from the entry at its next
# start-up.
click 25 68
sleep 1
[ -z "$(reg_value "$run_key" "qor Corvel")" ] || fail "the logon entry stayed after unchecking"

# The first check, 10 s after the start, finds the login method; the mail is
# looked for right after it. Its balloon stays 15 s.
wait_for 60 grep -q "sessions 2" "$work/server.log" || fail "no mail check reached the server"
sleep 2
shot tray-balloon
pixel() { convert "$shots/$1.png" -format "%[pixel:p{$2}]" info:; }
# The balloon stands above the icon, where the desktop is bare otherwise.
[ "$(pixel tray-balloon 950,715)" != "$(pixel tray-balloon 700,400)" ] ||
  fail "no balloon above the tray icon"
click 161 37
sleep 1
shot new-mail-tab
click 220 37
sleep 1
shot log-tab
click 274 37
sleep 1
shot about-tab

# Close sends the window to the tray; a double click on the icon brings it back.
click 386 12
sleep 2
shot in-tray
xdotool mousemove 1013 758 sleep 0.3 click --repeat 2 --delay 80 1
sleep 2
shot restored
[ "$(pixel in-tray 200,12)" != "$(pixel restored 200,12)" ] ||
  fail "the window did not come back from the tray"

# "Exit" from the tray menu.
click 1013 758 3
sleep 1
shot tray-menu
# The menu opens above and to the left of the pointer; "Exit" is its last item.
click 975 757
wait_for 30 has_value "$key" AccountWidth || fail "Exit did not save the window's settings"
wait_for 30 corvel_ended || fail "corvel.exe did not end after Exit"

# What the clicks and the exit wrote.
for v in Log:True AllMail:True Balloon:True ConnErr:True AccountWidth:70 SubjectWidth:100 W:400; do
  got=$(reg_value "$key" "${v%%:*}")
  [ "$got" = "${v#*:}" ] || fail "${v%%:*} is '$got' in the registry, not '${v#*:}'"
done
for uidl in de-1 fr-2 ja-3; do
  cat "$work"/run/*.uidl 2>/dev/null | tr -d '\r' | grep -qx "$uidl" ||
    fail "message $uidl is not in the seen file"
done

# At 200 % (Wine's LogPixels): the window, its fonts and its columns are
# twice as large; the settings keep the sizes as at 100 %.
wineserver -k >/dev/null 2>&1 || true
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 192 /f >/dev/null 2>&1 </dev/null
(cd "$work" && exec wine explorer /desktop=corvel,1024x768 "$exe" --dir "$run_folder" \
  >/dev/null 2>&1 </dev/null) &
wait_for 60 test -e "$work/run/corvel.lock" || fail "corvel.exe did not start again at 200 %"
sleep 8
shot accounts-tab-200
# The window is 400 px wide at 100 % and 800 px at 200 %.
[ "$(pixel accounts-tab 600,300)" != "$(pixel accounts-tab-200 600,300)" ] ||
  fail "the window did not grow at 200 %"
click 265 68
sleep 1
shot new-mail-tab-200
wineserver -k >/dev/null 2>&1 || true
wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 </dev/null || true

if ((failures == 0)); then
  echo "PASS desktop: corvel.exe checked, showed the balloon, went to the tray and back, exited (screenshots in $shots)"
else
  echo "FAIL desktop: $failures failed (screenshots in $shots)"
  exit 1
fi
