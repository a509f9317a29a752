#!/usr/bin/env bash
# Link layers end to end: tagged Ethernet frames and Linux cooked frames of
# the same real traffic, read by the headless program and compared with
# tshark's view of the same files.
#
#   netns mode: a server and a client namespace, each with one interface
#     holding an untagged IPv4 address and the VLAN's IPv4 and IPv6
#     addresses, joined through a trunk (a veth pair in a third namespace)
#     on which vlan_relay.py tags the VLAN's frames with id 10. curl fetches
#     from python3 http.server untagged and over the VLAN in both families,
#     and UDP goes both ways on the VLAN. tcpdump records one end of the
#     trunk (tagged and untagged frames) and, at the same time, every
#     interface of the trunk's namespace ("-i any": cooked frames, v2 as
#     tcpdump writes them by default and v1). With KEEP_DIR set, the files
#     are copied there (ROUNDS=1 SNAP=80 made the committed ones small).
#   files mode: the committed captures made that way (tests/e2e/data), so the
#     comparison runs without root.
#
# Every IPv4 and IPv6 link's frames and bytes must equal tshark's
# (ip.src/ip.dst and ipv6.src/ipv6.dst, first occurrence); hosts of the VLAN show "vlan":10 in the tagged capture,
# untagged hosts none, and the tagged link's protocols include VLAN; the
# cooked captures show every trunk frame once per interface it crossed.
#
# usage: links_e2e.sh TARNIX_CLI PROTOCOL_FILE netns|files [DATA_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

cli=$(readlink -f "${1:?usage: links_e2e.sh TARNIX_CLI PROTOCOL_FILE netns|files [DATA_DIR]}")
protocols=$(readlink -f "${2:?protocol file}")
mode=${3:-files}
data=${4:-$here/data}
e2e_init "links_e2e_$mode"
e2e_need tshark python3

# The VLAN's addresses, beside the pair's untagged 10.77.0.1 and .2.
vlan_a=10.78.0.1
vlan_b=10.78.0.2
vlan6_a=fd00:78::1
vlan6_b=fd00:78::2

# compare NAME FILE [tagged]: tarnix-cli against tshark on FILE.
compare() {
  local name=$1 file=$2 tagged=${3:-}
  local conv=$E2E_WORK/$name.conv fields=$E2E_WORK/$name.fields json=$E2E_WORK/$name.json
  tshark -r "$file" -q -z conv,ip >"$conv" 2>"$E2E_WORK/$name.tshark.err" || e2e_fail "tshark -z conv,ip $name"
  tshark -r "$file" -q -z conv,ipv6 >>"$conv" 2>>"$E2E_WORK/$name.tshark.err" || e2e_fail "tshark -z conv,ipv6 $name"
  tshark -r "$file" -Y ip -T fields -E occurrence=f -e ip.src -e ip.dst -e frame.len >"$fields" \
    2>>"$E2E_WORK/$name.tshark.err" || e2e_fail "tshark fields $name"
  tshark -r "$file" -Y "ipv6 && !ip" -T fields -E occurrence=f -e ipv6.src -e ipv6.dst -e frame.len >>"$fields" \
    2>>"$E2E_WORK/$name.tshark.err" || e2e_fail "tshark IPv6 fields $name"
  "$cli" --read "$file" --json --no-resolve --protocols "$protocols" >"$json" 2>"$E2E_WORK/$name.err" ||
    e2e_fail "tarnix-cli --read $name failed"
  python3 "$here/capture_compare.py" "$conv" "$fields" "$json" 4 >"$E2E_WORK/$name.compare.out" \
    2>"$E2E_WORK/$name.compare.err" || e2e_fail "$name: totals differ from tshark: $(cat "$E2E_WORK/$name.compare.err")"
  echo "$name: $(cat "$E2E_WORK/$name.compare.out")" >&2
  local ipv6
  ipv6=$(tshark -r "$file" -Y ipv6 -T fields -e frame.number 2>/dev/null | wc -l)
  python3 - "$json" "$ipv6" "$name" <<'PY' >&2
import json, sys
s = json.load(open(sys.argv[1]))
print(f"{sys.argv[3]}: {s['frames_seen']} frames seen, {s['frames_counted']} counted, "
      f"{s['frames_filtered']} filtered; tshark finds {sys.argv[2]} IPv6 frames")
PY
  [ -n "$tagged" ] || return 0
  python3 - "$json" "$vlan_a" "$vlan_b" <<'PY' || e2e_fail "$name: VLAN not shown as it should be"
import json, sys
s = json.load(open(sys.argv[1]))
vlan = {h["address"]: h.get("vlan") for h in s["hosts"]}
problems = []
for a in sys.argv[2:4]:
    if vlan.get(a) != 10:
        problems.append(f"{a} shows vlan {vlan.get(a)}")
for a in ("10.77.0.1", "10.77.0.2"):
    if a in vlan and vlan[a] is not None:
        problems.append(f"untagged {a} shows vlan {vlan[a]}")
link = next((l for l in s["links"] if l["source"] == sys.argv[3] and l["destination"] == sys.argv[2]), None)
names = []
def walk(rows):
    for r in rows:
        names.append(r["protocol"])
        walk(r["children"])
if link is None:
    problems.append("no link on the VLAN")
else:
    walk(link["protocols"])
    if "VLAN" not in names:
        problems.append(f"the VLAN link's protocols are {names}")
for p in problems:
    print("links_e2e:", p, file=sys.stderr)
sys.exit(1 if problems else 0)
PY
}

