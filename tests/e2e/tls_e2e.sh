#!/usr/bin/env bash
# HTTPS visits end to end: a capture of real TLS handshakes (curl against
# openssl s_server, made by tls_make_capture.sh) read by the headless program
# into a fresh database, then the same capture replayed live over a veth pair
# into another. Every server name must be recorded once as https://NAME/
# with the TLS method code, nothing else recorded, and both runs agree;
# with --no-tls nothing is recorded at all.
#
# usage: tls_e2e.sh TARNIX_CLI CAPTURE.pcap
# CAPTURE.names lists the names the capture holds, in order.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
e2e_init tls_e2e
cli=$(readlink -f "${1:?usage: tls_e2e.sh TARNIX_CLI CAPTURE.pcap}")
pcap=$(readlink -f "${2:?usage: tls_e2e.sh TARNIX_CLI CAPTURE.pcap}")
names="${pcap%.pcap}.names"
e2e_need sqlite3

q() { sqlite3 -batch -noheader -separator '|' "$1/tarnix.db" "$2"; }
rows() {
  q "$1" "SELECT h.hostname_used, h.method, u.proto, u.urlpath FROM url_hist h JOIN urls u USING (url_id)
          ORDER BY h.url_hist_id"
}
# The print lines without their time.
printed() { grep -E ' -> ' "$1" | cut -d' ' -f3- || true; }

want=$(sed 's/$/|9|6|\//' "$names")

# From the file.
mkdir -p "$E2E_WORK/file" "$E2E_WORK/off"
"$cli" --read "$pcap" --db "$E2E_WORK/file" --print-requests --no-resolve >"$E2E_WORK/file.out" 2>"$E2E_WORK/file.err" ||
  e2e_fail "tarnix-cli --read failed"
# Rows on one line each way, so that a wrong order reads as one.
flat() { tr '\n' ' '; }
[ "$(rows "$E2E_WORK/file")" = "$want" ] ||
  e2e_fail "file rows, in order: $(rows "$E2E_WORK/file" | flat); wanted: $(echo "$want" | flat)"
[ "$(printed "$E2E_WORK/file.out" | grep -c ' direct tls$')" = "$(wc -l <"$names")" ] ||
  e2e_fail "print lines: $(cat "$E2E_WORK/file.out")"

# Turned off.
"$cli" --read "$pcap" --db "$E2E_WORK/off" --no-tls --no-resolve >"$E2E_WORK/off.out" 2>"$E2E_WORK/off.err" ||
  e2e_fail "tarnix-cli --no-tls failed"
[ "$(q "$E2E_WORK/off" 'SELECT count(*) FROM url_hist')" = 0 ] || e2e_fail "--no-tls recorded visits"

# Live, replayed over a veth pair.
e2e_need_root
e2e_need ip tcpreplay
e2e_netns_pair
mkdir -p "$E2E_WORK/live"
ip netns exec "$E2E_NS_B" "$cli" --interface "$E2E_IF_B" --db "$E2E_WORK/live" --print-requests --no-resolve \
  --duration 10 >"$E2E_WORK/live.out" 2>"$E2E_WORK/live.err" &
cli_pid=$!
E2E_PIDS+=("$cli_pid")
sleep 2
ip netns exec "$E2E_NS_A" tcpreplay -q -i "$E2E_IF_A" "$pcap" >"$E2E_WORK/tcpreplay.log" 2>&1 ||
  e2e_fail "tcpreplay failed"
wait "$cli_pid" || e2e_fail "live tarnix-cli ended with status $?"
[ "$(rows "$E2E_WORK/live")" = "$want" ] ||
  e2e_fail "live rows, in order: $(rows "$E2E_WORK/live" | flat); wanted: $(echo "$want" | flat)"
[ "$(printed "$E2E_WORK/live.out")" = "$(printed "$E2E_WORK/file.out")" ] ||
  e2e_fail "live and file print lines differ: $(cat "$E2E_WORK/live.out")"
echo "tls_e2e: $(wc -l <"$names") names recorded once each, from the file and live"
