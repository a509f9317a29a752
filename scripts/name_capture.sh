#!/usr/bin/env bash
# Makes a capture of real name traffic between two network namespaces:
# dnsmasq serves DNS and DHCP on one side; the other takes a lease under a
# host name, asks for A, AAAA, a CNAME chain and a PTR with dig, and fetches
# a page with curl. The capture is taken on the server's side of the pair.
#
#   scripts/name_capture.sh OUT.pcap [SECONDS_OF_EXTRA_TRAFFIC]
#
# Needs root, dnsmasq, dig, busybox (udhcpc, httpd) and tcpdump. The DNS and
# DHCP payloads of the capture are what the fuzz seed corpora are cut from.
set -euo pipefail
out=${1:?usage: name_capture.sh OUT.pcap}
srv=tnxn-srv cli=tnxn-cli
work=$(mktemp -d)
cleanup() {
  [ -f "$work/dnsmasq.pid" ] && kill "$(cat "$work/dnsmasq.pid")" 2>/dev/null || true
  [ -n "${dump:-}" ] && kill "$dump" 2>/dev/null || true
  [ -n "${web:-}" ] && kill "$web" 2>/dev/null || true
  ip netns del $srv 2>/dev/null || true
  ip netns del $cli 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns del $srv 2>/dev/null || true
ip netns del $cli 2>/dev/null || true
ip netns add $srv
ip netns add $cli
ip link add tnxn0 type veth peer name tnxn1
# Adapters of real makers (an MA-L and an MA-S block of the IEEE registries),
# so that the capture shows makers too.
ip link set tnxn0 address 00:22:72:aa:bb:01
ip link set tnxn1 address 70:b3:d5:f2:f1:23
ip link set tnxn0 netns $srv
ip link set tnxn1 netns $cli
ip -n $srv addr add 192.168.77.1/24 dev tnxn0
ip -n $srv link set tnxn0 up
# Segments as TCP cuts them, not merged by offloading, on the captured side.
ip netns exec $srv ethtool -K tnxn0 tso off gso off >/dev/null 2>&1 || true
ip -n $srv link set lo up
ip -n $cli link set tnxn1 up
ip -n $cli link set lo up

cat >"$work/dnsmasq.conf" <<C
interface=tnxn0
bind-interfaces
no-resolv
no-hosts
host-record=gw.tarnix.test,192.168.77.1
host-record=web.tarnix.test,192.168.77.20,fd00:77::20
host-record=files.tarnix.test,192.168.77.21
host-record=long-name-spanning-two-segments.tarnix.test,192.168.77.22
domain=tarnix.test
local=/tarnix.test/
dhcp-range=192.168.77.100,192.168.77.150,12h
dhcp-leasefile=$work/leases
cname=www.tarnix.test,portal.tarnix.test
cname=portal.tarnix.test,web.tarnix.test
ptr-record=21.77.168.192.in-addr.arpa,files.tarnix.test
pid-file=$work/dnsmasq.pid
log-facility=$work/dnsmasq.log
C
ip netns exec $srv tcpdump -i tnxn0 -U -w "$out" -s 0 >/dev/null 2>&1 &
dump=$!
sleep 1
ip netns exec $srv dnsmasq -C "$work/dnsmasq.conf"
mkdir -p "$work/www"
echo "hello from web" >"$work/www/index.html"
ip netns exec $srv ip addr add 192.168.77.20/24 dev tnxn0
ip netns exec $srv busybox httpd -f -p 192.168.77.20:80 -h "$work/www" &
web=$!
sleep 0.5

# The lease, under a host name; udhcpc's script sets the address.
cat >"$work/udhcpc.sh" <<'S'
#!/bin/sh
case "$1" in
  bound|renew) ip addr flush dev "$interface"; ip addr add "$ip/${mask:-24}" dev "$interface";;
esac
S
chmod +x "$work/udhcpc.sh"
ip netns exec $cli busybox udhcpc -i tnxn1 -x hostname:laptop-7 -s "$work/udhcpc.sh" -n -q -t 5

dns=192.168.77.1
ip netns exec $cli dig +short @$dns web.tarnix.test A
ip netns exec $cli dig +short @$dns web.tarnix.test AAAA
ip netns exec $cli dig +short @$dns www.tarnix.test A
ip netns exec $cli dig +short @$dns -x 192.168.77.21
# Over TCP in the smallest segments the server will send (76 bytes of
# payload), so that the answer for the long name spans two of them, and two
# answers share one connection.
cli_ip=$(ip -n $cli -4 -o addr show dev tnxn1 | awk '{print $4}' | cut -d/ -f1)
ip -n $cli route replace 192.168.77.0/24 dev tnxn1 src "$cli_ip" advmss 48
ip netns exec $cli dig +short +tcp +keepopen @$dns files.tarnix.test A long-name-spanning-two-segments.tarnix.test A
ip -n $cli route replace 192.168.77.0/24 dev tnxn1 src "$cli_ip"
ip netns exec $cli dig +short @$dns gw.tarnix.test A
ip netns exec $cli curl -s --max-time 5 --resolve web.tarnix.test:80:192.168.77.20 http://web.tarnix.test/ || true
ip netns exec $srv ip addr add 192.168.77.21/24 dev tnxn0
ip netns exec $srv ip addr add 192.168.77.22/24 dev tnxn0
ip netns exec $cli busybox ping -c 2 -W 1 192.168.77.21 >/dev/null || true
ip netns exec $cli busybox ping -c 2 -W 1 192.168.77.22 >/dev/null || true
sleep "${2:-1}"
kill "$dump"
wait "$dump" 2>/dev/null || true
dump=
echo "capture: $out"
