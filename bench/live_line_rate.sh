#!/usr/bin/env bash
# Live capture at line rate, beside tcpdump in the same run: a generated LAN
# capture (2,000,000 frames by default) replayed with tcpreplay --topspeed
# through a veth pair between two network namespaces, once into tcpdump and
# once into tarnix-cli --interface, each reporting what it received and what
# the kernel dropped. Target: no kernel drop where tcpdump has none.
#
# usage: bench/live_line_rate.sh [TARNIX_CLI] [CAPTURE]   (root; needs tcpreplay tcpdump iproute2 python3)
#   TARNIX_CLI  default build/release/src/cli/tarnix-cli
#   CAPTURE     default: generated once into build/bench-lan-2m.pcap
set -euo pipefail
cd "$(dirname "$0")/.."
cli=$(readlink -f "${1:-build/release/src/cli/tarnix-cli}")
cap=${2:-build/bench-lan-2m.pcap}
[ "$(id -u)" -eq 0 ] || { echo "live_line_rate: run as root" >&2; exit 1; }
for t in tcpreplay tcpdump ip python3; do
  command -v "$t" >/dev/null || { echo "live_line_rate: $t is missing (scripts/setup.sh)" >&2; exit 1; }
done
if [ ! -f "$cap" ]; then
  echo "generating $cap ..." >&2
  python3 bench/tools/make_lan_capture.py "$cap" --frames 2000000 --hosts 400 --max-payload 200
fi

tx=tnxlr_tx$$ rx=tnxlr_rx$$
work=$(mktemp -d)
cleanup() { ip netns del "$tx" 2>/dev/null || true; ip netns del "$rx" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
ip netns add "$tx"
ip netns add "$rx"
ip link add tx0 netns "$tx" type veth peer name rx0 netns "$rx"
ip -n "$tx" link set tx0 up
ip -n "$rx" link set rx0 up
ip netns exec "$rx" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 >/dev/null 2>&1 || true
cat "$cap" >/dev/null  # in the page cache before the first replay

replay() { ip netns exec "$tx" tcpreplay --topspeed -i tx0 "$cap" 2>&1 | grep -oE '[0-9.]+ pps' | head -n 1; }

ip netns exec "$rx" tcpdump -i rx0 -n -w /dev/null 2>"$work/tcpdump.err" &
p=$!
sleep 2
rate=$(replay)
sleep 2
kill -INT "$p"
wait "$p" || true
td_recv=$(grep -oE '^[0-9]+ packets received by filter' "$work/tcpdump.err" | grep -oE '^[0-9]+')
td_drop=$(grep -oE '^[0-9]+ packets dropped by kernel' "$work/tcpdump.err" | grep -oE '^[0-9]+')
printf 'tcpdump     replayed at %-14s received %10s  dropped by kernel %8s\n' "$rate" "$td_recv" "$td_drop"

ip netns exec "$rx" "$cli" --interface rx0 --no-resolve --json >"$work/tarnix.json" 2>"$work/tarnix.err" &
p=$!
for _ in $(seq 1 100); do grep -q "capturing on" "$work/tarnix.err" 2>/dev/null && break; sleep 0.1; done
rate=$(replay)
sleep 3
kill -INT "$p"
wait "$p" || true
python3 - "$work/tarnix.json" "$rate" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
print("tarnix-cli  replayed at %-14s received %10d  dropped by kernel %8d  (frames seen %d)" %
      (sys.argv[2], s["received"], s["dropped_by_kernel"], s["frames_seen"]))
PY
