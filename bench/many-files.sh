#!/usr/bin/env bash
# Many small files: 1,000 files of 10 KB in one drop between two Zingwell copies over TLS (one
# session, bench/tools/zw_peer --batch, the receiver's key pinned), beside tar | nc,
# Zingwell's plain path (one connection per file) and a TLS session per file, in the same
# run, alternating; then a folder
# of 10,000 small files in one secure session beside tar | nc; then the peak memory of a
# headless copy (bench/tools/zw-discovery-peer: the heart with the real workers) whose queue
# holds 0, 1,000 and 10,000 files.
# The plain path here has no pause between files; the drop window's heart adds 50 ms to each.
#
#   scripts/in-netns bench/many-files.sh [RUNS]      (default 3)
# env: BENCH_DIR  where the files go (default /var/tmp: a disk)
#      ZW_PEER    the peer program (default build/bench/zw_peer)
#      ZW_HEADLESS the headless copy (default build/bench/zw-discovery-peer)
set -uo pipefail

RUNS=${1:-3}
BENCH_DIR=${BENCH_DIR:-/var/tmp}
HERE=$(cd "$(dirname "$0")/.." && pwd)
ZW_PEER=${ZW_PEER:-$HERE/build/bench/zw_peer}
ZW_HEADLESS=${ZW_HEADLESS:-$HERE/build/bench/zw-discovery-peer}
TIME=/usr/bin/time
TMO=600
FILES=1000
TREE_FILES=10000

die() { echo "many-files.sh: $*" >&2; exit 1; }
[[ -x $ZW_PEER ]] || die "no peer program at $ZW_PEER (build first)"
[[ -x $ZW_HEADLESS ]] || die "no headless copy at $ZW_HEADLESS (build first)"
[[ -x $TIME ]] || die "needs GNU time at $TIME"
command -v nc >/dev/null || die "needs nc (netcat-openbsd)"
ip route get 1.1.1.1 >/dev/null 2>&1 && die "run me in a network namespace of my own (scripts/in-netns)"

T=$(mktemp -d "$BENCH_DIR/zwmany.XXXXXX") || die "mktemp failed"
PIDS=()
cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$T"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

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
now_us() { echo "${EPOCHREALTIME/./}"; }
rss() { awk 'END {print $1 + 0}' "$1" 2>/dev/null || echo 0; }
# Regular files below a folder, our own queue and log left out.
count_files() { find "$1" -type f ! -name 'zingwelllog*' ! -name 'Files2Send.txt' 2>/dev/null | wc -l; }

# The inputs: 1,000 files of 10 KB, and a folder of 10,000 files of 1 KB in 10 folders.
mkdir -p "$T/src/many" "$T/src/tree"
head -c $((FILES * 10240)) /dev/urandom | split -b 10240 -a 4 -d - "$T/src/many/f"
for ((d = 0; d < 10; d++)); do
  mkdir -p "$T/src/tree/d$d"
  head -c $((TREE_FILES / 10 * 1024)) /dev/urandom | split -b 1024 -a 4 -d - "$T/src/tree/d$d/f"
