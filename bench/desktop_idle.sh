#!/usr/bin/env bash
# Idle cost of the desktop program: CPU with the window hidden in the tray and
# one account polling every 60 s, and resident memory after start and after
# 100 checks (an account checked every 10 s, the shortest interval the
# account commands accept: about 17 minutes). Runs on its own X server
# (Xvfb) with a tray (trayer) against the project's POP3 server.
#   bench/desktop_idle.sh [BUILD_DIR] [IDLE_SECONDS]   (default build/release, 300)
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
idle=${2:-300}
desktop=$build/frontends/console/corvel-desktop
server=$build/tools/pop3_server/corvel-pop3-server
corvel=$build/frontends/console/corvel
for f in "$desktop" "$server" "$corvel"; do
  [ -x "$f" ] || { echo "missing $f (cmake --build $build --target corvel corvel-desktop corvel-pop3-server)" >&2; exit 2; }
done
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 4 -screen 0 800x600x24 -nolisten tcp 4>"$work/display" &
pids+=($!)
while [ ! -s "$work/display" ]; do sleep 0.1; done
export DISPLAY=:$(cat "$work/display") XDG_CONFIG_HOME=$work/config DBUS_SESSION_BUS_ADDRESS=disabled:
trayer --edge bottom --align right --widthtype request --height 32 &
pids+=($!)

mkfifo "$work/server-in"
"$server" 0 <"$work/server-in" >"$work/server-out" &
pids+=($!)
exec 5>"$work/server-in"
while [ ! -s "$work/server-out" ]; do sleep 0.1; done
port=$(head -1 "$work/server-out")
sessions() { grep -c '^sessions' "$work/server-out" || true; }

# cpu_ticks PID: user + system time in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

stop() {  # PID: ends the program as the session's end would, and waits for it
  kill -TERM "$1"
  while kill -0 "$1" 2>/dev/null; do sleep 0.2; done
}

run() {  # INTERVAL: starts the program hidden with one account, prints its pid
  rm -rf "$work/folder" && mkdir -p "$work/folder"
  (cd "$work/folder" &&
   printf secret | "$corvel" accounts add --name Bench --server 127.0.0.1 --port "$port" \
     --user user --password-stdin --interval "$1" --leave-mail >/dev/null)
  # Its output goes to a file: the caller reads this function's output.
  (cd "$work/folder" && exec "$desktop" --MINIMIZE) >>"$work/desktop.log" 2>&1 &
  echo $!
}

# 1. Idle: one account every 60 s with nothing new (an empty mailbox), the
# window hidden.
pid=$(run 60)
pids+=("$pid")
sleep 5
start_ticks=$(cpu_ticks "$pid")
start_rss=$(rss_kb "$pid")
sleep "$idle"
end_ticks=$(cpu_ticks "$pid")
hz=$(getconf CLK_TCK)
echo "idle: $((end_ticks - start_ticks)) ticks of 1/$hz s in $idle s:" \
  "$(awk -v t=$((end_ticks - start_ticks)) -v hz="$hz" -v s="$idle" 'BEGIN {printf "%.4f", 100 * t / hz / s}') % of a core," \
  "$(( $(sessions) )) checks"
echo "memory after start: $start_rss kB resident"
stop "$pid"

# 2. Memory over 100 checks: the account every 10 s, three messages on the
# server (new at the first check, seen after that).
for i in 1 2 3; do echo add >&5; done
before=$(sessions)
pid=$(run 10)
pids+=("$pid")
sleep 3
first_rss=$(rss_kb "$pid"); first=$(sessions)
while [ $(( $(sessions) - first )) -lt 100 ]; do sleep 1; done
echo "memory: $first_rss kB after $((first - before)) checks, $(rss_kb "$pid") kB after $(( $(sessions) - before )) checks"
stop "$pid"
