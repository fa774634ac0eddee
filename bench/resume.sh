#!/usr/bin/env bash
# A secure transfer cut at about half and sent again: how much of the file crosses the second
# time. A zw_peer receiver over TLS (the sender pins its key) takes a file of random bytes; the
# sender is killed once the receiver's part reaches CUT percent; the receiver ends, a new one
# starts on the same folder, and a new sender sends the same file. The bytes on the namespace's
# loopback are counted during each session (both directions, TCP/IP headers and TLS included).
# Prints the share of the file the resumed session moved, which must stay under 55% for a cut
# at 50%, and checks that the result equals the input.
#
#   scripts/in-netns bench/resume.sh [SIZE [CUT]]     e.g. 1G 50 (the defaults)
# env: BENCH_DIR  where the input and the received files go (default /var/tmp: a disk)
#      ZW_PEER    the peer program (default build/bench/zw_peer)
set -uo pipefail

SIZE=${1:-1G}
CUT=${2:-50}
BENCH_DIR=${BENCH_DIR:-/var/tmp}
HERE=$(cd "$(dirname "$0")/.." && pwd)
ZW_PEER=${ZW_PEER:-$HERE/build/bench/zw_peer}
TMO=600

die() {
  echo "resume.sh: $*" >&2
  [[ -n ${T:-} && -f $T/home/Zingwell/zingwelllog.txt ]] && tail -n 5 "$T/home/Zingwell/zingwelllog.txt" >&2
  exit 1
}
[[ -x $ZW_PEER ]] || die "no peer program at $ZW_PEER (build first)"
ip route get 1.1.1.1 >/dev/null 2>&1 && die "run me in a network namespace of my own (scripts/in-netns)"

IN=$BENCH_DIR/zwbench-input-$SIZE.bin
CREATED=0
if [[ ! -s $IN ]]; then
  head -c "$SIZE" /dev/urandom > "$IN.part" && mv "$IN.part" "$IN" || die "cannot create $IN"
  CREATED=1
fi
BYTES=$(stat -c %s "$IN")
T=$(mktemp -d "$BENCH_DIR/zwbench.XXXXXX") || die "mktemp failed"
PIDS=()
cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$T"
  ((CREATED)) && rm -f "$IN"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Bytes sent on loopback in this namespace (/proc/net/dev is the namespace's own).
lo_bytes() { awk -F'[: ]+' '$2 == "lo" {print $11}' /proc/net/dev; }
tcp_table() { cat /proc/net/tcp 2>/dev/null; }
free_port() {
  local p hex
  while :; do
    p=$((10000 + SRANDOM % 22768)); printf -v hex ':%04X ' "$p"
    [[ $(tcp_table) != *"$hex"* ]] && { echo "$p"; return; }
  done
}
wait_listen() {
  local hex i; printf -v hex ':%04X 00000000:0000 0A' "$1"
  for ((i = 0; i < 2500; i++)); do [[ $(tcp_table) == *"$hex"* ]] && return 0; sleep 0.002; done
  return 1
}
# The size of the file being received (the one temporary without a record beside it).
part_size() {
  local f
  for f in "$T/home/Zingwell"/.zingwell-incoming.tmp-*; do
    [[ -f $f && $f != *.part* ]] && { stat -c %s "$f" 2>/dev/null; return; }
  done
  echo 0
}
receiver() {  # receiver PORT: one connection, in the background
  HOME=$T/home timeout $TMO "$ZW_PEER" --port "$1" --receive 1 --timeout $TMO \
    --identity "$T/id-b" < /dev/null > /dev/null 2>&1 &
  RPID=$!; PIDS+=("$RPID")
  wait_listen "$1" || die "the receiver did not listen"
}

for id in a b; do
  HOME=$T "$ZW_PEER" --identity "$T/id-$id" --port 0 --timeout 5 < /dev/null \
    | awk '$1 == "key" {print $2}' > "$T/key-$id"
done
KEY_B=$(cat "$T/key-b")
[[ ${#KEY_B} == 64 ]] || die "no key hash from $ZW_PEER --identity"
mkdir -p "$T/home/Zingwell"
echo "# $(date -u +%FT%TZ) $(uname -r) $(nproc) cpus; $IN $BYTES bytes; cut at $CUT%"

# The first session, killed once the part holds CUT percent of the file.
port=$(free_port); receiver "$port"
before=$(lo_bytes)
# Not under timeout(1): the kill must reach the sender itself (its --timeout bounds it).
HOME=$T/home "$ZW_PEER" --send 127.0.0.1 "$port" "$IN" --timeout $TMO \
  --identity "$T/id-a" --pin "$KEY_B" > /dev/null 2>&1 &
SPID=$!; PIDS+=("$SPID")
target=$((BYTES * CUT / 100))
while (($(part_size) < target)); do
  kill -0 "$SPID" 2>/dev/null || die "the first send ended before the cut"
  sleep 0.001
done
kill -KILL "$SPID"; wait "$SPID" 2>/dev/null; unset 'PIDS[-1]'
wait "$RPID" 2>/dev/null; unset 'PIDS[-1]'
first=$(($(lo_bytes) - before))
record=$(ls "$T/home/Zingwell"/.zingwell-incoming.tmp-*.part 2>/dev/null | head -n 1)
[[ -n $record ]] || die "the receiver kept no part"
held=$(awk '$1 == "held" {print $2}' "$record")

# The same file again, to a receiver started afresh on the same folder.
port=$(free_port); receiver "$port"
before=$(lo_bytes)
t0=${EPOCHREALTIME/./}
HOME=$T/home timeout $TMO "$ZW_PEER" --send 127.0.0.1 "$port" "$IN" --timeout $TMO \
  --identity "$T/id-a" --pin "$KEY_B" > /dev/null 2>&1 || die "the resumed send failed"
wait "$RPID" || die "the receiver failed"; unset 'PIDS[-1]'
us=$((${EPOCHREALTIME/./} - t0))
again=$(($(lo_bytes) - before))
cmp -s "$IN" "$T/home/Zingwell/$(basename "$IN")" || die "the received file differs from the input"

awk -v b="$BYTES" -v h="$held" -v f="$first" -v a="$again" -v us="$us" 'BEGIN {
  printf "cut session:     %d bytes on loopback, part kept %d bytes (%.1f%% of the file)\n", f, h, 100 * h / b
  printf "resumed session: %d bytes on loopback = %.1f%% of the file, in %.2f s; result identical\n", a, 100 * a / b, us / 1e6
  printf "resent share:    %.1f%% (limit 55%%): %s\n", 100 * a / b, (a <= 0.55 * b) ? "ok" : "TOO MUCH"
  exit (a <= 0.55 * b) ? 0 : 1
}'
