#!/usr/bin/env bash
# What a neighbour's crafted traffic does to the headless program's output:
# nothing raw reaches the terminal or a report, the header section alone
# names the host, capture times at 0 and after 2038 are stored as they were
# captured, and a damaged file is said to be damaged, with what tcpdump says
# of it, and fails the run.
#
# usage: hostile_e2e.sh TARNIX_CLI PROTOCOL_PDL [WORKDIR]
set -euo pipefail

cli=$(readlink -f "${1:?usage: hostile_e2e.sh TARNIX_CLI PROTOCOL_PDL [WORKDIR]}")
pdl=$(readlink -f "${2:?usage: hostile_e2e.sh TARNIX_CLI PROTOCOL_PDL [WORKDIR]}")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
E2E_WORK=${3:-}
e2e_init hostile_e2e
e2e_need python3 sqlite3
work=$E2E_WORK

python3 "$here/hostile_pcap.py" "$work" || e2e_fail "cannot write the captures"
q() { sqlite3 -batch -noheader -separator '|' "$1" "$2"; }
expect() {
  [ "$2" = "$3" ] || e2e_fail "$1: got '$2', want '$3'"
}

# Hostile requests: stdout, stderr and every report form free of ESC and BEL.
mkdir -p "$work/reports"
status=0
TZ=UTC "$cli" --read "$work/hostile.pcap" --protocols "$pdl" --no-resolve --db "$work/db" --top 50 \
  --print-requests --report all --report-dir "$work/reports" >"$work/hostile.out" 2>"$work/hostile.err" ||
  status=$?
expect "exit status of the hostile run" "$status" 0
for f in "$work/hostile.out" "$work/hostile.err" "$work"/reports/*; do
  if LC_ALL=C grep -q $'[\x1b\x07]' "$f"; then e2e_fail "raw ESC or BEL in $f"; fi
done
# URLs are shown by the site the request named, escaped like the path.
grep -qF 'http://esc\x1b[2j.example/clear\x1b[2J' "$work/hostile.out" || e2e_fail "--top does not show the escaped URL"
grep -qF 'http://bel\x1b]2;owned\x07.example/title\x1b]2;owned\x07' "$work/reports/statsrep.txt" ||
  e2e_fail "the statistics report does not show the escaped URL"
grep -qF '"http://=cmd|calc.example/c1\xc2\x9b2J"' "$work/reports/urlsrep.csv" || e2e_fail "the CSV does not escape C1"

# The header section's own Host field, in any case; times as captured.
db="$work/db/tarnix.db"
expect "Host values and times" "$(q "$db" "SELECT group_concat(hostname_used || '@' || substr(ts, 1, 19), ',') \
  FROM (SELECT hostname_used, ts FROM url_hist WHERE hostname_used NOT LIKE '%.example' \
        OR hostname_used = 'lower.example' ORDER BY url_hist_id)")" \
  "lower.example@2040-01-01 00:00:00,(null)@2040-01-01 00:00:01"
expect "times at the epoch" "$(q "$db" "SELECT count(*) FROM url_hist WHERE ts LIKE '1970-01-01 00:00:00%'")" 2
if command -v tshark >/dev/null; then
  expect "times as tshark reads them" \
    "$(tshark -r "$work/hostile.pcap" -T fields -e frame.time_epoch 2>/dev/null | cut -d. -f1 | paste -sd,)" \
    "0,0,2208988800,2208988800,2208988801"
fi

# A damaged record after 5,000 frames: the frames stand, the run fails and
# says where and why, in libpcap's words as tcpdump gives them.
status=0
"$cli" --read "$work/damaged.pcap" --protocols "$pdl" --no-resolve >"$work/damaged.out" 2>"$work/damaged.err" ||
  status=$?
[ "$status" -ne 0 ] || e2e_fail "a damaged file ended the run with status 0"
grep -q '^  frames seen  *5000$' "$work/damaged.out" || e2e_fail "the 5,000 good frames were not all read"
grep -qF "damaged after 5000 frames (read up to byte 400040): invalid packet capture length 4294967295" \
  "$work/damaged.err" || e2e_fail "the damage is not reported"
if command -v tcpdump >/dev/null; then
  frames=$(tcpdump -nn -r "$work/damaged.pcap" 2>"$work/tcpdump.err" | wc -l) || true
  expect "frames tcpdump reads" "$frames" 5000
  why=$(sed -n 's/^tcpdump: pcap_loop: //p' "$work/tcpdump.err")
  [ -n "$why" ] && grep -qF "$why" "$work/damaged.err" || e2e_fail "tcpdump says '$why'"
fi
echo "hostile_e2e: ok"
