#!/usr/bin/env bash
# Capture end to end with real software and an independent oracle: two
# network namespaces joined by a veth pair, a web server (python3
# http.server) and a UDP echo server on one side, curl and a UDP client on
# the other. tcpdump records the client's interface.
#
#   file mode: the headless program reads tcpdump's file;
#   live mode: the headless program captures live on the same interface at
#              the same time as tcpdump.
#
# Either way every link's frames and bytes must equal what tshark reports
# for tcpdump's file (tshark -z conv,ip, directions matched, and its
# per-frame lengths for exact byte totals).
#
# usage: capture_e2e.sh TARNIX_CLI PROTOCOL_FILE file|live
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

cli=$(readlink -f "${1:?usage: capture_e2e.sh TARNIX_CLI PROTOCOL_FILE file|live}")
protocols=$(readlink -f "${2:?protocol file}")
mode=${3:-file}
e2e_init "capture_e2e_$mode"
e2e_need_root
e2e_need ip tcpdump tshark curl python3 gzip
e2e_netns_pair
# Two more client addresses, so that several hosts and links appear.
ip -n "$E2E_NS_B" addr add 10.77.0.3/24 dev "$E2E_IF_B"
ip -n "$E2E_NS_B" addr add 10.77.0.4/24 dev "$E2E_IF_B"

# Content of several sizes, so that frames range from bare ACKs to full
# segments.
www=$E2E_WORK/www
mkdir -p "$www"
printf 'hello\n' >"$www/small.txt"
head -c 20000 /dev/urandom >"$www/medium.bin"
head -c 300000 /dev/urandom >"$www/large.bin"

E2E_LOG=$E2E_WORK/http.log e2e_bg "$E2E_NS_A" python3 -m http.server 8080 --bind "$E2E_IP_A" --directory "$www"
E2E_LOG=$E2E_WORK/udp_server.log e2e_bg "$E2E_NS_A" python3 "$here/capture_udp.py" server "$E2E_IP_A" 7000
e2e_wait_port "$E2E_NS_B" "$E2E_IP_A" 8080

pcap=$E2E_WORK/capture.pcap
E2E_LOG=$E2E_WORK/tcpdump.log e2e_bg "$E2E_NS_B" tcpdump -i "$E2E_IF_B" -n -s 0 -U -w "$pcap"
tcpdump_pid=$E2E_LAST_PID
for _ in $(seq 1 100); do
  grep -q "listening on" "$E2E_WORK/tcpdump.log" 2>/dev/null && break
  sleep 0.1
done
grep -q "listening on" "$E2E_WORK/tcpdump.log" || e2e_fail "tcpdump did not start"

live_json=$E2E_WORK/live.json
if [ "$mode" = live ]; then
  ip netns exec "$E2E_NS_B" "$cli" --interface "$E2E_IF_B" --json --no-resolve --protocols "$protocols" \
    >"$live_json" 2>"$E2E_WORK/live.err" &
  live_pid=$!
  E2E_PIDS+=("$live_pid")
  for _ in $(seq 1 100); do
    grep -q "capturing on" "$E2E_WORK/live.err" 2>/dev/null && break
    sleep 0.1
  done
  grep -q "capturing on" "$E2E_WORK/live.err" || e2e_fail "tarnix-cli did not start capturing"
fi

# The traffic.
for i in $(seq 1 10); do
  ip netns exec "$E2E_NS_B" curl -sf -o /dev/null "http://$E2E_IP_A:8080/small.txt" || e2e_fail "curl small $i"
done
for i in 1 2 3; do
  ip netns exec "$E2E_NS_B" curl -sf -o /dev/null "http://$E2E_IP_A:8080/medium.bin" || e2e_fail "curl medium $i"
done
for i in 1 2; do
  ip netns exec "$E2E_NS_B" curl -sf -o /dev/null "http://$E2E_IP_A:8080/large.bin" || e2e_fail "curl large $i"
done
ip netns exec "$E2E_NS_B" curl -s -o /dev/null "http://$E2E_IP_A:8080/missing" || true
for i in 1 2 3 4; do
  ip netns exec "$E2E_NS_B" curl -sf --interface 10.77.0.3 -o /dev/null "http://$E2E_IP_A:8080/medium.bin" ||
    e2e_fail "curl from 10.77.0.3"
done
ip netns exec "$E2E_NS_B" python3 "$here/capture_udp.py" client "$E2E_IP_A" 7000 60 ||
  e2e_fail "UDP exchange failed"
