#!/usr/bin/env bash
# Records http_top.pcap: three clients asking two busybox web servers
# directly and through tinyproxy, with different numbers of requests each,
# so that rankings of clients, servers and URLs have a clear order.
# Needs root, ip, busybox, tinyproxy, curl and tcpdump.
#
# usage: make_http_top.sh OUTPUT.pcap
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../e2e/common.sh"
e2e_init make_http_top
out=$(readlink -f "${1:?usage: make_http_top.sh OUTPUT.pcap}")
work=$E2E_WORK
e2e_need_root
e2e_need ip busybox tinyproxy curl tcpdump

# The servers are A (www at .1, the proxy at .3, files at .4), the clients B.
e2e_netns_pair
e2e_add_addrs A 10.77.0.3 10.77.0.4
e2e_add_addrs B 10.77.0.5 10.77.0.6
ns_srv=$E2E_NS_A
ns_cli=$E2E_NS_B
e2e_netns_hosts <<HOSTS
127.0.0.1 localhost
10.77.0.1 www.e2e.test
10.77.0.4 files.e2e.test
10.77.0.3 proxy.e2e.test
HOSTS
sleep 1

for site in www files; do
  mkdir -p "$work/$site"
  echo "$site index" >"$work/$site/index.html"
  echo "$site a" >"$work/$site/a.html"
  echo "$site f" >"$work/$site/f.html"
done
e2e_bg "$ns_srv" busybox httpd -f -p 10.77.0.1:80 -h "$work/www"
e2e_bg "$ns_srv" busybox httpd -f -p 10.77.0.4:80 -h "$work/files"
e2e_tinyproxy "$ns_srv" 10.77.0.3
for _ in $(seq 50); do
  ip netns exec "$ns_cli" curl -s -o /dev/null --max-time 1 -x http://10.77.0.3:8888 http://10.77.0.4/ && break
  sleep 0.2
done

e2e_bg "$ns_cli" tcpdump -i "$E2E_IF_B" -w "$out" -U 'tcp port 80 or tcp port 8888'
dump=$E2E_LAST_PID
sleep 1
c() {
  local from=$1
  shift
  ip netns exec "$ns_cli" curl -s -o /dev/null --max-time 5 --interface "$from" "$@"
  sleep 0.2
}
proxy=(-x http://10.77.0.3:8888)
# 10.77.0.2: six requests, two of them through the proxy.
c 10.77.0.2 http://www.e2e.test/index.html
c 10.77.0.2 http://www.e2e.test/index.html
c 10.77.0.2 http://www.e2e.test/index.html
c 10.77.0.2 http://www.e2e.test/a.html
c 10.77.0.2 "${proxy[@]}" http://files.e2e.test/f.html
c 10.77.0.2 "${proxy[@]}" http://files.e2e.test/f.html
# 10.77.0.5: four, one through the proxy.
c 10.77.0.5 http://files.e2e.test/f.html
c 10.77.0.5 http://files.e2e.test/f.html
c 10.77.0.5 http://www.e2e.test/index.html
c 10.77.0.5 "${proxy[@]}" http://www.e2e.test/index.html
# 10.77.0.6: one, by address.
c 10.77.0.6 http://10.77.0.1/a.html
sleep 1
kill "$dump"
wait "$dump" 2>/dev/null || true
echo "make_http_top: wrote $out"
