#!/usr/bin/env bash
# What the desktop program costs the machine, beside the headless program on
# the same input: CPU per thread over SPAN seconds, read from /proc, in three
# runs under a real X server (Xvfb):
#   quiet  a veth adapter in a network namespace that carries no traffic
#   paced  a generated LAN capture (15,000 frames a second, 300 hosts)
#          played at its recorded pace
# and the headless program on the same two. Targets: the desktop program on
# the quiet adapter at most 5 % of a core; the paced capture well under half
# a core, with the map changing on every screenshot (taken every 2 s).
#
# usage: bench/gui_cpu.sh [BUILD_DIR] [SPAN]   (root for the quiet adapter; needs xvfb imagemagick iproute2)
set -uo pipefail
cd "$(dirname "$0")/.."
build=$(readlink -f "${1:-build/release}")
span=${2:-10}
gui=$build/src/ui/tarnix
cli=$build/src/cli/tarnix-cli
cap=build/bench-lan-15k.pcap
[ -f "$cap" ] || python3 bench/tools/make_lan_capture.py "$cap" --frames 600000 --hosts 300 --rate 15000
work=$(mktemp -d)
ns=tnxgc$$
disp=:$((200 + $$ % 100))
Xvfb "$disp" -screen 0 1600x1000x24 >/dev/null 2>&1 &
xp=$!
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  kill "$xp" 2>/dev/null
  ip netns del "$ns" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
sleep 2
hz=$(getconf CLK_TCK)

# cpu_of PID LABEL: CPU per thread over $span seconds (screenshots every 2 s
# when SHOTS is set).
cpu_of() {
  local pid=$1 label=$2 t id now used changed=0 prev= sum i
  declare -A t0
  for t in /proc/"$pid"/task/*; do t0[$(basename "$t")]=$(awk '{print $14+$15}' "$t/stat"); done
  for i in $(seq 1 $((span / 2))); do
    sleep 2
    if [ -n "${SHOTS:-}" ]; then
      DISPLAY=$disp import -window root "$work/shot.png" 2>/dev/null
      sum=$(md5sum <"$work/shot.png" | cut -c1-16)
      [ -n "$prev" ] && [ "$sum" != "$prev" ] && changed=$((changed + 1))
      prev=$sum
    fi
  done
  local total=0
  for t in /proc/"$pid"/task/*; do
    id=$(basename "$t")
    now=$(awk '{print $14+$15}' "$t/stat" 2>/dev/null) || continue
    used=$(((now - ${t0[$id]:-$now}) * 1000 / (span * hz)))
    total=$((total + used))
    [ "$used" -gt 0 ] && printf '    %-18s %3d.%d %%\n' "$(cat "$t/comm")" $((used / 10)) $((used % 10))
  done
  printf '  %-40s total %3d.%d %% of a core' "$label" $((total / 10)) $((total % 10))
  [ -n "${SHOTS:-}" ] && printf ', screenshots changed %d of %d' "$changed" $((span / 2 - 1))
  echo
}

run() {  # LABEL SHOTS COMMAND...
  local label=$1 shots=$2
  shift 2
  env DISPLAY="$disp" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" "$@" >"$work/out" 2>&1 &
  local p=$!
  pids+=("$p")
  sleep 4
  kill -0 "$p" 2>/dev/null || { echo "  $label: the program ended ($(tail -n 3 "$work/out"))"; return; }
  SHOTS=$shots cpu_of "$p" "$label"
  kill -INT "$p" 2>/dev/null
  for _ in $(seq 1 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$p" 2>/dev/null
  wait "$p" 2>/dev/null
}

echo "CPU per thread over $span s (% of one core):"
if [ "$(id -u)" -eq 0 ] && ip netns add "$ns" 2>/dev/null; then
  ip link add q0 netns "$ns" type veth peer name q1 netns "$ns"
  ip -n "$ns" link set q0 up
  ip -n "$ns" link set q1 up
  ip -n "$ns" addr add 10.99.0.1/24 dev q0
  run "desktop, quiet adapter" "" ip netns exec "$ns" "$gui"
  run "headless, quiet adapter" "" ip netns exec "$ns" "$cli" --interface q0 --no-resolve
else
  echo "  (quiet adapter skipped: needs root for a network namespace)"
fi
run "desktop, capture at recorded pace" 1 "$gui" --read "$cap" --replay-speed 1
run "headless, capture at recorded pace" "" "$cli" --read "$cap" --replay-speed 1 --no-resolve
