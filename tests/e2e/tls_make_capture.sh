#!/usr/bin/env bash
# Makes a capture of real TLS handshakes: curl in one network namespace talks
# to `openssl s_server` in another over a veth pair, under several server
# names, and tcpdump records the client's side.
#
#   - a few names over TLS 1.3 and TLS 1.2 (one starting with a digit);
#   - one connection over a link with a lowered MTU and a long cipher list,
#     so that the ClientHello spans three segments and the server_name lies
#     outside the first;
#   - one connection to an address literal (no server_name at all).
#
# Offloads are turned off so that the capture shows the segments as they
# went on the wire. Also writes NAME.names: the server names in the order
# they were asked for, one a line.
#
# usage: tls_make_capture.sh OUT.pcap
# Needs root, ip, ethtool, openssl, curl and tcpdump; exits 77 when any is
# missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
e2e_init tls_make_capture
out=$(readlink -f "${1:?usage: tls_make_capture.sh OUT.pcap}")
work=$E2E_WORK
e2e_need_root
e2e_need ip ethtool openssl curl tcpdump

# The server is A, the client B.
E2E_IP_A=10.78.0.1 E2E_IP_B=10.78.0.2 e2e_netns_pair
ns_srv=$E2E_NS_A
ns_cli=$E2E_NS_B
ip netns exec "$ns_srv" ethtool -K "$E2E_IF_A" tso off gso off gro off tx off rx off >/dev/null 2>&1 || true
ip netns exec "$ns_cli" ethtool -K "$E2E_IF_B" tso off gso off gro off tx off rx off >/dev/null 2>&1 || true
sleep 1

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj /CN=tls.e2e.test -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
E2E_LOG=$work/server.log e2e_bg "$ns_srv" openssl s_server -quiet -www -accept 443 -cert "$work/cert.pem" \
  -key "$work/key.pem" </dev/null
for _ in $(seq 50); do
  ip netns exec "$ns_cli" curl -sk -o /dev/null --max-time 1 https://10.78.0.1/ && break
  sleep 0.2
done

e2e_bg "$ns_cli" tcpdump -i "$E2E_IF_B" -w "$out" -U -s 0 'tcp port 443'
dump=$E2E_LAST_PID
sleep 1

names="${out%.pcap}.names"
: >"$names"
c() {
  local name=$1
  shift
  ip netns exec "$ns_cli" curl -sk -o /dev/null --max-time 5 --resolve "$name:443:10.78.0.1" "$@" \
    "https://$name/" || true
  echo "$name" >>"$names"
  sleep 0.3
}
c www.alpha.test
c beta.test --tlsv1.2 --tls-max 1.2
c 3com.gamma.test
c a-rather-long-server-name-for-the-capture.delta.test --http1.1
# Three segments: a lowered MTU and every TLS 1.2 cipher before the extensions.
ip -n "$ns_cli" link set "$E2E_IF_B" mtu 240
c split.epsilon.test --ciphers ALL
ip -n "$ns_cli" link set "$E2E_IF_B" mtu 1500
# An address literal: curl sends no server_name.
ip netns exec "$ns_cli" curl -sk -o /dev/null --max-time 5 https://10.78.0.1/ || true
sleep 1
kill "$dump"
wait "$dump" 2>/dev/null || true
echo "tls_make_capture: $(wc -l <"$names") names in $out" >&2
