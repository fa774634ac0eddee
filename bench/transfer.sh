#!/usr/bin/env bash
# Direct transfer throughput and memory: one file of random bytes sent from a Zingwell sender
# to a Zingwell receiver on 127.0.0.1 (bench/tools/zw_peer), and the same file with netcat
# (nc -N into a file on the same disk) and with socat -b 131072 (if installed), alternating,
# then one sparse file through Zingwell.
# Prints the median throughput of each, their ratio, and the peak memory of every side. The
# same Zingwell pair also runs over TLS (two identities, each side pinning the other's key),
# in the same alternation, with the cipher and both sides' CPU seconds per GiB.
# With ZW_PEER_BASE, a second build's pair of peers runs in the same alternation, plain and
# over TLS, so that a change is measured against the build before it under the same conditions.
#
#   scripts/in-netns bench/transfer.sh [SIZE [RUNS]]     e.g. 1G 5 (the defaults)
# env: BENCH_DIR     where the input and the received files go (default /var/tmp: a disk)
#      ZW_PEER       the peer program (default build/bench/zw_peer)
#      ZW_PEER_BASE  the peer program of the build to compare with (default: none)
#      SPARSE_SIZE   size of the sparse file (default 5G; 0 skips it)
set -uo pipefail

SIZE=${1:-1G}
RUNS=${2:-5}
BENCH_DIR=${BENCH_DIR:-/var/tmp}
HERE=$(cd "$(dirname "$0")/.." && pwd)
ZW_PEER=${ZW_PEER:-$HERE/build/bench/zw_peer}
ZW_PEER_BASE=${ZW_PEER_BASE:-}
SPARSE_SIZE=${SPARSE_SIZE:-5G}
TIME=/usr/bin/time
TMO=600

die() { echo "transfer.sh: $*" >&2; exit 1; }
[[ -x $ZW_PEER ]] || die "no peer program at $ZW_PEER (build first)"
[[ -z $ZW_PEER_BASE || -x $ZW_PEER_BASE ]] || die "no peer program at $ZW_PEER_BASE"
[[ -x $TIME ]] || die "needs GNU time at $TIME"
command -v nc >/dev/null || die "needs nc (netcat-openbsd)"
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
# User plus system seconds from a "%M %U %S" line.
cpu() { awk 'END {printf "%.2f", $2 + $3}' "$1" 2>/dev/null || echo 0; }

