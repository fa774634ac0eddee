#!/usr/bin/env bash
# The send queue's retry schedule as a user meets it: a desktop Zingwell (offscreen, manual
# mode) queues a file for a buddy at 127.0.0.1 on a port where nothing listens; after MINUTES
# a receiver (bench/tools/zw_peer) starts listening there. Prints each connection attempt
# (seconds since queueing), the pause the log announced after it and the pause that really
# passed, then when the receiver came and when the file arrived whole in its folder.
# The log is read every 100 ms, so every time is good to about 0.1 s. In manual mode nothing
# tells the sender that the receiver is back: the file goes when the running pause ends.
#
#   scripts/in-netns bench/retry-schedule.sh [MINUTES]     e.g. 3 (the default; 0.5 is fine)
# env: ZINGWELL  the desktop program (default build/src/app/zingwell)
#      ZW_PEER   the receiving peer (default build/bench/zw_peer)
#      PATIENCE  seconds to wait for the file once the receiver listens (default 330: one
#                longest pause and some)
set -uo pipefail

MINUTES=${1:-3}
PATIENCE=${PATIENCE:-330}
HERE=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "retry-schedule.sh: $*" >&2; exit 1; }
T=$(mktemp -d /tmp/zwretry.XXXXXX) || die "mktemp failed"
source "$HERE/bench/sender-copy.sh"

BUDDY_PORT=$(free_port)
BACK_MS=$(awk -v m="$MINUTES" 'BEGIN {printf "%d", m * 60000}')
head -c 100000 /dev/urandom > "$T/retry-me.bin"
mkdir -p "$T/peer"
start_sender
queue_files "$T/retry-me.bin"
echo "# $(date -u +%FT%TZ) buddy 127.0.0.1:$BUDDY_PORT; receiver starts after ${MINUTES} min" >&2

LISTEN_MS='' ARRIVED_MS='' OK=0
while :; do
  sleep 0.1
  poll_log
  now=$(ms)
  if [[ -z $LISTEN_MS ]] && ((now >= BACK_MS)); then
    HOME=$T/peer "$ZW_PEER" --port "$BUDDY_PORT" --receive 1 --timeout $((PATIENCE + 30)) \
      < /dev/null > /dev/null 2>&1 &
    PIDS+=($!)
    wait_listen "$BUDDY_PORT" || die "the receiver did not listen"
    LISTEN_MS=$(ms)
    echo "# receiver listening at $(secs "$LISTEN_MS") s" >&2
  fi
  if [[ -n $LISTEN_MS ]] && arrived "$T/peer" "$T/retry-me.bin"; then
    ARRIVED_MS=$(ms); OK=1; poll_log; break
  fi
  [[ -n $LISTEN_MS ]] && ((now - LISTEN_MS > PATIENCE * 1000)) && break
done

# One row per attempt: its time, how it went, the pause announced after it, and the time
# from this attempt to the next.
awk -v listen="$LISTEN_MS" -v arrived="${ARRIVED_MS:-}" '
  / Failed to connect to / || / Connected to buddy at / {
    n++; t[n] = $1; h[n] = ($0 ~ /Failed/) ? "refused" : "connected"; p[n] = "-"
  }
  / The queue is tried again in / { p[n] = $(NF - 1) }
  END {
    printf "%-8s %10s  %-10s %12s %12s\n", "# try", "at_s", "result", "announced_s", "waited_s"
    for (i = 1; i <= n; i++)
      printf "%-8d %10.1f  %-10s %12s %12s\n", i, t[i] / 1000, h[i], p[i],
        (i < n) ? sprintf("%.1f", (t[i + 1] - t[i]) / 1000) : "-"
    printf "receiver listening at %.1f s\n", listen / 1000
    if (arrived != "") printf "file arrived whole at %.1f s (%.1f s after the receiver listened)\n",
      arrived / 1000, (arrived - listen) / 1000
    else print "file did not arrive"
  }' "$T/events"
((OK)) || { echo "# log:" >&2; cat "$T/events" >&2; exit 1; }
