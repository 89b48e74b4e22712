#!/usr/bin/env bash
# Idle cost of corvel.exe under Wine: resident memory and CPU time of the
# program's process with the window hidden in the tray ("--MINIMIZE") and one
# account checked every 60 s against the project's POP3 server, read from
# /proc twice, IDLE_SECONDS apart. The memory is what Wine's process holds
# (the Wine libraries included), so it is an upper bound of what Windows
# would show.
#   bench/win32_idle.sh [WINDOWS_BUILD] [LINUX_BUILD] [IDLE_SECONDS] [INTERVAL]
#   (default build/windows build/debug 60 60; a long INTERVAL measures the
#   program with no check at all in the window)
set -euo pipefail
build=$(cd "${1:-build/windows}" && pwd)
linux=$(cd "${2:-build/debug}" && pwd)
idle=${3:-60}
interval=${4:-60}
if [ -z "${CORVEL_IN_XVFB:-}" ]; then
  exec env CORVEL_IN_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build" "$linux" "$idle" "$interval"
fi
work=$(mktemp -d)
export WINEPREFIX=$build/wineprefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  kill %1 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkfifo "$work/server.in"
exec 4<>"$work/server.in"
"$linux/tools/pop3_server/corvel-pop3-server" 3 <&4 >"$work/server.log" 2>&1 &
while [ ! -s "$work/server.log" ]; do sleep 0.1; done
mkdir "$work/run"
"$linux/frontends/console/corvel" -C "$work/run" accounts add --name Home --server 127.0.0.1 \
  --port "$(head -1 "$work/server.log")" --user user --password secret --leave-mail \
  --interval "$interval" >/dev/null
wineserver -k >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 </dev/null &
timeout 120 wineboot >/dev/null 2>&1 </dev/null
wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 </dev/null || true
(cd "$work/run" && exec wine explorer /desktop=corvel,1024x768 "$build/frontends/win32/corvel.exe" \
  --MINIMIZE >/dev/null 2>&1 </dev/null) &
pid=
for _ in $(seq 120); do
  for p in /proc/[0-9]*; do
    if head -z -n1 "$p/cmdline" 2>/dev/null | tr -d '\0' | grep -qi 'corvel[.]exe$' &&
      tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      pid=${p#/proc/}
    fi
  done
  [ -n "$pid" ] && break
  sleep 0.5
done
[ -n "$pid" ] || { echo "corvel.exe did not start" >&2; exit 1; }
# Past the start and the first check.
sleep 70
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
rss() { awk '/^VmRSS/ {print $2}' "/proc/$pid/status"; }
# What the process holds for itself alone: Wine's libraries and the exe's
# pages shared with the files they come from are not in it.
private() { awk '/^Private_(Clean|Dirty):/ {k += $2} END {print k}' "/proc/$pid/smaps_rollup"; }
hz=$(getconf CLK_TCK)
t0=$(ticks) r0=$(rss)
sleep "$idle"
t1=$(ticks) r1=$(rss) p1=$(private)
echo "exe size: $(stat -c %s "$build/frontends/win32/corvel.exe") bytes"
echo "resident memory: ${r0} kB, ${idle} s later ${r1} kB"
echo "private memory: ${p1} kB (Private_Clean + Private_Dirty of /proc/PID/smaps_rollup)"
echo "CPU time over ${idle} s idle: $(( (t1 - t0) * 1000 / hz )) ms ($(awk -v t=$((t1 - t0)) -v h="$hz" -v s="$idle" 'BEGIN {printf "%.3f", 100 * t / h / s}') % of a core)"
echo "checks so far: $(grep -c '^sessions' "$work/server.log" || true)"
