#!/usr/bin/env bash
# Uploads the same file of random bytes to the same vsftpd on 127.0.0.1 with Zingwell's
# FTP client (bench/tools/ftp_upload, passive) and with `curl -T` (passive), alternating,
# and prints each client's median throughput, their ratio and the client's peak memory.
#   sudo bench/ftp-upload.sh [size, default 1G] [runs per client, default 5] [build folder]
# Needs root (vsftpd), vsftpd, curl and GNU time. Runs itself in a network namespace of its
# own; nothing leaves loopback. The test file lives in $BENCH_DIR (default /var/tmp).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
size=${1:-1G}
runs=${2:-5}
build=$(cd "${3:-$root/build}" && pwd)
tool=$build/bench/ftp_upload

if [ -z "${ZINGWELL_BENCH_NETNS:-}" ]; then
    export ZINGWELL_BENCH_NETNS=1
    exec "$root/scripts/in-netns" "$0" "$size" "$runs" "$build"
fi
[ "$(id -u)" -eq 0 ] || { echo "vsftpd needs root" >&2; exit 2; }
[ -x "$tool" ] || { echo "build $tool first (scripts/build)" >&2; exit 2; }

work=$(mktemp -d)
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    if [ "${keep_input:-1}" = 0 ]; then
        rm -f "$input"
    fi
}
trap cleanup EXIT

# The input: random bytes, made once and kept in the page cache for every run.
input=${BENCH_DIR:-/var/tmp}/zingwell-ftp-bench-$size.bin
keep_input=1
if [ ! -f "$input" ]; then
    keep_input=0
    head -c "$size" /dev/urandom > "$input"
fi
bytes=$(stat -c %s "$input")
cat "$input" > /dev/null

# vsftpd, anonymous upload into upload/ (its root must belong to root and stay unwritable).
mkdir -p "$work/root/upload" "$work/empty"
chmod 755 "$work" "$work/root"
chown ftp "$work/root/upload"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
seccomp_sandbox=NO
secure_chroot_dir=$work/empty
anonymous_enable=YES
no_anon_password=YES
anon_root=$work/root
write_enable=YES
anon_upload_enable=YES
local_enable=NO
pasv_enable=YES
pasv_address=127.0.0.1
port_enable=YES
connect_from_port_20=NO
xferlog_enable=NO
syslog_enable=NO
tcp_wrappers=NO
CONF
vsftpd "$work/vsftpd.conf" < /dev/null > "$work/vsftpd.log" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
done

# One timed upload: prints "MB/s peak-RSS-kB"; fails when the stored file is not whole.
upload() {
    local client=$1 name=$2 start end
    rm -f "$work/root/upload/"*
    sync
    start=$(date +%s%N)
    case $client in
        zingwell) /usr/bin/time -f %M -o "$work/rss" "$tool" 127.0.0.1 "$port" anonymous x \
                      "$input" "upload/$name" ;;
        curl) /usr/bin/time -f %M -o "$work/rss" curl -sS -T "$input" \
                  "ftp://127.0.0.1:$port/upload/$name" ;;
    esac
    end=$(date +%s%N)
    cmp -s "$input" "$work/root/upload/$name" || { echo "$client: stored file differs" >&2; return 1; }
    awk -v b="$bytes" -v ns=$((end - start)) -v rss="$(tail -n 1 "$work/rss")" \
        'BEGIN { printf "%.1f %d\n", b / 1e6 / (ns / 1e9), rss }'
}

echo "# $bytes bytes, $runs runs per client, alternating; MB = 10^6 bytes"
declare -A speeds rss
for run in $(seq "$runs"); do
    # Each client goes first in every other round, so neither always meets a busier disk.
    order="zingwell curl"
    [ $((run % 2)) = 0 ] && order="curl zingwell"
    for client in $order; do
        result=$(upload "$client" "run$run-$client.bin")  # a failed run ends the script
        read -r mbps kb <<< "$result"
        echo "run $run  $client  $mbps MB/s  ${kb} kB"
        speeds[$client]+="$mbps "
        [ "${rss[$client]:-0}" -lt "$kb" ] && rss[$client]=$kb
    done
done
median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
z=$(echo "${speeds[zingwell]}" | median)
c=$(echo "${speeds[curl]}" | median)
echo "median  zingwell $z MB/s  curl $c MB/s  ratio $(awk -v z="$z" -v c="$c" 'BEGIN { printf "%.3f", z / c }')"
echo "peak RSS  zingwell ${rss[zingwell]} kB  curl ${rss[curl]} kB"
