#!/usr/bin/env bash
# Records the small captures that the protocol file tests classify: real
# clients and servers talking over the loopback interface of a private
# network namespace, so nothing else on the machine shows up in them.
# Linux loopback captures use Ethernet framing (zero MAC addresses).
# Run as root from anywhere: bash tests/data/pdl/record.sh
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)"
if [ "${1:-}" != "--inside" ]; then
  exec unshare --net bash "$0" --inside
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip link set lo up
ip link set lo multicast on

capture() {  # capture NAME FILTER -- command...
  local name=$1 filter=$2
  shift 3
  tcpdump -i lo -U -s 0 -w "$out/$name.pcap" "$filter" >/dev/null 2>&1 &
  local tp=$!
  sleep 1
  "$@" || true
  sleep 1
  kill -INT "$tp"
  wait "$tp" 2>/dev/null || true
}

background() { "$@" >/dev/null 2>&1 & pids+=($!); }

# --- World Wide Web on 80, 81 (busybox httpd), 8000 and 8080 (python)
mkdir -p "$work/www"
echo "hello from the test server" >"$work/www/index.html"
background busybox httpd -f -p 127.0.0.1:80 -h "$work/www"
background busybox httpd -f -p 127.0.0.1:81 -h "$work/www"
background python3 -m http.server 8000 --bind 127.0.0.1 --directory "$work/www"
background python3 -m http.server 8080 --bind 127.0.0.1 --directory "$work/www"
sleep 1
capture http 'tcp' -- bash -c '
  for port in 80 81 8000 8080; do curl -s -o /dev/null http://127.0.0.1:$port/index.html; done'

# --- Domain Name System: a small server answering over UDP and TCP
cat >"$work/dns.py" <<'PY'
import socket, struct, threading
def answer(q):
    tid, flags, qd = struct.unpack('>HHH', q[:6])
    end = 12
    while q[end] != 0: end += 1 + q[end]
    question = q[12:end + 5]
    return (struct.pack('>HHHHHH', tid, 0x8180, 1, 1, 0, 0) + question +
            b'\xc0\x0c' + struct.pack('>HHIH', 1, 1, 60, 4) + bytes([192, 0, 2, 7]))
def udp():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(('127.0.0.1', 53))
    while True:
        q, a = s.recvfrom(512); s.sendto(answer(q), a)
def tcp():
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(('127.0.0.1', 53)); s.listen()
    while True:
        c, _ = s.accept(); n = struct.unpack('>H', c.recv(2))[0]; q = c.recv(n)
        r = answer(q); c.sendall(struct.pack('>H', len(r)) + r); c.close()
threading.Thread(target=udp, daemon=True).start(); tcp()
PY
cat >"$work/dnsq.py" <<'PY'
import socket, struct
q = struct.pack('>HHHHHH', 0x1234, 0x0100, 1, 0, 0, 0) + b'\x04host\x03lan\x00' + struct.pack('>HH', 1, 1)
s = socket.create_connection(('127.0.0.1', 53)); s.sendall(struct.pack('>H', len(q)) + q)
n = struct.unpack('>H', s.recv(2))[0]; s.recv(n); s.close()
PY
background python3 "$work/dns.py"
sleep 1
capture dns 'port 53' -- bash -c "busybox nslookup printer.lan 127.0.0.1; python3 $work/dnsq.py"

# --- Secure Shell: the real ssh client against a server that only greets
cat >"$work/sshd.py" <<'PY'
import socket
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('127.0.0.1', 22)); s.listen()
while True:
    c, _ = s.accept(); c.sendall(b'SSH-2.0-TestServer\r\n'); c.recv(4096); c.close()
PY
background python3 "$work/sshd.py"
sleep 1
capture ssh 'tcp' -- timeout 5 ssh -o BatchMode=yes -o StrictHostKeyChecking=no \
  -o UserKnownHostsFile=/dev/null -o ConnectTimeout=3 test@127.0.0.1 true

# --- Secure web: curl against a TLS server with a throw-away certificate
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
background openssl s_server -quiet -accept 443 -cert "$work/cert.pem" -key "$work/key.pem" -www
sleep 1
capture https 'tcp port 443' -- curl -sk -o /dev/null https://127.0.0.1:443/

# --- ICMP echo, and datagrams to closed ports: syslog and TFTP requests
# that come back as "port unreachable"
capture icmp_udp 'icmp or udp' -- bash -c "
  busybox ping -c 2 127.0.0.1
  python3 -c 'import logging, logging.handlers as h; l = logging.getLogger(\"t\"); l.addHandler(h.SysLogHandler((\"127.0.0.1\", 514))); l.warning(\"disk almost full\")'
  (cd $work && timeout 3 busybox tftp -g -r boot.img 127.0.0.1 69)"

# --- Network time: an SNTP request (mode 3) and the server's answer (mode 4)
cat >"$work/ntpd.py" <<'PY'
import socket, struct, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(('127.0.0.1', 123))
while True:
    q, a = s.recvfrom(512)
    now = int(time.time()) + 2208988800
    s.sendto(struct.pack('>BBbb11I', 0x24, 2, 6, -20, 0, 0, 0x7f000001, now, 0, now, 0, now, 0, now, 0), a)
PY
background python3 "$work/ntpd.py"
sleep 1
capture ntp 'udp port 123' -- python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(3)
for _ in range(2):
    s.sendto(b"\x23" + bytes(47), ("127.0.0.1", 123)); s.recvfrom(512)'

# --- IGMP: joining a group sends a membership report with the Router Alert
# IP option (a 24-byte IP header)
capture igmp 'igmp' -- python3 -c '
import socket, struct, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, struct.pack("4s4s", socket.inet_aton("239.1.2.3"), socket.inet_aton("127.0.0.1")))
time.sleep(1)
s.setsockopt(socket.IPPROTO_IP, socket.IP_DROP_MEMBERSHIP, struct.pack("4s4s", socket.inet_aton("239.1.2.3"), socket.inet_aton("127.0.0.1")))
time.sleep(1)'

# --- HTTP with IP options (four NOPs): the ports move 4 bytes further in
capture ipopts 'tcp port 80' -- python3 -c '
import socket
s = socket.socket()
s.setsockopt(socket.IPPROTO_IP, socket.IP_OPTIONS, b"\x01\x01\x01\x00")
s.connect(("127.0.0.1", 80))
s.sendall(b"GET /index.html HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
while s.recv(4096): pass
s.close()'

ls -l "$out"/*.pcap