# One run each; sets US (elapsed microseconds from starting the receiver until it has
# ended), RSS_A (sender) and RSS_B (receiver) in kB, OK.
run_nc() {
  run_raw "$1" nc -l 127.0.0.1 @PORT@ -- nc -N 127.0.0.1 @PORT@
}
# socat with 128 KiB blocks, the plain copy the TLS transfer is held against.
run_socat() {
  run_raw "$1" socat -b 131072 -u TCP-LISTEN:@PORT@,bind=127.0.0.1,reuseaddr STDOUT -- \
    socat -b 131072 -u STDIN TCP:127.0.0.1:@PORT@
}
# run_raw FILE RECEIVER-COMMAND -- SENDER-COMMAND, @PORT@ in either replaced by the port.
run_raw() {
  local file=$1 port rpid t0 recv=() send=() arg side=recv
  shift
  port=$(free_port)
  for arg in "$@"; do
    [[ $arg == -- ]] && { side=send; continue; }
    arg=${arg//@PORT@/$port}
    if [[ $side == recv ]]; then recv+=("$arg"); else send+=("$arg"); fi
  done
  rm -f "$T/out.bin"; sync; OK=1
  t0=$(now_us)
  timeout $TMO $TIME -f '%M %U %S' -o "$T/rss.b" "${recv[@]}" < /dev/null > "$T/out.bin" &
  rpid=$!; PIDS+=("$rpid")
  wait_listen "$port" || OK=0
  timeout $TMO $TIME -f '%M %U %S' -o "$T/rss.a" "${send[@]}" < "$file" || OK=0
  wait "$rpid" || OK=0
  US=$(($(now_us) - t0)); unset 'PIDS[-1]'
  RSS_A=$(rss "$T/rss.a"); RSS_B=$(rss "$T/rss.b"); CPU_A=$(cpu "$T/rss.a"); CPU_B=$(cpu "$T/rss.b")
  [[ $(stat -c %s "$T/out.bin") == "$(stat -c %s "$file")" ]] || OK=0
  rm -f "$T/out.bin"
}
run_zw() { run_peer "$ZW_PEER" "$1"; }
run_base() { run_peer "$ZW_PEER_BASE" "$1"; }
run_base_tls() { run_peer "$ZW_PEER_BASE" "$1" tls; }
run_tls() { run_peer "$ZW_PEER" "$1" tls; }
# Both identities once: each peer prints its key hash; each side pins the other's.
make_identities() {
  local id
  for id in a b; do
    HOME=$T "$ZW_PEER" --identity "$T/id-$id" --port 0 --timeout 5 < /dev/null \
      | awk '$1 == "key" {print $2}' > "$T/key-$id"
  done
  KEY_A=$(cat "$T/key-a"); KEY_B=$(cat "$T/key-b")
  [[ ${#KEY_A} == 64 && ${#KEY_B} == 64 ]] || die "no key hash from $ZW_PEER --identity"
}
run_peer() {
  local peer=$1 port rpid t0 got recv_opts=() send_opts=()
  if [[ ${3:-} == tls ]]; then
    recv_opts=(--identity "$T/id-b" --pin "$KEY_A"); send_opts=(--identity "$T/id-a" --pin "$KEY_B")
  fi
  rm -rf "$T/home"; mkdir -p "$T/home"; sync; port=$(free_port); OK=1
  t0=$(now_us)
  HOME=$T/home timeout $TMO $TIME -f '%M %U %S' -o "$T/rss.b" "$peer" --port "$port" --receive 1 \
    --timeout $TMO "${recv_opts[@]}" < /dev/null > /dev/null &
  rpid=$!; PIDS+=("$rpid")
  wait_listen "$port" || OK=0
  HOME=$T/home timeout $TMO $TIME -f '%M %U %S' -o "$T/rss.a" "$peer" --send 127.0.0.1 "$port" "$2" \
    --timeout $TMO "${send_opts[@]}" > "$T/send.out" || OK=0
  wait "$rpid" || OK=0
  US=$(($(now_us) - t0)); unset 'PIDS[-1]'
  RSS_A=$(rss "$T/rss.a"); RSS_B=$(rss "$T/rss.b"); CPU_A=$(cpu "$T/rss.a"); CPU_B=$(cpu "$T/rss.b")
  [[ ${3:-} == tls ]] && CIPHER=$(awk '$1 == "cipher" {print $2}' "$T/send.out")
  got=$(stat -c %s "$T/home/Zingwell/$(basename "$2")" 2>/dev/null)
  [[ $got == "$(stat -c %s "$2")" ]] || OK=0
  rm -rf "$T/home"
}

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
max() { printf '%s\n' "$@" | sort -n | tail -n 1; }
mbps() { awk -v b="$1" -v us="$2" 'BEGIN {printf "%.1f", b / us}'; }   # 10^6 bytes per second

echo "# $(date -u +%FT%TZ) $(uname -r) $(nproc) cpus; $IN $BYTES bytes; $RUNS runs each, alternating (+1 warm-up)"
NC_RATE=() ZW_RATE=() BASE_RATE=() NC_A=() NC_B=() ZW_A=() ZW_B=() BASE_A=() BASE_B=() FAILED=0
TLS_RATE=() TLS_A=() TLS_B=() TLS_CPU_A=() TLS_CPU_B=() ZW_CPU_A=() ZW_CPU_B=() CIPHER=
SO_RATE=() SO_A=() SO_B=() SO_CPU_A=() SO_CPU_B=()
BTLS_RATE=() BTLS_A=() BTLS_B=() BTLS_CPU_A=() BTLS_CPU_B=()
make_identities
TOOLS=(nc zw tls)
command -v socat >/dev/null && TOOLS+=(socat)
[[ -n $ZW_PEER_BASE ]] && TOOLS+=(base base_tls)
for ((r = 0; r <= RUNS; r++)); do
  for tool in "${TOOLS[@]}"; do
    "run_$tool" "$IN"
    ((OK)) || { echo "# $tool run $r FAILED" >&2; FAILED=1; }
    ((r == 0)) && continue   # warm-up: page cache, first start
    case $tool in
      nc) NC_RATE+=("$(mbps "$BYTES" "$US")"); NC_A+=("$RSS_A"); NC_B+=("$RSS_B") ;;
      zw) ZW_RATE+=("$(mbps "$BYTES" "$US")"); ZW_A+=("$RSS_A"); ZW_B+=("$RSS_B")
          ZW_CPU_A+=("$CPU_A"); ZW_CPU_B+=("$CPU_B") ;;
      tls) TLS_RATE+=("$(mbps "$BYTES" "$US")"); TLS_A+=("$RSS_A"); TLS_B+=("$RSS_B")
           TLS_CPU_A+=("$CPU_A"); TLS_CPU_B+=("$CPU_B") ;;
      socat) SO_RATE+=("$(mbps "$BYTES" "$US")"); SO_A+=("$RSS_A"); SO_B+=("$RSS_B")
             SO_CPU_A+=("$CPU_A"); SO_CPU_B+=("$CPU_B") ;;
      base) BASE_RATE+=("$(mbps "$BYTES" "$US")"); BASE_A+=("$RSS_A"); BASE_B+=("$RSS_B")
            BASE_CPU_A+=("$CPU_A"); BASE_CPU_B+=("$CPU_B") ;;
      base_tls) BTLS_RATE+=("$(mbps "$BYTES" "$US")"); BTLS_A+=("$RSS_A"); BTLS_B+=("$RSS_B")
                BTLS_CPU_A+=("$CPU_A"); BTLS_CPU_B+=("$CPU_B") ;;
    esac
  done
  ((r > 0)) && echo "# run $r: nc ${NC_RATE[-1]} MB/s, zingwell ${ZW_RATE[-1]} MB/s, tls ${TLS_RATE[-1]} MB/s${SO_RATE:+, socat ${SO_RATE[-1]} MB/s}${ZW_PEER_BASE:+, base ${BASE_RATE[-1]} MB/s, base tls ${BTLS_RATE[-1]} MB/s}" >&2
