#!/usr/bin/env bash
# wine_light_traffic.sh FARSPEAK_EXE: under Wine, a client that logs a 64-byte line every 300 ms
# must cost farspeak.exe and its Wine server little CPU together: under 25% of a core (a receiver
# that polls instead of waiting costs more than half). A Wine prefix of its own keeps the work of
# other programs out of the figure. farspeak.exe takes a free port, which its banner names.
set -euo pipefail
exe=$1
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
unset DISPLAY
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

wine wineboot -i >/dev/null 2>&1
wine "$exe" -p 0 >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 300); do
  grep -q 'host address=' "$work/err" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || break # it has exited: no point in waiting
  sleep 0.1
done
grep -q 'host address=' "$work/err" || { echo "farspeak.exe did not start"; cat "$work/err"; exit 1; }
port=$(sed -n 's/^Farspeak started on port \([0-9]*\)!.*/\1/p' "$work/err")
[ -n "$port" ] || { echo "no port in the banner"; cat "$work/err"; exit 1; }

# CPU time so far, in clock ticks, of farspeak.exe and the Wine server of this prefix.
ticks() {
  local total=0 process
  for process in /proc/[0-9]*; do
    case $(cat "$process/comm" 2>/dev/null) in farspeak.exe | wineserver*) ;; *) continue ;; esac
    grep -qz "^WINEPREFIX=$WINEPREFIX\$" "$process/environ" 2>/dev/null || continue
    total=$((total + $(awk '{print $14 + $15}' "$process/stat")))
  done
  echo "$total"
}

exec 3<>"/dev/tcp/127.0.0.1/$port"
sleep 1  # the connection's own work is done
before=$(ticks)
start=$(date +%s%N)
filler=$(printf '%052d' 0)
for line in $(seq 10 29); do
  printf 'light line %s %s\n' "$line" "$filler" >&3
  sleep 0.3
done
after=$(ticks)
elapsed=$(($(date +%s%N) - start))
exec 3>&-

percent=$(((after - before) * 100 * 1000000000 / $(getconf CLK_TCK) / elapsed))
arrived=$(grep -c '^light line' "$work/out" || true)
echo "farspeak.exe and wineserver: ${percent}% of a core over $((elapsed / 1000000)) ms; $arrived of 20 lines"
[ "$arrived" -eq 20 ] || { echo "lines missing"; exit 1; }
[ "$percent" -lt 25 ] || { echo "too much CPU for light traffic"; exit 1; }
