#!/usr/bin/env bash
# Names heard on the wire, end to end (root, network namespaces):
#  1. scripts/name_capture.sh makes a capture of real DNS and DHCP traffic;
#     `tarnix-cli --read F --no-resolve --json` must name every host tshark
#     names from an answer, the DHCP client's lease by its host name, and the
#     two adapters (real MA-L and MA-S prefixes) by their registered makers.
#  2. A live run with --no-resolve in a namespace whose resolver is across a
#     veth pair sends no DNS query, while a run without it does.
#
# usage: names_e2e.sh TARNIX_CLI NAME_CAPTURE_SCRIPT [WORKDIR]
set -euo pipefail
cli=${1:?usage: names_e2e.sh TARNIX_CLI NAME_CAPTURE_SCRIPT [WORKDIR]}
make_capture=${2:?usage: names_e2e.sh TARNIX_CLI NAME_CAPTURE_SCRIPT [WORKDIR]}
work=${3:-$(mktemp -d)}
mkdir -p "$work"

fail() {
  echo "names_e2e: $*" >&2
  exit 1
}
[ "$(id -u)" -eq 0 ] || { echo "names_e2e: needs root (network namespaces)"; exit 77; }
for tool in dnsmasq dig tshark tcpdump busybox python3; do
  command -v $tool >/dev/null || { echo "names_e2e: $tool missing"; exit 77; }
done
[ -f /usr/share/ieee-data/oui.csv ] || { echo "names_e2e: ieee-data missing"; exit 77; }

# 1. The capture, read back.
pcap="$work/names.pcap"
bash "$make_capture" "$pcap" >"$work/capture.log" 2>&1 || fail "making the capture failed: $(tail -3 "$work/capture.log")"
tshark -r "$pcap" -q -z hosts 2>/dev/null | grep -v '^#' | grep -v '^$' >"$work/tshark_hosts.txt" || true
"$cli" --read "$pcap" --no-resolve --json >"$work/summary.json" 2>"$work/err.txt" || fail "tarnix-cli failed: $(cat "$work/err.txt")"
python3 - "$work/summary.json" "$work/tshark_hosts.txt" <<'PY' || fail "names differ (see above)"
import json, sys
hosts = {h["address"]: h for h in json.load(open(sys.argv[1]))["hosts"]}
pairs = [l.split("\t") for l in open(sys.argv[2]).read().splitlines() if "\t" in l]
bad = 0
checked = 0
for address, name in pairs:
    h = hosts.get(address)
    if h is None:
        continue  # answered but never seen as a host
    checked += 1
    if h.get("name") != name or h.get("name_source") != "dns":
        print(f"{address}: tshark {name}, tarnix {h.get('name')} ({h.get('name_source')})")
        bad += 1
if checked < 3:
    print(f"only {checked} answered hosts in the capture")
    bad += 1
lease = [h for a, h in hosts.items() if a.startswith("192.168.77.1") and len(a.split(".")[3]) == 3]
if not lease or lease[0].get("name") != "laptop-7" or lease[0].get("name_source") != "dhcp":
    print(f"the lease is not named by DHCP: {lease}")
    bad += 1
makers = {h["ethernet"]: h.get("vendor") for h in hosts.values()}
want = {"00:22:72:aa:bb:01": "American Micro-Fuel Device Corp.", "70:b3:d5:f2:f1:23": "TELEPLATFORMS"}
for mac, maker in want.items():
    if makers.get(mac) != maker:
        print(f"{mac}: maker {makers.get(mac)}, want {maker}")
        bad += 1
sys.exit(1 if bad else 0)
PY

# 2. Live: DNS queries seen across the veth pair, without and with --no-resolve.
srv=tnxe-srv sen=tnxe-sen
cleanup() {
  ip netns del $srv 2>/dev/null || true
  ip netns del $sen 2>/dev/null || true
  rm -rf /etc/netns/$sen
}
trap cleanup EXIT
queries() {  # queries MODE...: DNS packets the server side saw during a live run
  cleanup
  ip netns add $srv
  ip netns add $sen
  ip link add tnxe0 type veth peer name tnxe1
  ip link set tnxe0 netns $srv
  ip link set tnxe1 netns $sen
  ip -n $srv addr add 192.168.79.1/24 dev tnxe0
  ip -n $srv link set tnxe0 up
  ip -n $sen addr add 192.168.79.50/24 dev tnxe1
  ip -n $sen link set tnxe1 up
  mkdir -p /etc/netns/$sen
  echo "nameserver 192.168.79.1" >/etc/netns/$sen/resolv.conf
  ip netns exec $srv tcpdump -i tnxe0 -U -w "$work/live.pcap" -s 0 port 53 >/dev/null 2>&1 &
  local dump=$!
  sleep 1
  ip netns exec $sen "$cli" -i tnxe1 "$@" --duration 5 --json >"$work/live.json" 2>"$work/live.err" &
  local sensor=$!
  sleep 1.5
  for a in 2 3 4; do ip netns exec $srv ip addr add 192.168.79.$a/24 dev tnxe0; done
  for a in 1 2 3 4; do ip netns exec $sen busybox ping -c 1 -W 1 192.168.79.$a >/dev/null || true; done
  wait $sensor || true
  sleep 3
  kill $dump
  wait $dump 2>/dev/null || true
  tcpdump -r "$work/live.pcap" 2>/dev/null | wc -l
}
with=$(queries --json)
without=$(queries --no-resolve)
echo "names_e2e: DNS packets from a live run: $with resolving, $without with --no-resolve"
[ "$with" -gt 0 ] || fail "the check saw no query even from a resolving run"
[ "$without" -eq 0 ] || fail "--no-resolve sent $without DNS packets"
echo "names_e2e: ok"
