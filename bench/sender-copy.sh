# shellcheck shell=bash
# Sourced by the sending-side benches: one desktop Zingwell (offscreen) in manual mode with a
# home and registry of its own under $T, its buddy at 127.0.0.1:$BUDDY_PORT; its log read
# every 100 ms, each new line stamped with the milliseconds since queueing (into $T/events).
# Needs T, HERE and die() set; leaves ZINGWELL, ZW_PEER and the functions below.
ZINGWELL=${ZINGWELL:-$HERE/build/src/app/zingwell}
ZW_PEER=${ZW_PEER:-$HERE/build/bench/zw_peer}
[[ -x $ZINGWELL ]] || die "no program at $ZINGWELL (build first)"
[[ -x $ZW_PEER ]] || die "no peer program at $ZW_PEER (build first)"
ip route get 1.1.1.1 >/dev/null 2>&1 && die "run me in a network namespace of my own (scripts/in-netns)"

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
T0=$(now_us)
ms() { echo $((($(now_us) - T0) / 1000)); }
secs() { awk -v m="$1" 'BEGIN {printf "%.1f", m / 1000}'; }

COPY_ENV=("HOME=$T/home" "XDG_CONFIG_HOME=$T/config" "ZINGWELL_SYSTEM_DIR=$T/system"
  "XDG_RUNTIME_DIR=$T/run" QT_QPA_PLATFORM=offscreen)
LOG=$T/home/Zingwell/zingwelllog.txt
# As a user leaves it after choosing manual mode; it listens on a port of its own.
start_sender() {
  local own_port reg=$T/config/zingwell/user.reg i
  mkdir -p "$T/home" "$T/config/zingwell" "$T/system" "$T/run"
  chmod 700 "$T/run"
  own_port=$(free_port)
  printf '%s\n' REGEDIT4 '' '[HKEY_CURRENT_USER\SOFTWARE\QUILLO\ZINGWELL]' \
    '"servaddr"="127.0.0.1"' "\"clientport\"=\"$BUDDY_PORT\"" "\"autoport\"=\"$own_port\"" \
    "\"serverport\"=\"$own_port\"" '"ftpip"=""' '"target"=""' '"user"=""' '"pass"=""' \
    '"useftp"=dword:00000000' '"server"=dword:00000000' '"auto"=dword:00000000' \
    '"manual"=dword:00000001' > "$reg"
  chmod 600 "$reg"
  env "${COPY_ENV[@]}" "$ZINGWELL" > "$T/sender.out" 2>&1 &
  PIDS+=($!)
  for ((i = 0; i < 300; i++)); do [[ -s $LOG ]] && return 0; sleep 0.1; done
  die "the program wrote no log: $(cat "$T/sender.out")"
}
# `zingwell FILE...` a second time: the running copy queues them as one drop. Time 0.
queue_files() {
  [[ -f $LOG ]] && SEEN=$(wc -l < "$LOG")   # start-up lines are not events
  T0=$(now_us)
  env "${COPY_ENV[@]}" "$ZINGWELL" "$@" >> "$T/sender.out" 2>&1 || die "hand-over failed"
}
SEEN=0
# Stamps the log's lines that are new since the last call.
poll_log() {
  local t text lines
  [[ -f $LOG ]] || return 0
  text=$(cat "$LOG"; echo .); text=${text%.}
  [[ $text == *$'\n'* ]] || return 0
  mapfile -t lines <<< "${text%$'\n'*}"   # whole lines only: one may be half written
  t=$(ms)
  for ((; SEEN < ${#lines[@]}; SEEN++)); do echo "$t ${lines[SEEN]}" >> "$T/events"; done
}
# Whether the file came whole into the receiver's folder under HOME $1.
arrived() { [[ $(stat -c %s "$1/Zingwell/$(basename "$2")" 2>/dev/null) == "$(stat -c %s "$2")" ]]; }
