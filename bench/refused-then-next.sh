#!/usr/bin/env bash
# How long a file the buddy refuses holds up the queue: a desktop Zingwell (offscreen, manual
# mode) queues a file named Files2Send.txt, which every receiver refuses, and then a file of
# SIZE random bytes, in one drop, for a receiver (bench/tools/zw_peer) already listening on
# 127.0.0.1. Prints every send and pause the log tells (seconds since queueing), the time
# until the refused file is in Not delivered (its log line), and the time until the next
# file is whole in the receiver's folder. The log and the folder are read every 10 ms.
#
#   scripts/in-netns bench/refused-then-next.sh [SIZE]      e.g. 1M (the default)
# env: ZINGWELL  the desktop program (default build/src/app/zingwell)
#      ZW_PEER   the receiving peer (default build/bench/zw_peer)
#      PATIENCE  seconds to wait for both (default 300)
#      POLL      seconds between two looks at the log and the folder (default 0.01)
set -uo pipefail

SIZE=${1:-1M}
PATIENCE=${PATIENCE:-300}
POLL=${POLL:-0.01}
HERE=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "refused-then-next.sh: $*" >&2; exit 1; }
T=$(mktemp -d /tmp/zwrefused.XXXXXX) || die "mktemp failed"
source "$HERE/bench/sender-copy.sh"

BUDDY_PORT=$(free_port)
mkdir -p "$T/files" "$T/peer"
echo "a name no receiver stores" > "$T/files/Files2Send.txt"
head -c "$SIZE" /dev/urandom > "$T/files/next.bin"
# Three refused connections and the one that brings the file.
HOME=$T/peer "$ZW_PEER" --port "$BUDDY_PORT" --receive 4 --timeout $((PATIENCE + 30)) \
  < /dev/null > /dev/null 2> "$T/peer.err" &
PIDS+=($!)
wait_listen "$BUDDY_PORT" || die "the receiver did not listen"
start_sender
queue_files "$T/files/Files2Send.txt" "$T/files/next.bin"
echo "# $(date -u +%FT%TZ) buddy 127.0.0.1:$BUDDY_PORT; next.bin $(stat -c %s "$T/files/next.bin") bytes" >&2

ARRIVED_MS='' OK=0
while :; do
  sleep "$POLL"
  poll_log
  if arrived "$T/peer" "$T/files/next.bin"; then
    ARRIVED_MS=$(ms); sleep 0.2; poll_log; OK=1; break
  fi
  (($(ms) > PATIENCE * 1000)) && break
done
[[ -e $T/peer/Zingwell/Files2Send.txt ]] && { echo "# the receiver stored Files2Send.txt" >&2; OK=0; }

awk -v arrived="${ARRIVED_MS:-}" '
  / Connected to buddy at / { printf "%8.2f  connected\n", $1 / 1000 }
  / Failed to connect to |buddy did not confirm/ { printf "%8.2f  %s\n", $1 / 1000, substr($0, index($0, " ") + 1) }
  / The queue is tried again in / { printf "%8.2f  pause %s s\n", $1 / 1000, $(NF - 1) }
  / Not delivered: / { nd = $1; printf "%8.2f  %s\n", $1 / 1000, substr($0, index($0, " ") + 1) }
  / Sent / { printf "%8.2f  %s\n", $1 / 1000, substr($0, index($0, " ") + 1) }
  END {
    if (nd != "") printf "refused file in Not delivered after %.2f s\n", nd / 1000
    else print "refused file never reached Not delivered"
    if (arrived != "") printf "next file whole at the receiver after %.2f s (%.2f s after Not delivered)\n",
      arrived / 1000, (arrived - nd) / 1000
    else print "next file did not arrive"
  }' "$T/events"
((OK)) || { echo "# log:" >&2; cat "$T/events" >&2; exit 1; }
