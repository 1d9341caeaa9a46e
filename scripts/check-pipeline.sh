#!/usr/bin/env bash
# check-pipeline.sh FARSPEAK: runs the two syslog-ng instances of examples/syslog-ng on free
# loopback ports (the collector, then the relay, which runs FARSPEAK --json), sends lines from two
# clients and checks that the collector's file holds each line with its client's address, in order
# per client. Exits 1, with the instances' logs, when it does not.
set -euo pipefail
cd "$(dirname "$0")/.."

[ $# -eq 1 ] || { echo "usage: check-pipeline.sh FARSPEAK" >&2; exit 2; }
program=$(realpath "$1")
syslog_ng=$(PATH="$PATH:/usr/sbin" command -v syslog-ng)  # /usr/sbin is not on a user's PATH
work=$(mktemp -d)
pids=()

stop() {
  local pid tries
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    # syslog-ng stops in well under a second, and stops the relay's farspeak with it.
    for ((tries = 50; tries > 0; tries--)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop EXIT

fail() {  # fail MESSAGE: says why, shows the logs and the end of the collector's file, exits 1
  echo "check-pipeline: FAILED: $1" >&2
  local file
  for file in collector.log relay.log records.jsonl; do
    [ -f "$work/$file" ] || continue
    echo "--- $file (last 20 lines)" >&2
    tail -n 20 "$work/$file" | cut -c 1-300 >&2
  done
  exit 1
}

start() {  # start NAME CONFIG: one syslog-ng in the foreground, its state files in $work
  "$syslog_ng" --foreground --stderr --verbose --no-caps --cfgfile="examples/syslog-ng/$2" \
    --persist-file="$work/$1.persist" --pidfile="$work/$1.pid" --control="$work/$1.ctl" \
    >"$work/$1.log" 2>&1 &
  pids+=($!)
}

wait_for_port() {  # wait_for_port NAME PORT: until 127.0.0.1:PORT accepts, for at most 10 s
  local tries
  for ((tries = 100; tries > 0; tries--)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$2") 2>/dev/null && return 0
    kill -0 "${pids[-1]}" 2>/dev/null || fail "the $1 instance exited"
    sleep 0.1
  done
  fail "nothing accepted on the $1's port 127.0.0.1:$2 within 10 s"
}

# Ports the system hands out now, closed again for the instances to take.
read -r farspeak_port collector_port < <(python3 -c '
import socket
sockets = [socket.socket() for _ in range(2)]
for s in sockets:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in sockets))')

export FARSPEAK_PORT=$farspeak_port FARSPEAK_LISTEN=127.0.0.1
export COLLECTOR_HOST=127.0.0.1 COLLECTOR_LISTEN=127.0.0.1 COLLECTOR_PORT=$collector_port
export COLLECTOR_FILE=$work/records.jsonl
mkdir "$work/bin"
ln -s "$program" "$work/bin/farspeak"  # the relay runs `farspeak` from its PATH

syslog_ng_version=$("$syslog_ng" --version | sed -n '1s/.*(\(.*\)).*/\1/p')  # syslog-ng 3 (3.38.1)
echo "check-pipeline: $("$program" --version) --json on 127.0.0.1:$farspeak_port ->" \
  "syslog-ng $syslog_ng_version relay -> RFC 5424 over TCP -> collector on" \
  "127.0.0.1:$collector_port -> file"
start collector collector.conf
wait_for_port collector "$collector_port"
# The collector is up before the relay starts: a relay that finds no collector tries again only a
# minute later.
PATH="$work/bin:$PATH" start relay farspeak-relay.conf
wait_for_port relay "$farspeak_port"

# Two clients with their own loopback addresses send lines in turn, one longer than 64 KiB (a
# piece, then its continuing line), then wait for the collector's file to hold both clients'
# close records. The wait's probe connections come from 127.0.0.1 and are not looked at.
if ! result=$(python3 - "$farspeak_port" "$COLLECTOR_FILE" <<'EOF'
import json, os, socket, sys, time

port, records_path = int(sys.argv[1]), sys.argv[2]
LINE_COUNT, LONG_LINE = 100, 100_000
started = time.monotonic()

def fail(message):  # on standard output, for the shell to report
    print(message)
    sys.exit(1)

clients = {}  # the client's address as farspeak names it -> the lines it sent
sockets = []
for address in ("127.0.0.2", "127.0.0.3"):
    s = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(address, 0))
    lines = [f'{address} line {i:03d}: "quoted" \\ ] tab\there é' for i in range(LINE_COUNT)]
    lines[LINE_COUNT // 2] = (address * LONG_LINE)[:LONG_LINE]
    clients["%s:%d" % s.getsockname()] = lines
    sockets.append(s)
for i in range(LINE_COUNT):
    for s, lines in zip(sockets, clients.values()):
        s.sendall(lines[i].encode() + b"\n")
for s in sockets:
    s.close()

def read_records():
    if not os.path.exists(records_path):
        return []
    with open(records_path, encoding="utf-8") as file:
        return [json.loads(line) for line in file if line.endswith("\n")]

deadline = time.monotonic() + 20
while True:
    records = read_records()
    closed = {r["client"] for r in records if r.get("event") == "close"}
    if closed >= clients.keys():
        break
    if time.monotonic() > deadline:
        missing = ", ".join(sorted(clients.keys() - closed))
        fail(f"no close record for {missing} in the collector's file within 20 s")
    time.sleep(0.1)

for client, sent in clients.items():
    own = [r for r in records if r.get("client") == client]
    events = [r.get("event") for r in own]
    if events[0] != "connect" or events[-1] != "close":
        fail(f"{client}: records go {events[0]} ... {events[-1]}, not connect ... close")
    received, open_line = [], False  # whole lines, their pieces joined
    for r in own:
        if r.get("event") in ("line", "piece"):
            text = r.get("text", "")  # the collector leaves an empty text out
            if r.get("continues") != "true":
                received.append(text)
            elif open_line:
                received[-1] += text
            else:
                fail(f"{client}: a record continues line {len(received)}, which had no piece")
            open_line = r["event"] == "piece"
    for i, (want, got) in enumerate(zip(sent, received)):
        if want != got:
            fail(f"{client}: line {i} is {got[:80]!r}, sent {want[:80]!r}")
    if len(received) != len(sent):
        fail(f"{client}: {len(received)} lines in the collector's file, {len(sent)} sent")

print(f"{len(clients)} clients x {LINE_COUNT} lines (one of {LONG_LINE} bytes): every line in "
      f"the collector's file with its client's address, in order per client, "
      f"{time.monotonic() - started:.1f} s after they connected")
EOF
); then
  fail "${result:-the clients stopped with an error (above)}"
fi
echo "check-pipeline: OK: $result"
