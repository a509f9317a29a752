#!/usr/bin/env bash
# Records http_top.pcap: three clients asking two busybox web servers
# directly and through tinyproxy, with different numbers of requests each,
# so that rankings of clients, servers and URLs have a clear order.
# Needs root, ip, busybox, tinyproxy, curl and tcpdump.
#
# usage: make_http_top.sh OUTPUT.pcap
set -euo pipefail
out=$(readlink -f "${1:?usage: make_http_top.sh OUTPUT.pcap}")
work=$(mktemp -d)
suffix=$$
ns_srv=tnx_tsrv_$suffix
ns_cli=tnx_tcli_$suffix
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  ip netns del "$ns_srv" 2>/dev/null || true
  ip netns del "$ns_cli" 2>/dev/null || true
  rm -rf "/etc/netns/$ns_srv" "/etc/netns/$ns_cli" "$work"
}
trap cleanup EXIT

for ns in "$ns_srv" "$ns_cli"; do
  mkdir -p "/etc/netns/$ns"
  cat >"/etc/netns/$ns/hosts" <<HOSTS
127.0.0.1 localhost
10.77.0.1 www.e2e.test
10.77.0.4 files.e2e.test
10.77.0.3 proxy.e2e.test
HOSTS
  printf 'hosts: files\n' >"/etc/netns/$ns/nsswitch.conf"
done
ip netns add "$ns_srv"
ip netns add "$ns_cli"
ip link add veth-s netns "$ns_srv" type veth peer name veth-c netns "$ns_cli"
for a in 10.77.0.1 10.77.0.3 10.77.0.4; do ip -n "$ns_srv" addr add $a/24 dev veth-s; done
for a in 10.77.0.2 10.77.0.5 10.77.0.6; do ip -n "$ns_cli" addr add $a/24 dev veth-c; done
for ns in "$ns_srv" "$ns_cli"; do
  ip -n "$ns" link set lo up
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 >/dev/null 2>&1 || true
done
ip -n "$ns_srv" link set veth-s up
ip -n "$ns_cli" link set veth-c up
sleep 1

for site in www files; do
  mkdir -p "$work/$site"
  echo "$site index" >"$work/$site/index.html"
  echo "$site a" >"$work/$site/a.html"
  echo "$site f" >"$work/$site/f.html"
done
ip netns exec "$ns_srv" busybox httpd -f -p 10.77.0.1:80 -h "$work/www" &
pids+=($!)
ip netns exec "$ns_srv" busybox httpd -f -p 10.77.0.4:80 -h "$work/files" &
pids+=($!)
cat >"$work/tinyproxy.conf" <<CONF
User nobody
Group nogroup
Port 8888
Listen 10.77.0.3
Timeout 10
MaxClients 10
Allow 10.77.0.0/24
LogLevel Connect
CONF
ip netns exec "$ns_srv" tinyproxy -d -c "$work/tinyproxy.conf" >"$work/tinyproxy.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  ip netns exec "$ns_cli" curl -s -o /dev/null --max-time 1 -x http://10.77.0.3:8888 http://10.77.0.4/ && break
  sleep 0.2
done

ip netns exec "$ns_cli" tcpdump -i veth-c -w "$out" -U 'tcp port 80 or tcp port 8888' 2>/dev/null &
pids+=($!)
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
kill "${pids[-1]}"
wait "${pids[-1]}" 2>/dev/null || true
echo "make_http_top: wrote $out"