done
MANY=("$T"/src/many/f*)
((${#MANY[@]} == FILES)) || die "could not make the files"

# Both identities once: each peer prints its key hash; the sender pins the receiver's.
for id in a b; do
  HOME=$T "$ZW_PEER" --identity "$T/id-$id" --port 0 --timeout 5 < /dev/null \
    | awk '$1 == "key" {print $2}' > "$T/key-$id"
done
KEY_B=$(cat "$T/key-b")
[[ ${#KEY_B} == 64 ]] || die "no key hash from $ZW_PEER --identity"

# tar | nc of a folder of $T/src: sets US, OK.
run_tar() {
  local what=$1 want=$2 port rpid t0
  rm -rf "$T/out"; mkdir -p "$T/out"; sync; port=$(free_port); OK=1
  t0=$(now_us)
  (nc -l 127.0.0.1 "$port" | tar -x -C "$T/out") < /dev/null &
  rpid=$!; PIDS+=("$rpid")
  wait_listen "$port" || OK=0
  tar -c -C "$T/src" "$what" | nc -N 127.0.0.1 "$port" || OK=0
  wait "$rpid" || OK=0
  US=$(($(now_us) - t0)); unset 'PIDS[-1]'
  [[ $(count_files "$T/out") == "$want" ]] || OK=0
}
# Zingwell, one connection per file, one after the other: plain, or with "tls" a secure
# session for each file (as every drop went before batches).
run_plain() {
  local port rpid t0 args=() f recv_opts=()
  rm -rf "$T/home"; mkdir -p "$T/home"; sync; port=$(free_port); OK=1
  for f in "${MANY[@]}"; do args+=(--send 127.0.0.1 "$port" "$f"); done
  if [[ ${1:-} == tls ]]; then
    recv_opts=(--identity "$T/id-b"); args+=(--identity "$T/id-a" --pin "$KEY_B")
  fi
  t0=$(now_us)
  HOME=$T/home timeout $TMO "$ZW_PEER" --port "$port" --receive "$FILES" --timeout $TMO \
    "${recv_opts[@]}" < /dev/null > /dev/null &
  rpid=$!; PIDS+=("$rpid")
  wait_listen "$port" || OK=0
  HOME=$T/home timeout $TMO "$ZW_PEER" "${args[@]}" --timeout $TMO > /dev/null \
    || { OK=0; kill "$rpid" 2>/dev/null; }
  wait "$rpid" || OK=0
  US=$(($(now_us) - t0)); unset 'PIDS[-1]'
  [[ $(count_files "$T/home/Zingwell") == "$FILES" ]] || OK=0
}
# Zingwell over TLS, one session for every path given; the sender ends once the receiver
# acknowledged the last file. Sets US, OK, RSS_A and RSS_B (kB).
run_batch() {
  local want=$1 port rpid t0 args=() f
  shift
  rm -rf "$T/home"; mkdir -p "$T/home"; sync; port=$(free_port); OK=1
  for f in "$@"; do args+=(--send 127.0.0.1 "$port" "$f"); done
  t0=$(now_us)
  HOME=$T/home timeout $TMO $TIME -f '%M' -o "$T/rss.b" "$ZW_PEER" --identity "$T/id-b" \
    --port "$port" --receive 1000000 --timeout $TMO < /dev/null > /dev/null &
  rpid=$!; PIDS+=("$rpid")
  wait_listen "$port" || OK=0
  HOME=$T/home timeout $TMO $TIME -f '%M' -o "$T/rss.a" "$ZW_PEER" --identity "$T/id-a" \
    --pin "$KEY_B" --batch "${args[@]}" --timeout $TMO > /dev/null 2> "$T/batch.err" || OK=0
  US=$(($(now_us) - t0))
  kill -INT "$rpid" 2>/dev/null; wait "$rpid"; unset 'PIDS[-1]'
  RSS_A=$(rss "$T/rss.a"); RSS_B=$(rss "$T/rss.b")
  [[ $(count_files "$T/home/Zingwell") == "$want" ]] || OK=0
  ((OK)) || sed 's/^/# /' "$T/batch.err" | head -3 >&2
}

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
rate() { awk -v n="$1" -v us="$2" 'BEGIN {printf "%.0f", n * 1000000 / us}'; }   # files a second

echo "# $(date -u +%FT%TZ) $(uname -r) $(nproc) cpus; $FILES files of 10 KB; $RUNS runs each, alternating (+1 warm-up)"
TAR_RATE=() PLAIN_RATE=() PER_RATE=() TLS_RATE=() TLS_A=() TLS_B=() FAILED=0
for ((r = 0; r <= RUNS; r++)); do
  for tool in tar plain per batch; do
    case $tool in
      tar) run_tar many "$FILES" ;;
      plain) run_plain ;;
      per) run_plain tls ;;
      batch) run_batch "$FILES" "${MANY[@]}" ;;
    esac
    ((OK)) || { echo "# $tool run $r FAILED" >&2; FAILED=1; continue; }
    ((r == 0)) && continue
    case $tool in
      tar) TAR_RATE+=("$(rate "$FILES" "$US")") ;;
      plain) PLAIN_RATE+=("$(rate "$FILES" "$US")") ;;
      per) PER_RATE+=("$(rate "$FILES" "$US")") ;;
      batch) TLS_RATE+=("$(rate "$FILES" "$US")"); TLS_A+=("$RSS_A"); TLS_B+=("$RSS_B") ;;
    esac
  done
done
printf '%-26s %12s\n' '# case' 'files/s'
printf '%-26s %12s\n' tar-nc "$( ((${#TAR_RATE[@]})) && median "${TAR_RATE[@]}" || echo failed)"
printf '%-26s %12s\n' zingwell-plain-per-file "$( ((${#PLAIN_RATE[@]})) && median "${PLAIN_RATE[@]}" || echo failed)"
printf '%-26s %12s\n' zingwell-tls-per-file "$( ((${#PER_RATE[@]})) && median "${PER_RATE[@]}" || echo failed)"
printf '%-26s %12s   (send %s kB, receive %s kB peak)\n' zingwell-tls-one-session \
  "$( ((${#TLS_RATE[@]})) && median "${TLS_RATE[@]}" || echo failed)" \
  "$( ((${#TLS_A[@]})) && median "${TLS_A[@]}" || echo -)" "$( ((${#TLS_B[@]})) && median "${TLS_B[@]}" || echo -)"

# The folder of 10,000 files, once each.
run_tar tree "$TREE_FILES"; TAR_US=$US; TAR_OK=$OK
run_batch "$TREE_FILES" "$T/src/tree"; ((OK)) || FAILED=1
printf '%-26s %12s\n' folder-tar-nc "$( ((TAR_OK)) && rate "$TREE_FILES" "$TAR_US" || echo failed)"
printf '%-26s %12s   (send %s kB, receive %s kB peak)\n' folder-zingwell-tls \
  "$( ((OK)) && rate "$TREE_FILES" "$US" || echo failed)" "$RSS_A" "$RSS_B"

# A headless copy with its queue loaded: peak memory after a few seconds, no buddy around.
for n in 0 1000 10000; do
  rm -rf "$T/hl"; mkdir -p "$T/hl/Zingwell"
  for ((i = 0; i < n; i++)); do printf '%s/src/queued/file-%05d.bin\r\n' "$T" "$i"; done \
    > "$T/hl/Zingwell/Files2Send.txt"
  HOME=$T/hl "$ZW_HEADLESS" --port "$(free_port)" < /dev/null > /dev/null 2>&1 &
  hpid=$!; PIDS+=("$hpid")
  sleep 3
  hwm=$(awk '$1 == "VmHWM:" {print $2}' "/proc/$hpid/status" 2>/dev/null)
  kill -INT "$hpid" 2>/dev/null; wait "$hpid"; unset 'PIDS[-1]'
  printf '%-26s %12s kB peak\n' "headless-queued-$n" "${hwm:-?}"
done
exit $FAILED