# same_traffic: the cooked captures saw every frame of the trunk capture on
# the four interfaces it crossed (access, trunk end, trunk end, access), so
# each link between the test's own addresses carries four times the trunk's
# frames. (What the interfaces say of themselves while the captures start,
# router and listener reports to multicast groups, is timing, not traffic.)
same_traffic() {
  python3 - "$E2E_WORK/tagged.json" "$E2E_WORK/cooked.json" "$E2E_WORK/cooked_v1.json" \
    10.77.0.1 10.77.0.2 "$vlan_a" "$vlan_b" "$vlan6_a" "$vlan6_b" <<'PY' ||
import json, sys
ours = set(sys.argv[4:])
def links(path):
    return {(l["source"], l["destination"]): l["frames"] for l in json.load(open(path))["links"]
            if l["source"] in ours and l["destination"] in ours}
trunk = links(sys.argv[1])
bad = []
if len(trunk) < 6:
    bad.append(f"only {len(trunk)} links between the test's addresses on the trunk: {trunk}")
for path in sys.argv[2:4]:
    cooked = links(path)
    if set(cooked) != set(trunk) or any(cooked[k] != 4 * trunk[k] for k in trunk):
        bad.append(f"{path}: {cooked} against 4 x {trunk}")
for b in bad:
    print("links_e2e:", b, file=sys.stderr)
sys.exit(1 if bad else 0)
PY
    e2e_fail "the cooked captures do not show the trunk's traffic"
}

if [ "$mode" = files ]; then
  compare tagged "$data/vlan_tagged.pcap" tagged
  compare cooked "$data/vlan_cooked.pcap"
  compare cooked_v1 "$data/vlan_cooked_v1.pcap"
  same_traffic
  echo "links_e2e (files): ok"
  exit 0
fi

e2e_need_root
e2e_need ip tcpdump curl ethtool
# The kernels this runs on may lack VLAN devices and bridges: the trunk is a
# veth pair in a third namespace, with a relay that tags the VLAN's frames
# on it (vlan_relay.py). The hosts themselves send and receive untagged.
id=$$
ns_a=tnx_la_$id
ns_b=tnx_lb_$id
ns_r=tnx_lr_$id
for ns in "$ns_a" "$ns_b" "$ns_r"; do
  ip netns add "$ns" || e2e_skip "cannot create a network namespace"
  E2E_NAMESPACES+=("$ns")
  ip -n "$ns" link set lo up
done
# The relay's namespace speaks no IPv6 of its own.
ip netns exec "$ns_r" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
ip link add a0 netns "$ns_a" type veth peer name ra netns "$ns_r"
ip link add b0 netns "$ns_b" type veth peer name rb netns "$ns_r"
ip -n "$ns_r" link add t1 type veth peer name t2
for dev in ra rb t1 t2; do
  ip -n "$ns_r" link set "$dev" up
  ip netns exec "$ns_r" ethtool -K "$dev" tx off tso off gso off gro off >/dev/null 2>&1 || true
done
for side in a b; do
  ns=ns_$side
  ip -n "${!ns}" link set "${side}0" mtu 1400 up
  # Whole, checksummed frames: the relay copies what it reads.
  ip netns exec "${!ns}" ethtool -K "${side}0" tx off tso off gso off gro off >/dev/null 2>&1 || true
done
ip -n "$ns_a" addr add 10.77.0.1/24 dev a0
ip -n "$ns_b" addr add 10.77.0.2/24 dev b0
ip -n "$ns_a" addr add "$vlan_a/24" dev a0
ip -n "$ns_b" addr add "$vlan_b/24" dev b0
ip -n "$ns_a" addr add "$vlan6_a/64" dev a0 nodad
ip -n "$ns_b" addr add "$vlan6_b/64" dev b0 nodad
E2E_LOG=$E2E_WORK/relay.log e2e_bg "$ns_r" python3 "$here/vlan_relay.py" ra t1 t2 rb 10
for _ in $(seq 1 100); do
  grep -q relaying "$E2E_WORK/relay.log" 2>/dev/null && break
  sleep 0.1
