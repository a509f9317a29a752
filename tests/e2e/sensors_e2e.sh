#!/usr/bin/env bash
# Two sensors record the same captures of real traffic at the same time into
# one PostgreSQL server: every URL and host has one id, and the accesses of
# both add up. SQLite, fed the same captures once, is the reference.
# Arguments: tarnix-cli, protocol file, captures...
set -euo pipefail
. "$(dirname "$0")/common.sh"
e2e_init sensors_e2e
cli=$1
pdl=$2
shift 2
captures=("$@")
rounds=3
e2e_need psql sqlite3

chmod 755 "$E2E_WORK"
if [ -n "${TARNIX_TEST_PG:-}" ]; then
  server=$TARNIX_TEST_PG
else
  server=$(bash "$(dirname "$0")/../../scripts/pg_test_server.sh" start "$E2E_WORK/pg" 2>"$E2E_WORK/pg.err") ||
    e2e_skip "no PostgreSQL server: $(cat "$E2E_WORK/pg.err")"
  trap 'bash "$(dirname "$0")/../../scripts/pg_test_server.sh" stop "$E2E_WORK/pg"; e2e_cleanup' EXIT
fi
db=sensors_$$
psql "$server dbname=postgres" -qAtc "CREATE DATABASE $db TEMPLATE template0 ENCODING 'SQL_ASCII'" >/dev/null
conninfo="$server dbname=$db"
q() { psql "$conninfo" -qAtc "$1"; }

# The reference: each capture once, into a file.
mkdir -p "$E2E_WORK/ref"
for c in "${captures[@]}"; do
  "$cli" --protocols "$pdl" --no-resolve --read "$c" --db "$E2E_WORK/ref" >/dev/null 2>>"$E2E_WORK/ref.log"
done
ref_hits=$(sqlite3 "$E2E_WORK/ref/tarnix.db" "select count(*) from url_hist")
[ "$ref_hits" -gt 0 ] || e2e_fail "the captures hold no HTTP request"
ref_urls=$(sqlite3 "$E2E_WORK/ref/tarnix.db" \
  "select h.name || ' ' || u.proto || ' ' || u.urlpath from urls u join host_cache h on h.host_id = u.host group by u.url_id order by 1")

sensor() {
  local name=$1
  for ((i = 0; i < rounds; i++)); do
    for c in "${captures[@]}"; do
      "$cli" --protocols "$pdl" --no-resolve --read "$c" --db-connect "$conninfo" --sensor "$name" \
        >/dev/null 2>>"$E2E_WORK/$name.log" || return 1
    done
  done
}
sensor alpha & a=$!
sensor beta & b=$!
wait $a || e2e_fail "sensor alpha failed"
wait $b || e2e_fail "sensor beta failed"

expect=$((ref_hits * rounds))
[ "$(q "select count(*) from url_hist where sensor = 'alpha'")" = "$expect" ] || e2e_fail "alpha's accesses"
[ "$(q "select count(*) from url_hist where sensor = 'beta'")" = "$expect" ] || e2e_fail "beta's accesses"
[ "$(q "select count(*) from url_hist where sensor not in ('alpha', 'beta')")" = 0 ] || e2e_fail "unnamed accesses"
# One row per URL, counting every access of both sensors.
[ "$(q "select coalesce(sum(ref_count), 0) from urls")" = $((2 * expect)) ] || e2e_fail "URL reference counts"
[ "$(q "select count(*) from url_hist h left join urls u using (url_id) where u.url_id is null")" = 0 ] ||
  e2e_fail "accesses of URLs that are not there"
urls=$(q "select h.name || ' ' || u.proto || ' ' || u.urlpath from urls u join host_cache h on h.host_id = u.host group by u.url_id, h.name, u.proto, u.urlpath order by 1")
[ "$urls" = "$ref_urls" ] || e2e_fail "URLs differ from the reference: $urls"
# One host id per address and per name, and no two hosts under one id.
[ -z "$(q "select addr from host_cache where addr <> '' group by addr having count(distinct host_id) > 1")" ] ||
  e2e_fail "an address under two host ids"
[ -z "$(q "select name from host_cache group by name having count(distinct host_id) > 1")" ] ||
  e2e_fail "a name under two host ids"
[ "$(q "select count(distinct host_id) from host_cache")" = \
  "$(sqlite3 "$E2E_WORK/ref/tarnix.db" "select count(distinct host_id) from host_cache")" ] || e2e_fail "host count"
for col in client server; do
  [ "$(q "select count(*) from url_hist h left join host_cache c on c.host_id = h.$col where c.host_id is null")" = 0 ] ||
    e2e_fail "accesses whose $col host is not stored"
done
echo "sensors_e2e: 2 sensors x $rounds rounds, $((2 * expect)) accesses, consistent"