done

NC_MED=$(median "${NC_RATE[@]}")
ZW_MED=$(median "${ZW_RATE[@]}")
printf '%-22s %10s %10s %10s %12s %12s\n' '# case' 'MB/s' 'min' 'max' 'send_kB' 'recv_kB'
printf '%-22s %10s %10s %10s %12s %12s\n' nc-file "$NC_MED" "$(printf '%s\n' "${NC_RATE[@]}" | sort -n | head -1)" \
  "$(max "${NC_RATE[@]}")" "$(max "${NC_A[@]}")" "$(max "${NC_B[@]}")"
printf '%-22s %10s %10s %10s %12s %12s\n' zingwell-file "$ZW_MED" "$(printf '%s\n' "${ZW_RATE[@]}" | sort -n | head -1)" \
  "$(max "${ZW_RATE[@]}")" "$(max "${ZW_A[@]}")" "$(max "${ZW_B[@]}")"
if [[ -n $ZW_PEER_BASE ]]; then
  BASE_MED=$(median "${BASE_RATE[@]}")
  printf '%-22s %10s %10s %10s %12s %12s\n' zingwell-base-file "$BASE_MED" "$(printf '%s\n' "${BASE_RATE[@]}" | sort -n | head -1)" \
    "$(max "${BASE_RATE[@]}")" "$(max "${BASE_A[@]}")" "$(max "${BASE_B[@]}")"
