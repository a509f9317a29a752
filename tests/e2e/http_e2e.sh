#!/usr/bin/env bash
# HTTP recording end to end with real software: two network namespaces joined
# by a veth pair; a web server and a tinyproxy forward proxy on one side, curl
# on the other; the headless program captures live on the client's interface
# into a fresh database. The rows must match what the clients asked for.
#
# usage: http_e2e.sh TARNIX_CLI [WORKDIR]
# Needs root, ip, tinyproxy, curl, python3 and sqlite3; exits 77 (skip) when
# any of them is missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
# A work folder given on the command line is kept for a look afterwards.
if [ -n "${2:-}" ]; then
  E2E_WORK=$2
  E2E_KEEP=1
fi
e2e_init http_e2e
cli=$(readlink -f "${1:?usage: http_e2e.sh TARNIX_CLI [WORKDIR]}")
work=$E2E_WORK

e2e_need_root
e2e_need ip tinyproxy curl python3 sqlite3
help=$("$cli" --help 2>&1 || true)
for opt in --db --print-requests --interface --duration; do
  grep -q -- "$opt" <<<"$help" || e2e_skip "tarnix-cli has no $opt option"
done

# The server side is A (the web server at .1, the proxy at .3), the client B.
e2e_netns_pair
e2e_add_addrs A 10.77.0.3
ns_srv=$E2E_NS_A
ns_cli=$E2E_NS_B
# nowhere.invalid resolves nowhere.
e2e_netns_hosts <<EOF
127.0.0.1 localhost
10.77.0.1 www.e2e.test
10.77.0.2 client.e2e.test
10.77.0.3 proxy.e2e.test
EOF
# Let the interface settle.
sleep 1

# The web server.
mkdir -p "$work/www"
echo "index" >"$work/www/index.html"
echo "page" >"$work/www/p.html"
E2E_LOG=$work/httpd.log e2e_bg "$ns_srv" python3 -m http.server 80 --bind 10.77.0.1 --directory "$work/www"

# The forward proxy.
touch "$work/tinyproxy.log"
chmod 666 "$work/tinyproxy.log"
e2e_tinyproxy "$ns_srv" 10.77.0.3 "LogFile \"$work/tinyproxy.log\""

e2e_wait_port "$ns_cli" 10.77.0.1 80
ip netns exec "$ns_cli" curl -s -o /dev/null --max-time 1 -x http://10.77.0.3:8888 http://10.77.0.1/ ||
  e2e_fail "proxy did not come up"

# The capture, into a fresh database, printing each request as it is recorded.
db="$work/db"
rm -rf "$db"
mkdir -p "$db"
ip netns exec "$ns_cli" "$cli" --interface "$E2E_IF_B" --db "$db" --print-requests --duration 12 \
  >"$work/cli.out" 2>"$work/cli.err" &
cli_pid=$!
E2E_PIDS+=("$cli_pid")
sleep 3

c() { ip netns exec "$ns_cli" curl -s -o /dev/null --max-time 5 "$@" || true; }
c http://www.e2e.test/index.html                             # direct, by name
c http://www.e2e.test/index.html                             # the same URL again
c http://10.77.0.1/p.html                                    # direct, by address
c -x http://10.77.0.3:8888 http://www.e2e.test/p.html        # through the proxy
c -x http://10.77.0.3:8888 "http://nowhere.invalid:8080/x'y" # proxied, name that does not resolve

wait "$cli_pid" || e2e_fail "tarnix-cli ended with status $?"
file="$db/tarnix.db"
[ -f "$file" ] || e2e_fail "no database at $file"

q() { sqlite3 -batch -noheader -separator '|' "$file" "$1"; }
expect() {
  local what=$1 got=$2 want=$3
  [ "$got" = "$want" ] || e2e_fail "$what: got '$got', want '$want'"
}

host_id() { q "SELECT host_id FROM host_cache WHERE name = '$1' LIMIT 1"; }
www=$(host_id www.e2e.test)
client=$(host_id client.e2e.test)
proxy=$(host_id proxy.e2e.test)
nowhere=$(host_id nowhere.invalid)
[ -n "$www" ] && [ -n "$client" ] && [ -n "$proxy" ] && [ -n "$nowhere" ] ||
  e2e_fail "host rows missing (www=$www client=$client proxy=$proxy nowhere=$nowhere): $(q 'SELECT * FROM host_cache')"
expect "address of the unresolvable name" "$(q "SELECT addr FROM host_cache WHERE host_id = $nowhere")" ""

# URLs: each once, with its number of accesses. /p.html asked for by
# address and by name is two URLs of one host.
expect "/index.html" "$(q "SELECT host, proto, port, ref_count FROM urls WHERE urlpath = '/index.html'")" \
  "$www|3|0|2"
expect "/p.html" "$(q "SELECT group_concat(host || '|' || vhost || '|' || ref_count, ',') FROM \
  (SELECT host, vhost, ref_count FROM urls WHERE urlpath = '/p.html' ORDER BY vhost)")" \
  "$www|10.77.0.1|1,$www|www.e2e.test|1"
expect "proxied unresolvable URL" "$(q "SELECT host, port FROM urls WHERE urlpath = '/x''y'")" "$nowhere|8080"

# Accesses: client, server, proxy flag and host name used.
expect "direct accesses" \
  "$(q "SELECT count(*) FROM url_hist WHERE client = $client AND server = $www AND cached = 0")" "3"
expect "proxied accesses" \
  "$(q "SELECT count(*) FROM url_hist WHERE client = $client AND server = $proxy AND cached = 1")" "2"
# In the order of the requests, though the first one waited for its names
# and later ones found theirs known.
expect "host names used" "$(q "SELECT group_concat(hostname_used, ',') FROM \
  (SELECT hostname_used FROM url_hist ORDER BY url_hist_id)")" \
  "www.e2e.test,www.e2e.test,10.77.0.1,www.e2e.test,nowhere.invalid"
expect "all accesses" "$(q 'SELECT count(*) FROM url_hist')" "5"
expect "integrity" "$(q 'PRAGMA integrity_check')" "ok"

# The request log printed them as they were recorded.
grep -q "10.77.0.2 -> 10.77.0.1 http://www.e2e.test/index.html direct" "$work/cli.out" ||
  e2e_fail "request log lacks the direct request"
grep -q "10.77.0.2 -> 10.77.0.3 http://www.e2e.test/p.html proxy" "$work/cli.out" ||
  e2e_fail "request log lacks the proxied request"
echo "http_e2e: ok"