done

www=$E2E_WORK/www
mkdir -p "$www"
printf 'hello\n' >"$www/small.txt"
head -c 3000 /dev/urandom >"$www/medium.bin"
E2E_LOG=$E2E_WORK/http.log e2e_bg "$ns_a" python3 -m http.server 8080 --bind :: --directory "$www"
E2E_LOG=$E2E_WORK/udp_server.log e2e_bg "$ns_a" python3 "$here/capture_udp.py" server "$vlan_a" 7000
e2e_wait_port "$ns_b" "$vlan_a" 8080

tagged=$E2E_WORK/vlan_tagged.pcap
cooked=$E2E_WORK/vlan_cooked.pcap
cooked_v1=$E2E_WORK/vlan_cooked_v1.pcap
E2E_LOG=$E2E_WORK/tcpdump_tagged.log e2e_bg "$ns_r" tcpdump -i t2 -n -s "${SNAP:-0}" -U -w "$tagged"
tagged_pid=$E2E_LAST_PID
E2E_LOG=$E2E_WORK/tcpdump_cooked.log e2e_bg "$ns_r" tcpdump -i any -n -s "${SNAP:-0}" -U -w "$cooked"
cooked_pid=$E2E_LAST_PID
E2E_LOG=$E2E_WORK/tcpdump_cooked_v1.log e2e_bg "$ns_r" tcpdump -i any -y LINUX_SLL -n -s "${SNAP:-0}" -U -w "$cooked_v1"
cooked_v1_pid=$E2E_LAST_PID
for log in tcpdump_tagged tcpdump_cooked tcpdump_cooked_v1; do
  for _ in $(seq 1 100); do
    grep -q "listening on" "$E2E_WORK/$log.log" 2>/dev/null && break
    sleep 0.1
  done
  grep -q "listening on" "$E2E_WORK/$log.log" || e2e_fail "$log did not start"
done

for i in $(seq 1 "${ROUNDS:-2}"); do
  ip netns exec "$ns_b" curl -sf -o /dev/null "http://10.77.0.1:8080/small.txt" || e2e_fail "curl untagged $i"
  ip netns exec "$ns_b" curl -sf -o /dev/null "http://$vlan_a:8080/medium.bin" || e2e_fail "curl VLAN $i"
  ip netns exec "$ns_b" curl -sf -g -o /dev/null "http://[$vlan6_a]:8080/small.txt" || e2e_fail "curl IPv6 $i"
done
ip netns exec "$ns_b" python3 "$here/capture_udp.py" client "$vlan_a" 7000 6 || e2e_fail "UDP exchange"
# tcpdump writes each frame as it takes it (-U), but on a busy machine it
# may be seconds behind the kernel: stop it only once its files are still.
last=""
for _ in $(seq 1 40); do
  sleep 0.5
  now=$(stat -c %s "$tagged" "$cooked" "$cooked_v1" 2>/dev/null | tr '\n' ' ')
  [ "$now" = "$last" ] && [ -n "$now" ] && break
  last=$now
done

for pid in "$tagged_pid" "$cooked_pid" "$cooked_v1_pid"; do
  kill -INT "$pid"
  wait "$pid" 2>/dev/null || true
done
[ -s "$tagged" ] && [ -s "$cooked" ] && [ -s "$cooked_v1" ] || e2e_fail "tcpdump wrote nothing"
# Wireshark's encapsulation numbers: 25 cooked v1, 210 cooked v2.
[ "$(tshark -r "$cooked_v1" -T fields -e frame.encap_type -c 1 2>/dev/null)" = 25 ] ||
  e2e_fail "tcpdump -i any -y LINUX_SLL wrote no cooked v1 frames"
[ "$(tshark -r "$cooked" -T fields -e frame.encap_type -c 1 2>/dev/null)" != 1 ] ||
  e2e_fail "tcpdump -i any wrote Ethernet frames"
[ "$(tshark -r "$tagged" -Y vlan -T fields -e frame.number 2>/dev/null | wc -l)" -gt 0 ] ||
  e2e_fail "no tagged frame on the trunk"

compare tagged "$tagged" tagged
compare cooked "$cooked"
compare cooked_v1 "$cooked_v1"
same_traffic
if [ -n "${KEEP_DIR:-}" ]; then
  cp "$tagged" "$cooked" "$cooked_v1" "$KEEP_DIR/"
fi
echo "links_e2e (netns): ok"
