#!/usr/bin/env bash
# Files from strangers, against the heart itself (bench/zw-discovery-peer: the real workers
# behind a view without a screen, policy "ask"; its view declines each question the moment it
# is asked and prints the time). Prints:
#   - how long after a plain sender's header the question is asked (SAMPLES senders, each
#     from an address of its own so that none follows an earlier answer);
#   - how long that sender waits before the decline (a reset) reaches it;
#   - threads, VmRSS and VmHWM of the receiver before and after COUNT connections from
#     ADDRESSES addresses, each a header, a little of the body, then a reset.
# An unanswered question is declined at its deadline, 2 minutes after it was asked.
#
#   scripts/in-netns bench/strangers.sh [SAMPLES] [COUNT] [ADDRESSES]   default 20 1000 50
# env: ZW_DISCOVERY_PEER  the receiver (default build/bench/zw-discovery-peer)
set -uo pipefail

SAMPLES=${1:-20}
COUNT=${2:-1000}
ADDRESSES=${3:-50}
HERE=$(cd "$(dirname "$0")/.." && pwd)
PEER_PROGRAM=${ZW_DISCOVERY_PEER:-$HERE/build/bench/zw-discovery-peer}
PYTHON=/usr/bin/python3
PORT=6677

die() { echo "strangers.sh: $*" >&2; exit 1; }
[[ -x $PEER_PROGRAM ]] || die "no receiver at $PEER_PROGRAM (build first)"
[[ -x $PYTHON ]] || die "needs $PYTHON"
ip route get 1.1.1.1 >/dev/null 2>&1 && die "run me in a network namespace of my own (scripts/in-netns)"

T=$(mktemp -d) || die "mktemp failed"
PEER=
cleanup() {
  [[ -n $PEER ]] && kill "$PEER" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$T"
}
trap cleanup EXIT

mkdir -p "$T/home" "$T/config" "$T/system"
HOME=$T/home XDG_CONFIG_HOME=$T/config ZINGWELL_SYSTEM_DIR=$T/system \
  "$PEER_PROGRAM" --port "$PORT" --strangers ask >"$T/peer.txt" 2>"$T/errors" &
PEER=$!
for _ in $(seq 100); do
  grep -q "^[0-9.]* start" "$T/peer.txt" 2>/dev/null && (exec 3<>/dev/tcp/127.0.0.1/$PORT) 2>/dev/null && break
  sleep 0.1
done

status() {  # threads, VmRSS, VmHWM
  awk '/^Threads:/ {t = $2} /^VmRSS:/ {r = $2} /^VmHWM:/ {h = $2}
       END {printf "%s threads, VmRSS %s kB, VmHWM %s kB", t, r, h}' "/proc/$PEER/status"
}

echo "# $(date -u +%FT%TZ) $(uname -r); $PEER_PROGRAM, policy ask"
"$PYTHON" - "$PORT" "$SAMPLES" "$T/peer.txt" <<'PY' || die "the senders failed"
import socket, statistics, struct, sys, time

port, samples, log = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
sent, waited = {}, []
for i in range(samples):
    name = "offer-%d.bin" % i
    s = socket.socket()
    s.bind(("127.0.5.%d" % (i + 1), 0))
    s.connect(("127.0.0.1", port))
    body = b"o" * 10000
    sent[name] = time.monotonic() * 1000
    s.sendall(name.encode() + b"\x5c" + struct.pack("<Q", len(body)) + body)
    s.shutdown(socket.SHUT_WR)
    try:
        while s.recv(65536):
            pass
    except ConnectionResetError:
        pass
    waited.append(time.monotonic() * 1000 - sent[name])
    s.close()
time.sleep(0.5)
asked = []
for line in open(log):
    parts = line.split(" ", 3)
    if len(parts) == 4 and parts[1] == "message" and parts[2] == "declined":
        name = parts[3].split(" ", 1)[0]
        if name in sent:
            asked.append(float(parts[0]) - sent[name])
if len(asked) != samples:
    sys.exit("asked %d of %d" % (len(asked), samples))
print("question asked after the header: median %.2f ms, max %.2f ms (%d senders)"
      % (statistics.median(asked), max(asked), samples))
print("the sender's wait for the decline: median %.2f ms, max %.2f ms"
      % (statistics.median(waited), max(waited)))
PY
sleep 1
echo "before the flood: $(status)"
START=$(date +%s.%N)
"$PYTHON" - "$PORT" "$COUNT" "$ADDRESSES" <<'PY' || die "the flood failed"
import socket, struct, sys, time

port, count, addresses = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
head = b"flood.bin\x5c" + struct.pack("<Q", 1 << 20) + b"f" * 100
done = 0
while done < count:
    held = []
    for i in range(min(100, count - done)):
        s = socket.socket()
        s.bind(("127.0.3.%d" % ((done + i) % addresses + 1), 0))
        try:
            s.connect(("127.0.0.1", port))
            s.sendall(head)
        except OSError:
            pass
        held.append(s)
    time.sleep(0.1)
    for s in held:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
    done += len(held)
PY
END=$(date +%s.%N)
echo "just after:       $(status) ($COUNT connections from $ADDRESSES addresses in $(echo "$END - $START" | bc) s)"
sleep 5
echo "5 s later:        $(status)"
echo "questions asked during the flood: $(grep -c ' message declined flood.bin' "$T/peer.txt")"
ls "$T/home/Zingwell" | grep -v -e '^zingwelllog' -e '^Files2Send' | sed 's/^/left in the receive folder: /'
