#!/usr/bin/env bash
# Threads and memory of a receiving Zingwell (bench/tools/zw_peer) before and after a flood of
# bad connections: headers without a separator, streams cut by a reset or an early end,
# headers cut short, refused names; from ADDRESSES addresses (127.0.3.x, 10 by default), ten
# connections at a time, each round waiting for the receiver to end every connection.
#
#   scripts/in-netns bench/bad-connections.sh [COUNT] [ADDRESSES]   e.g. 3000 (the default) 10
# env: ZW_PEER  the peer program (default build/bench/zw_peer)
set -uo pipefail

COUNT=${1:-3000}
ADDRESSES=${2:-10}
HERE=$(cd "$(dirname "$0")/.." && pwd)
ZW_PEER=${ZW_PEER:-$HERE/build/bench/zw_peer}
PYTHON=/usr/bin/python3

die() { echo "bad-connections.sh: $*" >&2; exit 1; }
[[ -x $ZW_PEER ]] || die "no peer program at $ZW_PEER (build first)"
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

mkdir -p "$T/home"
coproc PEER_OUT { HOME=$T/home exec "$ZW_PEER" --port 0 --receive 1000000 --timeout 3600 2>"$T/errors"; }
PEER=$PEER_OUT_PID
read -r word PORT <&"${PEER_OUT[0]}" || die "the peer did not start"
[[ $word == listening ]] || die "unexpected peer output: $word"

status() {  # threads, resident kB
  awk '/^Threads:/ {t = $2} /^VmRSS:/ {r = $2} END {printf "%s threads, %s kB resident", t, r}' \
    "/proc/$PEER/status"
}

echo "# $(date -u +%FT%TZ) $(uname -r); $COUNT bad connections to $ZW_PEER"
echo "before:          $(status)"
START=$(date +%s.%N)
"$PYTHON" - "$PORT" "$COUNT" "$ADDRESSES" <<'EOF' || die "the flood failed"
import socket, struct, sys

port, count, addresses = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])

def header(name, size):
    return name.encode() + b"\\" + struct.pack("<Q", size)

kinds = [
    b"x" * 102400,                                  # no separator
    header("cut.bin", 500000) + b"c" * 200000,      # cut by a reset
    header("half.bin", 4)[:12],                     # ends inside the header
    header("../up.txt", 1) + b"x",                  # refused name
    header("short.bin", 500000) + b"s" * 200000,    # ends early
]
done = 0
while done < count:
    batch = []
    for i in range(min(10, count - done)):
        s = socket.socket()
        s.bind(("127.0.3.%d" % ((done + i) % addresses + 1), 0))
        s.connect(("127.0.0.1", port))
        kind = (done + i) % len(kinds)
        try:
            s.sendall(kinds[kind])
            if kind == 1:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                s.close()
                continue
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        batch.append(s)
    for s in batch:  # until the receiver has ended each one
        try:
            while s.recv(65536):
                pass
        except OSError:
            pass
        s.close()
    done += 10
EOF
END=$(date +%s.%N)
echo "just after:      $(status)   ($(awk -v a="$START" -v b="$END" 'BEGIN {printf "%.1f", b - a}') s for the flood)"
sleep 1
echo "1 s later:       $(status)"
sleep 4
echo "5 s later:       $(status)"
echo "how they ended (the peer's error reports):"
sort "$T/errors" | uniq -c