fi
TLS_MED=$(median "${TLS_RATE[@]}")
if [[ -n $ZW_PEER_BASE ]]; then
  BTLS_MED=$(median "${BTLS_RATE[@]}")
  printf '%-22s %10s %10s %10s %12s %12s\n' zingwell-base-tls-file "$BTLS_MED" "$(printf '%s\n' "${BTLS_RATE[@]}" | sort -n | head -1)" \
    "$(max "${BTLS_RATE[@]}")" "$(max "${BTLS_A[@]}")" "$(max "${BTLS_B[@]}")"
fi
printf '%-22s %10s %10s %10s %12s %12s\n' zingwell-tls-file "$TLS_MED" "$(printf '%s\n' "${TLS_RATE[@]}" | sort -n | head -1)" \
  "$(max "${TLS_RATE[@]}")" "$(max "${TLS_A[@]}")" "$(max "${TLS_B[@]}")"
if ((${#SO_RATE[@]})); then
  SO_MED=$(median "${SO_RATE[@]}")
  printf '%-22s %10s %10s %10s %12s %12s\n' socat-b128k-file "$SO_MED" "$(printf '%s\n' "${SO_RATE[@]}" | sort -n | head -1)" \
    "$(max "${SO_RATE[@]}")" "$(max "${SO_A[@]}")" "$(max "${SO_B[@]}")"
fi
echo "zingwell/nc ratio of medians: $(awk -v a="$ZW_MED" -v b="$NC_MED" 'BEGIN {printf "%.3f", a / b}')"
echo "tls/zingwell ratio of medians: $(awk -v a="$TLS_MED" -v b="$ZW_MED" 'BEGIN {printf "%.3f", a / b}'), tls/nc: $(awk -v a="$TLS_MED" -v b="$NC_MED" 'BEGIN {printf "%.3f", a / b}')"
# CPU seconds (user + system) per GiB, medians of the runs.
per_gib() { awk -v s="$(median "$@")" -v b="$BYTES" 'BEGIN {printf "%.3f", s * 1073741824 / b}'; }
((${#SO_RATE[@]})) && echo "tls/socat-b128k ratio of medians: $(awk -v a="$TLS_MED" -v b="$SO_MED" 'BEGIN {printf "%.3f", a / b}'), zingwell/socat-b128k: $(awk -v a="$ZW_MED" -v b="$SO_MED" 'BEGIN {printf "%.3f", a / b}')"
echo "tls cipher: ${CIPHER:-unknown}"
echo "cpu s/GiB plain: send $(per_gib "${ZW_CPU_A[@]}"), receive $(per_gib "${ZW_CPU_B[@]}"); tls: send $(per_gib "${TLS_CPU_A[@]}"), receive $(per_gib "${TLS_CPU_B[@]}")"
((${#SO_RATE[@]})) && echo "cpu s/GiB socat-b128k: send $(per_gib "${SO_CPU_A[@]}"), receive $(per_gib "${SO_CPU_B[@]}")"
if [[ -n $ZW_PEER_BASE ]]; then
  echo "zingwell/base ratio of medians: $(awk -v a="$ZW_MED" -v b="$BASE_MED" 'BEGIN {printf "%.3f", a / b}')"
  echo "cpu s/GiB base: send $(per_gib "${BASE_CPU_A[@]}"), receive $(per_gib "${BASE_CPU_B[@]}"); tls: send $(per_gib "${BTLS_CPU_A[@]}"), receive $(per_gib "${BTLS_CPU_B[@]}")"
  echo "tls/base-tls ratio of medians: $(awk -v a="$TLS_MED" -v b="$BTLS_MED" 'BEGIN {printf "%.3f", a / b}')"
fi

if [[ $SPARSE_SIZE != 0 ]]; then
  truncate -s "$SPARSE_SIZE" "$T/sparse.bin"
  run_zw "$T/sparse.bin"
  ((OK)) || { echo "# sparse run FAILED" >&2; FAILED=1; }
  printf '%-22s %10s %10s %10s %12s %12s\n' "zingwell-sparse-$SPARSE_SIZE" "$(mbps "$(stat -c %s "$T/sparse.bin")" "$US")" - - "$RSS_A" "$RSS_B"
  rm -f "$T/sparse.bin"
fi
exit $FAILED
