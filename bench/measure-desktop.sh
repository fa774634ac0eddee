#!/usr/bin/env bash
# The desktop program's figures on a virtual display (Xvfb), in a network namespace of its
# own: the time from start to the drop window shown (median of five starts), then the CPU it
# uses while idle and its memory. Idle is automatic mode with no buddy, the busiest idle there
# is (a beacon every 10 s, the discovery thread waiting). Given another program (an older
# build, say), it measures both in the same run, the start-ups taken in turns.
#   bench/measure-desktop.sh [build folder] [idle seconds] [other program]
#                                                  (defaults: build, 60, none)
# ZINGWELL_BENCH_RUNS sets the number of start-ups of each (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
idle=${2:-60}
other=${3:-}
runs=${ZINGWELL_BENCH_RUNS:-5}

if [ -z "${ZINGWELL_BENCH_INSIDE:-}" ]; then
    [ -x "$build/src/app/zingwell" ] || scripts/build "$build"
    exec env ZINGWELL_BENCH_INSIDE=1 scripts/in-netns "$0" "$@"
fi
programs=("$build/src/app/zingwell")
[ -n "$other" ] && programs+=("$other")

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$work/display" 2>/dev/null &
pids+=($!)
until grep -qE '^[0-9]+$' "$work/display"; do sleep 0.05; done
export DISPLAY=:$(grep -E '^[0-9]+$' "$work/display") QT_QPA_PLATFORM=xcb

# fresh_home MODE: a home and registry of their own, as a user who chose that mode.
fresh_home() {
    local home
    home=$(mktemp -d "$work/home.XXXX")
    mkdir -p "$home/config/zingwell" "$home/system" "$home/run"
    chmod 700 "$home/run"
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\QUILLO\\ZINGWELL]\n"servaddr"="255.255.255.255"\n"clientport"="6677"\n"autoport"="6677"\n"serverport"="6677"\n"useftp"=dword:00000000\n"server"=dword:%08d\n"auto"=dword:%08d\n"manual"=dword:%08d\n' \
        "$([ "$1" = manual ] && echo 1 || echo 0)" "$([ "$1" = auto ] && echo 1 || echo 0)" \
        "$([ "$1" = manual ] && echo 1 || echo 0)" >"$home/config/zingwell/user.reg"
    echo "$home"
}
start_program() {  # start_program PROGRAM HOME: starts it; its pid in $pid
    HOME=$2 XDG_CONFIG_HOME=$2/config ZINGWELL_SYSTEM_DIR=$2/system XDG_RUNTIME_DIR=$2/run \
        "$1" >/dev/null 2>&1 &
    pid=$!
    pids+=("$pid")
}
shown() {  # a visible "Zingwell" window larger than the dog
    local id
    for id in $(xdotool search --onlyvisible --name '^Zingwell$' 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$id")"
        [ "$WIDTH" -gt 91 ] && return 0
    done
    return 1
}

# Start-up: from the program's start to its drop window mapped on the display, $runs times
# each, the programs in turns.
declare -A times
for run in $(seq "$runs"); do
    for program in "${programs[@]}"; do
        home=$(fresh_home manual)
        begin=$(date +%s%N)
        start_program "$program" "$home"
        until shown; do sleep 0.005; done
        end=$(date +%s%N)
        times[$program]+="$(((end - begin) / 1000000)) "
        kill -TERM "$pid"
        wait "$pid" || true
    done
done

# Idle: CPU time over the period from /proc, and memory at its end.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)
for program in "${programs[@]}"; do
    echo "== $program"
    sorted=($(printf '%s\n' ${times[$program]} | sort -n))
    echo "start to drop window shown: median ${sorted[$((runs / 2))]} ms (runs: ${times[$program]}ms)"
    home=$(fresh_home auto)
    start_program "$program" "$home"
    until shown; do sleep 0.05; done
    sleep 5  # past start-up
    before=$(ticks "$pid")
    sleep "$idle"
    after=$(ticks "$pid")
    awk -v t=$((after - before)) -v hz="$hz" -v s="$idle" \
        'BEGIN { printf "idle CPU over %d s (automatic mode, no buddy): %d ticks = %.3f%%\n", s, t, 100 * t / hz / s }'
    grep -E '^(VmRSS|VmHWM)' "/proc/$pid/status" | awk '{ printf "%s %.1f MiB\n", $1, $2 / 1024 }'
    threads=$(ls "/proc/$pid/task" | wc -l)
    echo "threads: $threads"
    kill -TERM "$pid"
    wait "$pid" || true
done
