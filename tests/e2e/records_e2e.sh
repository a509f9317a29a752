#!/usr/bin/env bash
# What Tarnix records from a crafted capture: replayed live through a veth
# pair into the headless program on the other end, then read as a file.
# Checks the stored rows (long request lines kept, names that start with a
# digit stored as names, the frame's time on each access) and standard error
# (hostile bytes escaped, a flood held back, a cut file said to be cut).
#
# usage: records_e2e.sh TARNIX_CLI [WORKDIR]
set -euo pipefail

cli=$(readlink -f "${1:?usage: records_e2e.sh TARNIX_CLI [WORKDIR]}")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
E2E_WORK=${2:-}
e2e_init records_e2e
e2e_need_root
e2e_need ip tcpreplay python3 sqlite3

flood=40
python3 "$here/records_pcap.py" "$E2E_WORK/records.pcap" "$flood" || e2e_fail "cannot write the capture"

E2E_IP_A=10.78.0.200
E2E_IP_B=10.78.0.201
e2e_netns_pair
# Names resolve through the namespace's own hosts file.
mkdir -p "/etc/netns/$E2E_NS_B"
trap 'rm -rf "/etc/netns/$E2E_NS_B"; e2e_cleanup' EXIT
cat >"/etc/netns/$E2E_NS_B/hosts" <<HOSTS
127.0.0.1 localhost
10.78.0.1 www.e2e.test 163.com
10.78.0.2 client.e2e.test
10.78.0.3 proxy.e2e.test
10.78.0.9 9gag.com
HOSTS
printf 'hosts: files\n' >"/etc/netns/$E2E_NS_B/nsswitch.conf"

q() { sqlite3 -batch -noheader -separator '|' "$1" "$2"; }
expect() {
  [ "$2" = "$3" ] || e2e_fail "$1: got '$2', want '$3'"
}

# --- live -------------------------------------------------------------------
db="$E2E_WORK/live"
mkdir -p "$db"
TZ=UTC ip netns exec "$E2E_NS_B" "$cli" --interface "$E2E_IF_B" --db "$db" --duration 8 \
  >"$E2E_WORK/live.out" 2>"$E2E_WORK/live.err" &
cli_pid=$!
E2E_PIDS+=("$cli_pid")
for _ in $(seq 50); do
  grep -q "capturing on" "$E2E_WORK/live.err" 2>/dev/null && break
  sleep 0.1
done
ip netns exec "$E2E_NS_A" tcpreplay -q -i "$E2E_IF_A" --pps 50 "$E2E_WORK/records.pcap" \
  >"$E2E_WORK/tcpreplay.log" 2>&1 || e2e_fail "tcpreplay failed"
wait "$cli_pid" || e2e_fail "tarnix-cli ended with status $?"
file="$db/tarnix.db"

# The long request line: kept, its path cut to the recorder's 239 characters.
expect "long path" "$(q "$file" "SELECT length(urlpath) FROM urls WHERE urlpath LIKE '/LLL%'")" "239"
expect "long request's host" "$(q "$file" "SELECT hostname_used FROM url_hist h JOIN urls u USING (url_id) \
  WHERE u.urlpath LIKE '/LLL%'")" "www.e2e.test"
# Names that start with a digit are names, never made-up addresses.
expect "made-up addresses" "$(q "$file" "SELECT count(*) FROM host_cache WHERE addr IN ('9.0.0.0', '163.0.0.0')")" "0"
expect "9gag.com's address" "$(q "$file" "SELECT addr FROM host_cache WHERE name = '9gag.com'")" "10.78.0.9"
expect "proxied URL's host" "$(q "$file" "SELECT h.name FROM urls u JOIN host_cache h ON h.host_id = u.host \
  WHERE u.urlpath = '/x' LIMIT 1")" "9gag.com"
expect "digit host used" "$(q "$file" "SELECT hostname_used FROM url_hist h JOIN urls u USING (url_id) \
  WHERE u.urlpath = '/digits'")" "163.com"
expect "accesses" "$(q "$file" "SELECT count(*) FROM url_hist")" "3"

# Standard error: the hostile target escaped, no raw escape byte, the flood
# held back with a count of what was left out.
err="$E2E_WORK/live.err"
grep -qF 'Seriously botched URL detected (\x1b]0;owned\x07\x1b[2J) - ignoring' "$err" ||
  e2e_fail "hostile target not escaped"
if LC_ALL=C grep -q $'\x1b' "$err"; then e2e_fail "a raw escape byte reached standard error"; fi
botched=$(grep -c "Seriously botched" "$err" || true)
[ "$botched" -le 10 ] || e2e_fail "$botched botched-URL lines: the flood was not held back"
left=$(sed -n 's/^db_urls_parse: \([0-9]*\) similar messages left out$/\1/p' "$err")
expect "botched lines left out" "$left" "$((flood + 1 - botched))"

# --- the same capture read as a file: the frames' own times ----------------
db2="$E2E_WORK/file"
mkdir -p "$db2"
TZ=UTC ip netns exec "$E2E_NS_B" "$cli" --read "$E2E_WORK/records.pcap" --db "$db2" \
  >"$E2E_WORK/file.out" 2>"$E2E_WORK/file.err" || e2e_fail "reading the capture failed"
expect "times of the accesses" "$(q "$db2/tarnix.db" "SELECT group_concat(substr(ts, 1, 19), ',') FROM \
  (SELECT ts FROM url_hist ORDER BY ts)")" "2001-09-09 01:46:40,2001-09-09 01:46:41,2001-09-09 01:46:42"

# --- and cut short -------------------------------------------------------------
size=$(stat -c %s "$E2E_WORK/records.pcap")
head -c $((size - 10)) "$E2E_WORK/records.pcap" >"$E2E_WORK/cut.pcap"
"$cli" --read "$E2E_WORK/cut.pcap" --no-resolve >"$E2E_WORK/cut.out" 2>"$E2E_WORK/cut.err" || true
grep -q "capture file cut short after $((flood + 3)) frames" "$E2E_WORK/cut.out" ||
  e2e_fail "the cut file was not reported"
echo "records_e2e: ok"
