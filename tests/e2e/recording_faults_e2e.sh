#!/usr/bin/env bash
# The record under faults. Behind a name server that never answers, every
# request of a capture file is stored, and a Host value that is not a host
# name is never asked about; with --no-resolve nothing is asked at all. On a
# disk that fills up, "recorded" is the rows in the file, --print-requests
# prints only those, the failure is said once, and the run exits 3 with one
# line saying how many were lost.
#
# usage: recording_faults_e2e.sh TARNIX_CLI PROTOCOLS [WORKDIR]
set -euo pipefail

cli=$(readlink -f "${1:?usage: recording_faults_e2e.sh TARNIX_CLI PROTOCOLS [WORKDIR]}")
protocols=$(readlink -f "${2:?usage: recording_faults_e2e.sh TARNIX_CLI PROTOCOLS [WORKDIR]}")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
E2E_WORK=${3:-}
e2e_init recording_faults_e2e
e2e_need_root
e2e_need ip python3 sqlite3 mount umount

full="$E2E_WORK/full"
trap 'umount "$full" 2>/dev/null || true; e2e_cleanup' EXIT

expect() {
  [ "$2" = "$3" ] || e2e_fail "$1: got '$2', want '$3'"
}
# A field of the summary's "urls", or of its "dropped".
urls() {
  python3 -c 'import json, sys
u = json.load(open(sys.argv[1]))["urls"]
print(u["dropped"][sys.argv[3]] if sys.argv[2] == "dropped" else u[sys.argv[2]])' "$@"
}
rows() { sqlite3 -batch -noheader "$1/tarnix.db" 'SELECT count(*) FROM url_hist'; }
# The own address is given, so that only the capture's hosts are looked up.
run_cli() { "$cli" --protocols "$protocols" --local-address 10.20.0.254 --local-mask 255.255.0.0 "$@"; }

requests=3000
python3 "$here/http_flood_pcap.py" "$E2E_WORK/flood.pcap" "$requests" 300 || e2e_fail "cannot write the capture"

# --- a name server that never answers ---------------------------------------
ns=tnx_dns_$$
ip netns add "$ns" || e2e_skip "cannot create a network namespace"
E2E_NAMESPACES+=("$ns")
ip -n "$ns" link set lo up
ip -n "$ns" addr add 10.255.255.1/32 dev lo
mkdir -p "/etc/netns/$ns"
# Each look-up waits 30 s for the answer that never comes: an exit that
# waited for the look-ups still out would take that long.
printf 'nameserver 10.255.255.1\noptions timeout:30 attempts:1\n' >"/etc/netns/$ns/resolv.conf"
printf '127.0.0.1 localhost\n' >"/etc/netns/$ns/hosts"
printf 'hosts: files dns\n' >"/etc/netns/$ns/nsswitch.conf"
queries="$E2E_WORK/queries.txt"
e2e_bg "$ns" python3 "$here/silent_dns.py" 10.255.255.1 "$queries" 200
e2e_wait_file "$queries"

started=$(date +%s)
ip netns exec "$ns" bash -c "$(declare -f run_cli); cli='$cli' protocols='$protocols' \
  run_cli --read '$E2E_WORK/flood.pcap' --db '$E2E_WORK/silent' --json" \
  >"$E2E_WORK/silent.out" 2>"$E2E_WORK/silent.err" || e2e_fail "tarnix-cli ended with status $?"
took=$(($(date +%s) - started))
[ "$took" -lt 25 ] || e2e_fail "the run waited ${took} s for look-ups that never answer"
expect "seen behind a silent name server" "$(urls "$E2E_WORK/silent.out" seen)" "$requests"
expect "recorded behind a silent name server" "$(urls "$E2E_WORK/silent.out" recorded)" "$requests"
expect "rows behind a silent name server" "$(rows "$E2E_WORK/silent")" "$requests"
[ "$(grep -vc '^ready$' "$queries")" -gt 0 ] || e2e_fail "the name server was never asked: the test proves nothing"
if grep -q attacker "$queries"; then e2e_fail "a Host value that is no host name was looked up"; fi

asked=$(wc -l <"$queries")
ip netns exec "$ns" bash -c "$(declare -f run_cli); cli='$cli' protocols='$protocols' \
  run_cli --read '$E2E_WORK/flood.pcap' --db '$E2E_WORK/quiet' --json --no-resolve" \
  >"$E2E_WORK/quiet.out" 2>"$E2E_WORK/quiet.err" || e2e_fail "tarnix-cli --no-resolve ended with status $?"
expect "rows with --no-resolve" "$(rows "$E2E_WORK/quiet")" "$requests"
expect "queries sent with --no-resolve" "$(wc -l <"$queries")" "$asked"

# --- a disk that fills up -----------------------------------------------------
python3 "$here/http_flood_pcap.py" "$E2E_WORK/big.pcap" 40000 2000 || e2e_fail "cannot write the capture"
mkdir -p "$full"
mount -t tmpfs -o size=2m tmpfs "$full" || e2e_skip "cannot mount a small tmpfs"
status=0
run_cli --read "$E2E_WORK/big.pcap" --db "$full" --json --no-resolve --print-requests \
  >"$E2E_WORK/full.out" 2>"$E2E_WORK/full.err" || status=$?
expect "exit status after losing requests" "$status" "3"
json=$(grep '^{' "$E2E_WORK/full.out") || e2e_fail "no summary"
printf '%s\n' "$json" >"$E2E_WORK/full.json"
recorded=$(urls "$E2E_WORK/full.json" recorded)
[ "$recorded" -lt 40000 ] || e2e_fail "the disk never filled: the test proves nothing"
expect "recorded is what was stored" "$(rows "$full")" "$recorded"
expect "printed is what was stored" "$(grep -c ' direct$' "$E2E_WORK/full.out" || true)" "$recorded"
expect "lost as counted" "$(urls "$E2E_WORK/full.json" dropped total)" "$((40000 - recorded))"
expect "failure said once" "$(grep -c 'cannot store HTTP requests' "$E2E_WORK/full.err")" "1"
grep -q "^tarnix-cli: $((40000 - recorded)) of 40000 HTTP requests were not recorded" "$E2E_WORK/full.err" ||
  e2e_fail "the loss was not said"
grep -q "^db_urls_finish: $((40000 - recorded)) HTTP requests left unrecorded$" "$E2E_WORK/full.err" ||
  e2e_fail "db_urls_finish did not say what was left"

echo "recording_faults_e2e: $requests of $requests stored behind a silent name server in ${took} s" \
  "($(grep -vc '^ready$' "$queries") queries, none for a non-name); disk full: $recorded stored, printed" \
  "and counted, $((40000 - recorded)) counted as lost, exit 3"
