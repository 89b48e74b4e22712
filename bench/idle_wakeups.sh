#!/usr/bin/env bash
# Wake-ups of the idle long-running program: the context switches of all its
# threads (voluntary and involuntary, from /proc/PID/task/*/status) over
# SECONDS, with one account checked every INTERVAL seconds (3600 by default,
# so that no check falls into the window) against the project's POP3 server.
#   bench/idle_wakeups.sh [BUILD_DIR] [SECONDS] [console|desktop] [INTERVAL]
#   (default build/debug 600 console 3600)
# "desktop" runs corvel-desktop hidden in the tray (--MINIMIZE) on its own X
# server (Xvfb) with a tray (trayer), without a session bus.
set -euo pipefail
build=$(cd "${1:-build/debug}" && pwd)
seconds=${2:-600}
program=${3:-console}
interval=${4:-3600}
corvel=$build/frontends/console/corvel
desktop=$build/frontends/console/corvel-desktop
server=$build/tools/pop3_server/corvel-pop3-server
for f in "$corvel" "$server"; do
  [ -x "$f" ] || { echo "missing $f (cmake --build $build --target corvel corvel-pop3-server)" >&2; exit 2; }
done
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/server-in"
"$server" 0 <"$work/server-in" >"$work/server-out" &
pids+=($!)
exec 5>"$work/server-in"
while [ ! -s "$work/server-out" ]; do sleep 0.1; done
port=$(head -1 "$work/server-out")
mkdir "$work/folder"
printf secret | "$corvel" -C "$work/folder" accounts add --name Bench --server 127.0.0.1 \
  --port "$port" --user user --password-stdin --interval "$interval" --leave-mail >/dev/null

export XDG_CONFIG_HOME=$work/config
if [ "$program" = desktop ]; then
  [ -x "$desktop" ] || { echo "missing $desktop" >&2; exit 2; }
  Xvfb -displayfd 4 -screen 0 800x600x24 -nolisten tcp 4>"$work/display" &
  pids+=($!)
  while [ ! -s "$work/display" ]; do sleep 0.1; done
  export DISPLAY=:$(cat "$work/display") DBUS_SESSION_BUS_ADDRESS=disabled:
  trayer --edge bottom --align right --widthtype request --height 32 &
  pids+=($!)
  sleep 1
  (cd "$work/folder" && exec "$desktop" --MINIMIZE) >"$work/program.log" 2>&1 &
else
  (cd "$work/folder" && exec env -u DISPLAY -u WAYLAND_DISPLAY "$corvel" --console) \
    >"$work/program.log" 2>&1 &
fi
pid=$!
pids+=("$pid")

# switches FILE: "TID COUNT" for every thread of the program, its context
# switches so far.
switches() {
  for task in /proc/"$pid"/task/*; do
    awk -v tid="${task##*/}" '/^(voluntary|nonvoluntary)_ctxt_switches/ {n += $2}
      END {if (n != "") print tid, n}' "$task/status" 2>/dev/null || true
  done >"$1"
}
sleep 5  # past the start
switches "$work/s0"
sleep "$seconds"
switches "$work/s1"
# A thread that began meanwhile counts from 0; one that ended is not counted.
n=$(awk 'NR == FNR {before[$1] = $2; next} {n += $2 - before[$1]} END {print n + 0}' \
  "$work/s0" "$work/s1")
echo "$program: $n context switches in $seconds s" \
  "($(awk -v n="$n" -v s="$seconds" 'BEGIN {printf "%.2f", 60 * n / s}') per minute)," \
  "$(wc -l <"$work/s1") threads, $(grep -c '^sessions' "$work/server-out" || true) checks"