ip netns exec "$E2E_NS_B" python3 "$here/capture_udp.py" client "$E2E_IP_A" 7000 40 10.77.0.4 ||
  e2e_fail "UDP exchange from 10.77.0.4 failed"
sleep 1

if [ "$mode" = live ]; then
  kill -INT "$live_pid"
  status=0
  wait "$live_pid" || status=$?
  [ "$status" -eq 0 ] || e2e_fail "tarnix-cli live ended with status $status"
fi
kill -INT "$tcpdump_pid"
wait "$tcpdump_pid" 2>/dev/null || true
[ -s "$pcap" ] || e2e_fail "tcpdump wrote nothing"

conv=$E2E_WORK/conv.txt
fields=$E2E_WORK/fields.txt
tshark -r "$pcap" -q -z conv,ip >"$conv" 2>"$E2E_WORK/tshark.err" || e2e_fail "tshark -z conv,ip failed"
tshark -r "$pcap" -Y ip -T fields -E occurrence=f -e ip.src -e ip.dst -e frame.len >"$fields" \
  2>>"$E2E_WORK/tshark.err" || e2e_fail "tshark fields failed"

if [ "$mode" = file ]; then
  json=$E2E_WORK/file.json
  "$cli" --read "$pcap" --json --no-resolve --protocols "$protocols" >"$json" 2>"$E2E_WORK/file.err" ||
    e2e_fail "tarnix-cli --read failed"
  # The readable table names the same links.
  "$cli" --read "$pcap" --no-resolve --protocols "$protocols" >"$E2E_WORK/file.txt" 2>>"$E2E_WORK/file.err" ||
    e2e_fail "tarnix-cli --read (table) failed"
  grep -qE "^  $E2E_IP_B +-> $E2E_IP_A " "$E2E_WORK/file.txt" || e2e_fail "table lacks the client-to-server link"
else
  json=$live_json
fi

python3 "$here/capture_compare.py" "$conv" "$fields" "$json" 6 2>"$E2E_WORK/compare.err" ||
  e2e_fail "totals differ from tshark: $(cat "$E2E_WORK/compare.err")"
cat "$E2E_WORK/compare.err" >&2 || true

if [ "$mode" = file ]; then
  # Read by the counting thread itself, and from a gzip-compressed copy:
  # the same totals.
  gzip -c "$pcap" >"$E2E_WORK/capture.pcap.gz"
  "$cli" --read "$pcap" --no-read-ahead --json --no-resolve --protocols "$protocols" >"$E2E_WORK/direct.json" \
    2>>"$E2E_WORK/file.err" || e2e_fail "tarnix-cli --read --no-read-ahead failed"
  "$cli" --read "$E2E_WORK/capture.pcap.gz" --json --no-resolve --protocols "$protocols" >"$E2E_WORK/gz.json" \
    2>>"$E2E_WORK/file.err" || e2e_fail "tarnix-cli --read of the gzip file failed"
  for j in direct gz; do
    python3 "$here/capture_compare.py" "$conv" "$fields" "$E2E_WORK/$j.json" 6 2>"$E2E_WORK/compare.err" ||
      e2e_fail "totals ($j) differ from tshark: $(cat "$E2E_WORK/compare.err")"
  done
fi

# The web traffic was classified: port 8080 under TCP.
python3 - "$json" "$E2E_IP_B" "$E2E_IP_A" <<'PY' || e2e_fail "no TCP breakdown on the client-to-server link"
import json, sys
s = json.load(open(sys.argv[1]))
link = next(l for l in s["links"] if l["source"] == sys.argv[2] and l["destination"] == sys.argv[3])
names = []
def walk(rows):
    for r in rows:
        names.append(r["protocol"])
        walk(r["children"])
walk(link["protocols"])
sys.exit(0 if "TCP" in names and "UDP" in names else 1)
PY
if [ "$mode" = live ]; then
  # Grouping follows the captured adapter's own address and mask, not the
  # host name's loopback address.
  python3 - "$json" "$E2E_IP_B" <<'PY' || e2e_fail "local network is not the adapter's: $(grep -o '"local_[a-z]*":"[^"]*"' "$json" | tr '\n' ' ')"
import json, sys
s = json.load(open(sys.argv[1]))
sys.exit(0 if s["local_address"] == sys.argv[2] and s["local_mask"] == "255.255.255.0" else 1)
PY
fi
echo "capture_e2e ($mode): ok"
